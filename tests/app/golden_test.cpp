// Golden runs: a built hive with several faults, the line-mode transcript of a first run that
// fixes everything and saves (expect.1), and of a second run that finds nothing (expect.2). The
// transcripts are in tests/golden/<case>/, with the hive's path written as HIVE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/run.h"
#include "hive/layout.h"
#include "platform/headless_console.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::app {
namespace {

using testing::CellField;
using testing::Get32;
using testing::HiveBuilder;
using testing::Put16;
using testing::Put32;

std::string GoldenPath(const std::string& name, const char* file) {
  return std::string(TARVOS_SOURCE_DIR) + "/tests/golden/" + name + "/" + file;
}

// The expected transcript; with TARVOS_GOLDEN_WRITE set, the actual one is stored as expected
// instead (to be read over before it is committed).
std::string Expected(const std::string& name, const char* file, const std::string& actual) {
  if (std::getenv("TARVOS_GOLDEN_WRITE") != nullptr) {
    std::filesystem::create_directories(std::string(TARVOS_SOURCE_DIR) + "/tests/golden/" + name);
    std::ofstream(GoldenPath(name, file), std::ios::binary) << actual;
  }
  std::ifstream in(GoldenPath(name, file), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Transcript(const std::string& hive, const std::string& keys) {
  platform::HeadlessConsole device(keys);
  RunTarvos({"/t", hive}, device);
  std::string out = device.Stdout();
  for (size_t at = out.find(hive); at != std::string::npos; at = out.find(hive, at)) out.replace(at, hive.size(), "HIVE");
  return out;
}

void RunGolden(const std::string& name, const std::vector<uint8_t>& bytes) {
  testing::TempDir dir;
  std::string hive = dir.Path("HIVE0");
  ASSERT_TRUE(testing::WriteFileBytes(hive, bytes));
  std::string first = Transcript(hive, std::string(40, 'a') + "o");
  EXPECT_EQ(first, Expected(name, "expect.1", first));
  std::string second = Transcript(hive, "");
  EXPECT_EQ(second, Expected(name, "expect.2", second));
  EXPECT_EQ(testing::ReadFileBytes(dir.Path("HIVE0.BAK")), bytes) << "the backup holds the hive as it was";
}

TEST(Golden, BrokenListsAndCounts) {
  HiveBuilder builder;
  uint32_t a = builder.AddKey(builder.Root(), "Alpha");
  uint32_t b = builder.AddKey(builder.Root(), "Beta");
  std::vector<uint32_t> under;
  for (int i = 0; i < 5; ++i) under.push_back(builder.AddKey(a, "k" + std::to_string(i)));
  builder.SetListKind(a, testing::ListKind::IndexRoot, 3, testing::ListKind::HashLeaf);
  uint32_t c = builder.AddKey(b, "Gamma");
  std::vector<uint8_t> bytes = builder.Build();
  uint32_t ri = builder.ListOf(a);
  uint32_t leaf = Get32(bytes, CellField(ri, hive::list::kEntries));
  Put32(bytes, CellField(leaf, hive::list::kEntries + 8), under[0]);  // k0 listed twice
  Put32(bytes, CellField(c, hive::key::kParent), a);                  // Gamma claims another parent
  Put32(bytes, CellField(b, hive::key::kSubkeyCount), 3);             // Beta counts three
  Put32(bytes, hive::base::kSecondarySequence, 0);                    // written when it was copied
  testing::StoreChecksum(bytes);
  RunGolden("broken_lists", bytes);
}

TEST(Golden, ValuesAndSecurity) {
  HiveBuilder builder;
  uint32_t key = builder.AddKey(builder.Root(), "Settings");
  builder.AddValue(key, "", 1, {'a', 0, 0, 0, 0, 0});
  uint32_t second = builder.AddValue(key, "", 1, {'b', 0, 0, 0, 0, 0});
  uint32_t size = builder.AddValue(key, "Size", 4, {1, 0, 0, 0});
  builder.AddValue(key, "Blob", 3, std::vector<uint8_t>(40000, 9));
  uint32_t child = builder.AddKey(key, "Child");
  std::vector<uint8_t> bytes = builder.Build();
  (void)second;
  Put32(bytes, CellField(size, hive::value::kDataLength), 0x80000008);  // inline data too long
  Put32(bytes, CellField(child, hive::key::kSecurity), hive::kNullOffset);
  Put32(bytes, CellField(builder.Security(), hive::security::kLinkB), hive::kNullOffset);
  RunGolden("values_security", bytes);
}

}  // namespace
}  // namespace tarvos::app
