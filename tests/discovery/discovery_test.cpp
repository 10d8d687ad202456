// Finding hives in drive folders laid out as Windows leaves them, and the choice among them.
#include <gtest/gtest.h>

#include <filesystem>

#include "discovery/selection.h"
#include "platform/file.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::discovery {
namespace {

namespace fs = std::filesystem;

struct Drives {
  Drives() {
    std::vector<uint8_t> hive = testing::HiveBuilder().Build();
    std::vector<uint8_t> log = hive;
    testing::Put32(log, 0x1C, 1);  // a transaction log begins with "regf" too
    std::vector<uint8_t> text = {'t', 'e', 'x', 't'};
    auto put = [&](const std::string& path, const std::vector<uint8_t>& bytes) {
      fs::create_directories(fs::path(dir.Path(path)).parent_path());
      testing::WriteFileBytes(dir.Path(path), bytes);
    };
    std::string ini = "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n[operating systems]\r\n"
                      "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS=\"XP\" /fastdetect\r\n"
                      "multi(0)disk(0)rdisk(0)partition(2)\\WINDOWS=\"XP again\" /x=\\y\r\n";
    put("c/boot.ini", std::vector<uint8_t>(ini.begin(), ini.end()));
    put("c/WINDOWS/system32/config/system", hive);
    put("c/WINDOWS/system32/config/software", hive);
    put("c/WINDOWS/system32/config/default", hive);
    put("c/Documents and Settings/Admin/ntuser.dat", hive);
    put("c/Documents and Settings/Empty/readme.txt", text);
    put("d/WINDOWS/system32/config/sam", hive);
    put("e/Windows/System32/CONFIG/SYSTEM", hive);
    put("e/Users/Bob/NTUSER.DAT", hive);
    put("e/Users/Bob/AppData/Local/Microsoft/Windows/UsrClass.dat", hive);
    put("e/Users/Nobody/Desktop/x.txt", text);
    put("e/Windows/AppCompat/Programs/Amcache.hve", hive);
    put("e/EFI/Microsoft/Boot/BCD", hive);
    for (const char* name : {"a.exe", "b.HTML", "c.dll", "d.dat", "e", "sub/f.log", "sub/g.LOG1"}) {
      put(std::string("f/") + name, std::string(name) == "sub/g.LOG1" ? log : hive);
    }
    put("f/text.dat", text);
    std::error_code ec;
    fs::create_symlink(dir.Path("f"), dir.Path("f/sub/loop"), ec);  // a loop back to the top
    fs::create_directories(dir.Path("f/locked"));
    put("f/locked/hidden.dat", hive);
    fs::permissions(dir.Path("f/locked"), fs::perms::none, ec);
    for (char letter : {'c', 'd', 'e', 'f'}) {
      platform::Drive drive;
      drive.letter = static_cast<char>(letter - 0x20);
      drive.root = dir.Path(std::string(1, letter));
      list.push_back(drive);
    }
  }
  ~Drives() {
    std::error_code ec;
    fs::permissions(dir.Path("f/locked"), fs::perms::owner_all, ec);
  }
  std::vector<std::string> Lines(Locations& locations) {
    SortFoundList(locations.Found());
    std::vector<std::string> lines;
    for (const FoundLine& line : locations.Found()) {
      std::string text = line.text;
      size_t at = text.find(dir.Dir().string());
      if (at != std::string::npos) text.replace(at, dir.Dir().string().size(), "~");
      for (char& c : text) c = c == '\\' ? '/' : c;
      lines.push_back(text);
    }
    return lines;
  }
  testing::TempDir dir;
  std::vector<platform::Drive> list;
};

class NoSearchWindow final : public SearchProgress {
 public:
  void OpenSearchWindow() override {}
  uint32_t UpdateSearchWindow(const std::string* folder) override {
    if (folder != nullptr) ++folders;
    return ++updates > cancelAfter ? 0xFF000000 : 0;
  }
  int updates = 0;
  int cancelAfter = 1 << 30;
  void CloseSearchWindow() override {}
  int folders = 0;
};

TEST(Discovery, KnownLocationsOldAndCurrent) {
  Drives drives;
  Locations locations(400);
  locations.ScanKnownLocations(drives.list);
  EXPECT_EQ(drives.Lines(locations), (std::vector<std::string>{
                                         "Profile:  ~/c/Documents and Settings/Admin",
                                         "Registry: ~/c/WINDOWS/system32/config",
                                         "Registry: ~/d/WINDOWS/system32/config",
                                         "Hivefile: ~/e/EFI/Microsoft/Boot/BCD",
                                         "Profile:  ~/e/Users/Bob",
                                         "Hivefile: ~/e/Users/Bob/AppData/Local/Microsoft/Windows/UsrClass.dat",
                                         "Hivefile: ~/e/Windows/AppCompat/Programs/Amcache.hve",
                                         "Registry: ~/e/Windows/System32/CONFIG",
                                     }));
  EXPECT_EQ(ParseBootIni("[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(1)\\WINNT=\"2000\"\r\n"),
            std::vector<std::string>{"WINNT"});
}

TEST(Discovery, FullSearchOpensCandidatesOnlyAndEnds) {
  Drives drives;
  Locations locations(400);
  NoSearchWindow window;
  locations.FullDiskSearch(drives.list, "F", window);
  // A folder that cannot be read is passed over (as root, it can be read).
  std::error_code ec;
  fs::directory_iterator probe(drives.dir.Path("f/locked"), ec);
  std::vector<std::string> expected = {"Hivefile: ~/f/d.dat", "Hivefile: ~/f/e", "Hivefile: ~/f/sub/f.log"};
  if (!ec) expected.insert(expected.begin() + 2, "Hivefile: ~/f/locked/hidden.dat");
  EXPECT_EQ(drives.Lines(locations), expected)
      << "no executable, page or library; no log of a hive; the link loop not followed";
  EXPECT_GE(window.folders, 2);
  // Cancel: the walk ends after the entry in hand, and what was found so far stays.
  Locations cancelled(400);
  NoSearchWindow impatient;
  impatient.cancelAfter = 1;  // at the first candidate, which is still tested
  cancelled.FullDiskSearch(drives.list, "F", impatient);
  EXPECT_EQ(drives.Lines(cancelled), (std::vector<std::string>{"Hivefile: ~/f/d.dat"}));
  for (const char* name : {"a.exe", "b.HTML", "c.dll", "x.htm"}) EXPECT_FALSE(IsCandidateName(name)) << name;
  for (const char* name : {"d.dat", "e", "f.log", "g.LOG1", "h.html5"}) EXPECT_TRUE(IsCandidateName(name)) << name;
}

TEST(Discovery, LinesCutAndPathsChosen) {
  Drives drives;
  Locations locations(68);
  std::string path = drives.dir.Path(std::string(70, 'p'));
  locations.AddFound(path, kHivefile);
  locations.AddFound(path, kHivefile);
  ASSERT_EQ(locations.Found().size(), 1u) << "a line is listed once";
  EXPECT_EQ(locations.Found()[0].text.size(), 68u);
  EXPECT_EQ(locations.Found()[0].text.substr(65), "...");
  EXPECT_EQ(locations.Found()[0].path, path) << "the full path stays beside the line";

  std::vector<std::string> added;
  AddName add = [&](const std::string& name) { added.push_back(name); };
  AddName expand = [&](const std::string& pattern) { added.push_back("expand " + pattern); };
  AddPathToHiveList(drives.dir.Path("f/text.dat"), add, expand);
  AddPathToHiveList(drives.dir.Path("c/WINDOWS/system32/config") + platform::PathSeparator(), add, expand);
  AddPathToHiveList(drives.dir.Path("none"), add, expand);
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0], drives.dir.Path("f/text.dat")) << "a typed file is added, hive or not";
  EXPECT_EQ(fs::path(added[1]).filename(), "system") << "then software; default is not a known name";
  EXPECT_EQ(fs::path(added[2]).filename(), "software");
}

}  // namespace
}  // namespace tarvos::discovery
