// How close a whole /t run comes to the time it takes to read the hive: built hives of 128 MB and
// 512 MB (a tree of keys, 20 subkeys a key, values of several kinds), a process that only reads
// the file into the kind of buffer the read path uses, one that only touches every page of a
// private view of it (the floors), and a /t run of the program, timed side by side as whole
// processes; with the private memory the run holds at the end of its walk against the file's
// size, for the clean hive and for a copy in which every frame gets a repair; and how much of a
// view of the file the system maps in 2 MB pages, which decides the touch floor.
// A benchmark, not a test. Usage: tarvos-check-speed <TarvosD> [megabytes ...]
// The floors alone, for timing them with other tools: tarvos-check-speed --read-only FILE,
// tarvos-check-speed --touch FILE, tarvos-check-speed --cells FILE; and the built hives: tarvos-check-speed --build MB [--frames].
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hive/layout.h"
#include "platform/file.h"
#include "platform/mapping.h"
#include "platform/memory.h"
#include "support/hive_builder.h"

namespace {

using namespace tarvos;

// Each key holds three values; with repairEveryFrame every frame header names another offset than
// its own, so a "Fix All" run writes to every frame.
std::string BuildHive(uint32_t megabytes, bool repairEveryFrame = false) {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("tarvos-speed-" + std::to_string(megabytes) + (repairEveryFrame ? "-frames" : "") + ".hive")).string();
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
  if (repairEveryFrame) {
    // The frame's own offset, off by a page: mended in the header alone, the cells kept.
    for (size_t frame = hive::kBaseBlockSize; frame + hive::kPageSize <= image.size();) {
      uint32_t frameSize = testing::Get32(image, static_cast<uint32_t>(frame + 8));
      if (frameSize == 0) break;
      testing::Put32(image, static_cast<uint32_t>(frame + 4), static_cast<uint32_t>(frame - hive::kBaseBlockSize + hive::kPageSize));
      frame += frameSize;
    }
  }
  testing::WriteFileBytes(path, image);
  return path;
}

// A private view of the whole file, as the program maps a hive; false when it cannot be had.
bool MapWhole(const std::string& path, platform::PrivateView& view) {
  platform::File file;
  uint64_t size = 0;
  return file.OpenRead(path) && file.Size(size) && size != 0 && view.Map(file, static_cast<size_t>(size));
}

// The other floor: every page of a private view of the file touched once, as the check's first
// look at each does.
int TouchOnly(const char* path) {
  platform::PrivateView view;
  if (!MapWhole(path, view)) return 1;
  unsigned sum = 0;
  for (size_t at = 0; at < view.Size(); at += 4096) sum += view.Data()[at];
  return sum == 1 ? 2 : 0;  // the sum is used, so the reads stay
}

// A floor below any check of every cell: each cell's size field read through a private view, the
// frames followed by their sizes and nothing checked or kept, the two halves of the file on two
// cores as the frame pass splits them. No check of the frames and cells can take less.
int CellsOnly(const char* path) {
  platform::PrivateView view;
  if (!MapWhole(path, view)) return 1;
  const uint8_t* image = view.Data();
  auto read32 = [image](size_t at) {
    uint32_t value;
    std::memcpy(&value, image + at, 4);
    return value;
  };
  auto hop = [&](size_t from, size_t to, uint64_t& cells) {
    for (size_t at = from; at + hive::frame::kHeaderSize <= to;) {
      uint32_t frameSize = read32(at + hive::frame::kSize);
      if (frameSize == 0 || frameSize % hive::kPageSize != 0 || frameSize > to - at) frameSize = hive::kPageSize;
      for (size_t c = at + hive::frame::kHeaderSize; c < at + frameSize; ++cells) {
        int32_t field = static_cast<int32_t>(read32(c));
        c += std::max<uint32_t>(8, field < 0 ? 0u - static_cast<uint32_t>(field) : static_cast<uint32_t>(field));
      }
      at += frameSize;
    }
  };
  size_t middle = (view.Size() / 2) & ~size_t{hive::kPageSize - 1};
  while (middle + 4 <= view.Size() && read32(middle) != hive::frame::kSignatureValue) middle += hive::kPageSize;
  middle = std::min(middle, view.Size());  // no frame header past the middle: the first core takes it all
  uint64_t first = 0, second = 0;
  std::thread other([&] { hop(middle, view.Size(), second); });
  hop(hive::kBaseBlockSize, middle, first);
  other.join();
  return first + second == 1 ? 2 : 0;  // the count is used, so the reads stay
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

// How much of a private view of the file the system maps in 2 MB pages once every page is
// touched: where the page cache holds the file in large folios (a file read from disk, on recent
// kernels), touching costs a fraction of what it does page by page, and so does the touch floor.
double LargePageShare(const std::string& path) {
  platform::PrivateView view;
  if (!MapWhole(path, view)) return 0;
  volatile unsigned sum = 0;
  for (size_t at = 0; at < view.Size(); at += 4096) sum = sum + view.Data()[at];
  const uintptr_t start = reinterpret_cast<uintptr_t>(view.Data());
  std::FILE* maps = std::fopen("/proc/self/smaps", "r");
  if (maps == nullptr) return 0;
  char line[512];
  bool inView = false;
  long kilobytes = 0;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long from = 0, to = 0;
    if (std::sscanf(line, "%lx-%lx ", &from, &to) == 2) {  // a mapping's first line
      inView = from <= start && start < to;
    } else if (inView && std::strncmp(line, "FilePmdMapped:", 14) == 0) {
      kilobytes = std::atol(line + 14);
    }
  }
  std::fclose(maps);
  return static_cast<double>(kilobytes) * 1024 / static_cast<double>(view.Size());
}

struct Run {
  double seconds;
  long peakKilobytes;
  long privateKilobytes;  // at the end of the walk, as the run reports it
};

Run Time(const std::vector<std::string>& args, bool samplePrivate = false) {
  std::fflush(stdout);  // nothing buffered is written twice by the child
  std::string report = (std::filesystem::temp_directory_path() / ("tarvos-speed-" + std::to_string(::getpid()) + ".err")).string();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::freopen("/dev/null", "r", stdin);
    std::freopen("/dev/null", "w", stdout);
    if (samplePrivate) {
      ::setenv("TARVOS_PRIVATE_MEMORY", "1", 1);
      std::freopen(report.c_str(), "w", stderr);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long privateKilobytes = -1;
  if (samplePrivate) {
    if (std::FILE* in = std::fopen(report.c_str(), "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, in) != nullptr) {
        const char* at = std::strstr(line, "at the end of the walk: ");
        if (at != nullptr) privateKilobytes = std::atol(at + 24);
      }
      std::fclose(in);
    }
    std::remove(report.c_str());
  }
  return {seconds, usage.ru_maxrss, privateKilobytes};
}

Run Best(const std::vector<std::string>& args, int runs) {
  Run best{1e9, 0, -1};
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
  if (argc >= 3 && std::string(argv[1]) == "--touch") return TouchOnly(argv[2]);
  if (argc >= 3 && std::string(argv[1]) == "--cells") return CellsOnly(argv[2]);
  if (argc >= 3 && std::string(argv[1]) == "--build") {
    bool frames = argc >= 4 && std::string(argv[3]) == "--frames";
    std::printf("%s\n", BuildHive(static_cast<uint32_t>(std::atoi(argv[2])), frames).c_str());
    return 0;
  }
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
    Run touch = Best({self, "--touch", hive}, 7);
    Run cells = Best({self, "--cells", hive}, 7);
    const double large = LargePageShare(hive);
    Run check = Best({argv[1], "/t", hive}, 7);
    Run sampled = Time({argv[1], "/t", hive}, true);
    if (first == 0) first = check.seconds;
    std::printf("%4u MB hive: read floor %.0f ms, touch floor %.0f ms, /t run %.0f ms (%.2f x the read, %.2f x the touch); "
                "%.2f x the first size's time\n",
                megabytes, floor.seconds * 1000, touch.seconds * 1000, check.seconds * 1000, check.seconds / floor.seconds,
                check.seconds / touch.seconds, check.seconds / first);
    std::printf("             every cell's size read on two cores %.0f ms (%.2f x the touch); the run is %.2f x that\n",
                cells.seconds * 1000, cells.seconds / touch.seconds, check.seconds / cells.seconds);
    std::printf("             the view is mapped %.0f%% in 2 MB pages (the page cache's large folios)\n", 100 * large);
    std::printf("             private memory at the end of the walk %.1f MB (%.1f%% of the file); peak RSS %.2f x the file\n",
                static_cast<double>(sampled.privateKilobytes) / 1024, 100.0 * sampled.privateKilobytes * 1024 / file,
                static_cast<double>(check.peakKilobytes) * 1024 / file);
    // Every frame repaired ("Fix All" from standard input): every page of the view is written.
    std::string frames = BuildHive(megabytes, true);
    Best({self, "--read-only", frames}, 1);
    Run repaired = Time({"/bin/sh", "-c", "printf aaaaaaaaaaaaaaaa | exec \"$0\" /t \"$1\"", argv[1], frames}, true);
    std::printf("             every frame repaired: private memory at the end of the walk %.1f MB (the file + %.1f MB)\n",
                static_cast<double>(repaired.privateKilobytes) / 1024,
                (static_cast<double>(repaired.privateKilobytes) * 1024 - file) / (1 << 20));
  }
  return 0;
}
