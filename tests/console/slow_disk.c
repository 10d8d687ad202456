/* A slow disk for the program's own tests and benchmarks, put in front of the C library with
   LD_PRELOAD: every read or write of 64 KB or more takes TARVOS_SLOW_MS milliseconds longer
   (100 by default). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

static void Wait(size_t count) {
  static long ms = -1;
  if (ms < 0) {
    const char* given = getenv("TARVOS_SLOW_MS");
    ms = given != NULL ? atol(given) : 100;
  }
  if (count >= 65536) usleep((useconds_t)(ms * 1000));
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static ssize_t (*real)(int, void*, size_t, off_t);
  if (real == NULL) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  Wait(count);
  return real(fd, buffer, count, offset);
}

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*real)(int, void*, size_t);
  if (real == NULL) real = (ssize_t (*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  Wait(count);
  return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  if (real == NULL) real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  Wait(count);
  return real(fd, buffer, count);
}
