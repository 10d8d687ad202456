// How close a whole /t run comes to the time it takes to read the hive: built hives of 128 MB and
// 512 MB (a tree of keys, 20 subkeys a key, values of several kinds), a process that only reads
// the file into the kind of buffer the loader uses (the floor), and a /t run of the program, timed
// side by side as whole processes; with the peak memory of the run against the file's size.
// A benchmark, not a test. Usage: tarvos-check-speed <TarvosD> [megabytes ...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "hive/layout.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "support/hive_builder.h"

namespace {

using namespace tarvos;

std::string BuildHive(uint32_t megabytes) {
  std::string path = (std::filesystem::temp_directory_path() / ("tarvos-speed-" + std::to_string(megabytes) + ".hive")).string();
  if (std::filesystem::exists(path)) return path;
  testing::HiveBuilder builder;
  std::vector<uint32_t> keys = {builder.Root()};
  const uint64_t target = uint64_t{megabytes} << 20;
  // About 1,300 bytes a key: its cell, three values of several kinds and their data, its list share.
  const uint64_t count = target / 1300;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t key = builder.AddKey(keys[i / 20], "Key" + std::to_string(i));
    builder.AddValue(key, "Name", 1, std::vector<uint8_t>(64, static_cast<uint8_t>('a' + i % 26)));
    builder.AddValue(key, "Count", 4, {1, 2, 3, 4});
    builder.AddValue(key, "Blob", 3, std::vector<uint8_t>(900 + i % 200, static_cast<uint8_t>(i)));
    keys.push_back(key);
  }
  std::vector<uint8_t> image = builder.Build();
  testing::WriteFileBytes(path, image);
  return path;
}

// The floor: the file read into the loader's kind of buffer, nothing more.
int ReadOnly(const char* path) {
  platform::File file;
  uint64_t size = 0;
  if (!file.OpenRead(path) || !file.Size(size)) return 1;
  void* buffer = platform::AllocateLarge(static_cast<size_t>(size));
  size_t got = 0;
  bool read = buffer != nullptr && file.ReadAt(0, buffer, static_cast<size_t>(size), got) && got == size;
  platform::FreeLarge(buffer, static_cast<size_t>(size));
  return read ? 0 : 1;
}

struct Run {
  double seconds;
  long peakKilobytes;
};

Run Time(const std::vector<std::string>& args) {
  std::fflush(stdout);  // nothing buffered is written twice by the child
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::freopen("/dev/null", "r", stdin);
    std::freopen("/dev/null", "w", stdout);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {seconds, usage.ru_maxrss};
}

Run Best(const std::vector<std::string>& args, int runs) {
  Run best{1e9, 0};
  for (int i = 0; i < runs; ++i) {
    Run r = Time(args);
    best.seconds = std::min(best.seconds, r.seconds);
    best.peakKilobytes = std::max(best.peakKilobytes, r.peakKilobytes);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--read-only") return ReadOnly(argv[2]);
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarvos-check-speed <TarvosD> [megabytes ...]\n");
    return 2;
  }
  std::vector<uint32_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(static_cast<uint32_t>(std::atoi(argv[i])));
  if (sizes.empty()) sizes = {128, 512};
  std::string self = std::filesystem::canonical("/proc/self/exe").string();
  std::printf("%ld cores\n", ::sysconf(_SC_NPROCESSORS_ONLN));
  double first = 0;
  for (uint32_t megabytes : sizes) {
    std::string hive = BuildHive(megabytes);
    double file = static_cast<double>(std::filesystem::file_size(hive));
    Best({self, "--read-only", hive}, 2);  // into the page cache
    Run floor = Best({self, "--read-only", hive}, 7);
    Run check = Best({argv[1], "/t", hive}, 7);
    if (first == 0) first = check.seconds;
    std::printf("%4u MB hive: floor %.0f ms, /t run %.0f ms, ratio %.2f; peak memory %.2f x the file + %.0f MB; %.2f x the first size's time\n",
                megabytes, floor.seconds * 1000, check.seconds * 1000, check.seconds / floor.seconds,
                static_cast<double>(check.peakKilobytes) * 1024 / file,
                (static_cast<double>(check.peakKilobytes) * 1024 - file) / (1 << 20), check.seconds / first);
  }
  return 0;
}
