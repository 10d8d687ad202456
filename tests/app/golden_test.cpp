// Golden runs: every folder of tests/golden is one case. Its hive is either built by the script
// hive.txt (below) or copied from the file of ../shared/hives that `source` names, together with
// the transaction logs beside that file. expect.1 is the line-mode transcript of a first run that
// answers with the keys of `keys` (its lines joined; default: fix all, then overwrite), expect.2
// that of a second run without keys over what the first left: after a save, it finds nothing.
// The hive's path is written as HIVE in both.
//
// hive.txt, one command a line ('#' starts a comment line); a PATH is a key path under the root
// key, its parts joined by '\' (the root key itself is the empty path), NAME "" is the empty name:
//   key PATH                          a key (its parent first)
//   value PATH NAME TYPE DATA         a value; DATA is hex bytes, HEX*N those repeated N times, or -
//   list PATH lf|lh|li|ri [SIZE lf|lh|li]   how the key's subkeys are listed (ri: leaves of SIZE)
//   security PATH HEX                 a further security block in the ring, used by the key
//   put16|put32 CELL FIELD VALUE      after these the hive is built; then damage is written
//   checksum                          the base block's checksum made right again
// CELL: base, frame:OFFSET, key:PATH, list:PATH (subkey list), list:PATH:N (the N-th leaf of an
// index root), values:PATH (value list), value:PATH:NAME (first value of that name),
// data:PATH:NAME (its data cell, or db), security:PATH (the key's security block).
// FIELD: a name of hive/layout.h with its namespace (key::kParent, cell::kSignature), with an
// optional +N. VALUE: a number, null, or a CELL (its hive offset).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "app/run.h"
#include "hive/layout.h"
#include "platform/headless_console.h"
#include "support/hive_builder.h"
#include "support/read_hives.h"
#include "support/temp_dir.h"

namespace tarvos::app {
namespace {

namespace fs = std::filesystem;
using testing::HiveBuilder;
using testing::ListKind;

const fs::path kGolden = fs::path(TARVOS_SOURCE_DIR) / "tests" / "golden";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

#define FIELD(space, name) {#space "::" #name, hive::space::name}
const std::map<std::string, uint32_t> kFields = {
    FIELD(base, kSignature), FIELD(base, kPrimarySequence), FIELD(base, kSecondarySequence),
    FIELD(base, kLastWriteTime), FIELD(base, kMajorVersion), FIELD(base, kMinorVersion), FIELD(base, kFileType),
    FIELD(base, kFileFormat), FIELD(base, kRootKeyOffset), FIELD(base, kHiveDataSize),
    FIELD(base, kClusteringFactor), FIELD(base, kFlags), FIELD(base, kChecksum), FIELD(frame, kSignature),
    FIELD(frame, kOwnOffset), FIELD(frame, kSize), FIELD(cell, kSize), FIELD(cell, kSignature), FIELD(key, kFlags),
    FIELD(key, kParent), FIELD(key, kSubkeyCount), FIELD(key, kSubkeyList), FIELD(key, kValueCount),
    FIELD(key, kValueList), FIELD(key, kSecurity), FIELD(key, kClass), FIELD(key, kNameLength),
    FIELD(key, kClassLength), FIELD(value, kNameLength), FIELD(value, kDataLength), FIELD(value, kData),
    FIELD(value, kType), FIELD(value, kFlags), FIELD(value, kListEntries), FIELD(bigdata, kSegmentCount),
    FIELD(bigdata, kSegmentList), FIELD(security, kLinkA), FIELD(security, kLinkB), FIELD(security, kReferences),
    FIELD(security, kDescriptorLength), FIELD(list, kCount), FIELD(list, kEntries)};
#undef FIELD

uint32_t Number(const std::string& text) {
  size_t used = 0;
  unsigned long long n = 0;
  try {
    n = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
  }
  if (text.empty() || used != text.size() || n > 0xFFFFFFFFull) throw std::runtime_error("not a number: " + text);
  return static_cast<uint32_t>(n);
}

std::vector<uint8_t> Hex(const std::string& text) {
  if (text == "-") return {};
  size_t star = text.find('*');
  std::string hex = text.substr(0, star);
  uint32_t times = star == std::string::npos ? 1 : Number(text.substr(star + 1));
  if (hex.empty() || hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw std::runtime_error("not hex bytes: " + text);
  }
  std::vector<uint8_t> one, bytes;
  for (size_t i = 0; i < hex.size(); i += 2) one.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  for (uint32_t i = 0; i < times; ++i) bytes.insert(bytes.end(), one.begin(), one.end());
  return bytes;
}

ListKind Kind(const std::string& text) {
  static const std::map<std::string, ListKind> kinds = {
      {"lf", ListKind::FastLeaf}, {"lh", ListKind::HashLeaf}, {"li", ListKind::IndexLeaf}, {"ri", ListKind::IndexRoot}};
  auto found = kinds.find(text);
  if (found == kinds.end()) throw std::runtime_error("not a list kind: " + text);
  return found->second;
}

class HiveScript {
 public:
  std::vector<uint8_t> Run(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
      std::istringstream in(line);
      std::vector<std::string> words;
      for (std::string word; in >> word;) words.push_back(word);
      if (words.empty() || words[0][0] == '#') continue;
      try {
        Command(words);
      } catch (const std::exception& e) {
        throw std::runtime_error("hive.txt:" + std::to_string(number) + ": " + e.what());
      }
    }
    if (bytes_.empty()) bytes_ = builder_.Build();
    return bytes_;
  }

 private:
  void Command(const std::vector<std::string>& w) {
    const std::string& op = w[0];
    size_t n = w.size();
    bool building = op == "key" || op == "value" || op == "list" || op == "security";
    if (building && !bytes_.empty()) throw std::runtime_error(op + " after the hive was built");
    if (!building && bytes_.empty()) bytes_ = builder_.Build();
    if (op == "key" && n == 2) {
      size_t cut = w[1].rfind('\\');
      std::string parent = cut == std::string::npos ? "" : w[1].substr(0, cut);
      if (keys_.count(w[1]) != 0) throw std::runtime_error("key given twice: " + w[1]);
      keys_[w[1]] = builder_.AddKey(Key(parent), cut == std::string::npos ? w[1] : w[1].substr(cut + 1));
    } else if (op == "value" && n == 5) {
      uint32_t vk = builder_.AddValue(Key(w[1]), Name(w[2]), Number(w[3]), Hex(w[4]));
      values_.emplace(w[1] + ":" + Name(w[2]), vk);  // the first of a name is kept
    } else if (op == "list" && (n == 3 || n == 5)) {
      if (n == 5) {
        builder_.SetListKind(Key(w[1]), Kind(w[2]), Number(w[3]), Kind(w[4]));
      } else {
        builder_.SetListKind(Key(w[1]), Kind(w[2]));
      }
    } else if (op == "security" && n == 3) {
      builder_.SetSecurity(Key(w[1]), builder_.AddSecurity(Hex(w[2])));
    } else if ((op == "put16" || op == "put32") && n == 4) {
      bool base = w[1] == "base";
      uint32_t at = Field(w[2]) + (base ? 0 : testing::CellField(Cell(w[1]), 0));
      if (at + (op == "put16" ? 2 : 4) > bytes_.size()) throw std::runtime_error("outside the hive: " + w[1]);
      uint32_t value = w[3] == "null" ? hive::kNullOffset : w[3].find(':') != std::string::npos ? Cell(w[3]) : Number(w[3]);
      if (op == "put16" && value > 0xFFFF) throw std::runtime_error("too large for 16 bits: " + w[3]);
      if (op == "put16") testing::Put16(bytes_, at, static_cast<uint16_t>(value));
      if (op == "put32") testing::Put32(bytes_, at, value);
    } else if (op == "checksum" && n == 1) {
      testing::StoreChecksum(bytes_);
    } else {
      throw std::runtime_error("not understood: " + op);
    }
  }

  static std::string Name(const std::string& word) { return word == "\"\"" ? "" : word; }

  uint32_t Key(const std::string& path) const {
    if (path.empty()) return builder_.Root();
    auto found = keys_.find(path);
    if (found == keys_.end()) throw std::runtime_error("no key " + path);
    return found->second;
  }

  uint32_t Field(const std::string& text) const {
    size_t plus = text.find('+');
    auto found = kFields.find(text.substr(0, plus));
    if (found == kFields.end()) throw std::runtime_error("no field " + text);
    return found->second + (plus == std::string::npos ? 0 : Number(text.substr(plus + 1)));
  }

  // The hive offset of a cell named as CELL above.
  uint32_t Cell(const std::string& ref) const {
    size_t colon = ref.find(':');
    std::string kind = ref.substr(0, colon), rest = colon == std::string::npos ? "" : ref.substr(colon + 1);
    size_t second = rest.find(':');
    std::string path = rest.substr(0, second), tail = second == std::string::npos ? "" : rest.substr(second + 1);
    auto get = [this](uint32_t cell, uint32_t field) { return testing::Get32(bytes_, testing::CellField(cell, field)); };
    if (colon == std::string::npos) throw std::runtime_error("not a cell: " + ref);
    if (kind == "frame" && second == std::string::npos) return Number(rest);
    if (kind == "key" && second == std::string::npos) return Key(rest);
    if (kind == "values" && second == std::string::npos) return builder_.ValueListOf(Key(rest));
    if (kind == "security" && second == std::string::npos) return get(Key(rest), hive::key::kSecurity);
    if (kind == "list" && second == std::string::npos) return builder_.ListOf(Key(rest));
    if (kind == "list") return get(builder_.ListOf(Key(path)), hive::list::kEntries + 4 * Number(tail));
    if ((kind == "value" || kind == "data") && second != std::string::npos) {
      auto found = values_.find(path + ":" + Name(tail));
      if (found == values_.end()) throw std::runtime_error("no value " + rest);
      return kind == "value" ? found->second : get(found->second, hive::value::kData);
    }
    throw std::runtime_error("not a cell: " + ref);
  }

  HiveBuilder builder_;
  std::map<std::string, uint32_t> keys_;
  std::map<std::string, uint32_t> values_;
  std::vector<uint8_t> bytes_;
};

// The expected transcript; with TARVOS_GOLDEN_WRITE set, the actual one is stored as expected
// instead (to be read over before it is committed).
std::string Expected(const fs::path& file, const std::string& actual) {
  if (std::getenv("TARVOS_GOLDEN_WRITE") != nullptr) std::ofstream(file, std::ios::binary) << actual;
  return ReadText(file);
}

std::string Transcript(const std::string& hive, const std::string& keys) {
  platform::HeadlessConsole device(keys);
  RunTarvos({"/t", hive}, device);
  std::string out = device.Stdout();
  for (size_t at = out.find(hive); at != std::string::npos; at = out.find(hive, at)) out.replace(at, hive.size(), "HIVE");
  return out;
}

std::vector<std::string> Cases() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kGolden, ec)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, Run) {
  const fs::path folder = kGolden / GetParam();
  // The hive is mapped, as the program loads a plain file; a copy in a folder of its own is read
  // into memory instead, and its transcripts must be the same.
  testing::TempDir dir, readDir;
  std::string hive = dir.Path("HIVE0");
  std::string readHive = readDir.Path("HIVE0");
  std::vector<uint8_t> bytes;
  bool scripted = fs::exists(folder / "hive.txt"), copied = fs::exists(folder / "source");
  ASSERT_NE(scripted, copied) << "a case has either hive.txt or source";
  if (scripted) {
    try {
      bytes = HiveScript().Run(ReadText(folder / "hive.txt"));
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  } else {
    std::string shared = testing::SharedHivesDir();
    std::istringstream line(ReadText(folder / "source"));
    std::string source;
    line >> source;
    if (shared.empty()) GTEST_SKIP() << testing::kNoSharedHives << " for " << source;
    fs::path from = fs::path(shared) / source;
    bytes = testing::ReadFileBytes(from.string());
    ASSERT_FALSE(bytes.empty()) << "no hive " << from;
    // Its transaction logs go with it: NAME.LOG1 beside it is HIVE0.LOG1 beside the copy.
    std::string stem = from.filename().string() + ".";
    for (const auto& entry : fs::directory_iterator(from.parent_path())) {
      std::string name = entry.path().filename().string();
      if (name.rfind(stem, 0) != 0) continue;
      std::vector<uint8_t> log = testing::ReadFileBytes(entry.path().string());
      for (const std::string& copy : {hive, readHive}) {
        ASSERT_TRUE(testing::WriteFileBytes(copy + "." + name.substr(stem.size()), log));
      }
    }
  }
  ASSERT_TRUE(testing::WriteFileBytes(hive, bytes));
  ASSERT_TRUE(testing::WriteFileBytes(readHive, bytes));
  std::string keys = std::string(40, 'a') + "o";
  if (fs::exists(folder / "keys")) {
    keys = ReadText(folder / "keys");
    keys.erase(std::remove_if(keys.begin(), keys.end(), [](char c) { return c == '\n' || c == '\r'; }), keys.end());
  }
  std::string first = Transcript(hive, keys);
  EXPECT_EQ(first, Expected(folder / "expect.1", first));
  std::string second = Transcript(hive, "");
  EXPECT_EQ(second, Expected(folder / "expect.2", second));
  {
    testing::ReadHives read;
    EXPECT_EQ(Transcript(readHive, keys), first) << "read into memory";
    EXPECT_EQ(Transcript(readHive, ""), second) << "read into memory";
  }
  EXPECT_EQ(testing::ReadFileBytes(readHive), testing::ReadFileBytes(hive)) << "the same hive saved both ways";
  if (first.find("Backup created") != std::string::npos) {
    EXPECT_EQ(testing::ReadFileBytes(dir.Path("HIVE0.BAK")), bytes) << "the backup holds the hive as it was";
  } else {
    EXPECT_FALSE(fs::exists(dir.Path("HIVE0.BAK"))) << "no backup without a save";
    EXPECT_EQ(testing::ReadFileBytes(hive), bytes) << "a hive not saved stays as it was";
  }
}

INSTANTIATE_TEST_SUITE_P(, Golden, ::testing::ValuesIn(Cases()), [](const ::testing::TestParamInfo<std::string>& param) {
  std::string name = param.param;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

}  // namespace
}  // namespace tarvos::app
