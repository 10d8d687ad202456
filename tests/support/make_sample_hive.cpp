// Writes the small hive that the README's run command checks: a healthy key tree whose base block
// has two faults, sequence numbers that differ (a hive that was being written) and a wrong
// checksum.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hive/layout.h"
#include "support/hive_builder.h"

// With a key count, the tree holds that many more keys (20 subkeys a key, a value each): a hive
// big enough for a save to take a while. With --several, faults of other kinds too: a key's
// subkey count, a value's data length and a security block's ring link.
int main(int argc, char** argv) {
  bool several = argc > 1 && std::string(argv[1]) == "--several";
  if (several) {
    --argc;
    ++argv;
  }
  if ((argc != 2 && argc != 3) || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: tarvos-sample-hive [--several] <file> [keys]\n");
    return 2;
  }
  using namespace tarvos;
  testing::HiveBuilder builder;
  uint32_t software = builder.AddKey(builder.Root(), "Software");
  uint32_t vendor = builder.AddKey(software, "Tarvos");
  builder.AddValue(vendor, "Version", 1, {'1', 0, '.', 0, '0', 0, '3', 0, 0, 0});
  builder.AddValue(vendor, "Runs", 4, {7, 0, 0, 0});
  uint32_t system = builder.AddKey(builder.Root(), "System");
  std::vector<uint32_t> keys = {system};
  long wanted = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
  for (long i = 0; i < wanted; ++i) {
    uint32_t key = builder.AddKey(keys[static_cast<size_t>(i) / 20], "Key" + std::to_string(i));
    builder.AddValue(key, "Data", 3, std::vector<uint8_t>(24, static_cast<uint8_t>(i)));
    keys.push_back(key);
  }
  uint32_t runs = 0;
  if (several) {
    runs = builder.AddValue(vendor, "Started", 4, {1, 0, 0, 0});
    builder.AddKey(vendor, "Options");
  }
  std::vector<uint8_t> image = builder.Build();
  if (several) {
    testing::Put32(image, testing::CellField(software, hive::key::kSubkeyCount), 3);  // it has one
    testing::Put32(image, testing::CellField(runs, hive::value::kDataLength), 0x80000010);  // inline data is 4 bytes at most
    testing::Put32(image, testing::CellField(builder.Security(), hive::security::kLinkB), hive::kNullOffset);
  }
  testing::Put32(image, hive::base::kSecondarySequence, testing::Get32(image, hive::base::kPrimarySequence) - 1);
  testing::Put32(image, hive::base::kChecksum, 0x12345678);
  if (!testing::WriteFileBytes(argv[1], image)) {
    std::fprintf(stderr, "tarvos-sample-hive: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
