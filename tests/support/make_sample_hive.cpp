// Writes the small hive that the README's run command checks: a healthy key tree whose base block
// has two faults, sequence numbers that differ (a hive that was being written) and a wrong
// checksum.
#include <cstdio>

#include "hive/layout.h"
#include "support/hive_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarvos-sample-hive <file>\n");
    return 2;
  }
  using namespace tarvos;
  testing::HiveBuilder builder;
  uint32_t software = builder.AddKey(builder.Root(), "Software");
  uint32_t vendor = builder.AddKey(software, "Tarvos");
  builder.AddValue(vendor, "Version", 1, {'1', 0, '.', 0, '0', 0, '3', 0, 0, 0});
  builder.AddValue(vendor, "Runs", 4, {7, 0, 0, 0});
  builder.AddKey(builder.Root(), "System");
  std::vector<uint8_t> image = builder.Build();
  testing::Put32(image, hive::base::kSecondarySequence, testing::Get32(image, hive::base::kPrimarySequence) - 1);
  testing::Put32(image, hive::base::kChecksum, 0x12345678);
  if (!testing::WriteFileBytes(argv[1], image)) {
    std::fprintf(stderr, "tarvos-sample-hive: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
