// Finding hives in drive folders laid out as Windows leaves them, and the choice among them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "discovery/selection.h"
#include "platform/file.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::discovery {
namespace {

namespace fs = std::filesystem;

// A folder for evidence whose name makes every path below it longer than a line of 68.
const std::string kLong = "evidence-" + std::string(60, 'x');

// Drives C to F laid out as Windows XP and 2000 (C, D), Windows 10 upgraded from an older one
// (E), and a folder of loose files for the full search (F); G, H and I hold a hive too, but are a
// CD-ROM, a network share and a substituted drive.
struct Drives {
  Drives() {
    std::vector<uint8_t> hive = testing::HiveBuilder().Build();
    // What a file holds, by the letter before its name: a hive, a hive with the file type 1, 6 or
    // damaged (x), text, "regf" alone, a hive's size of something else, or nothing.
    std::map<char, std::vector<uint8_t>> bytes = {
        {'h', hive}, {'1', hive}, {'6', hive}, {'x', hive}, {'t', {'t', 'e', 'x', 't'}}, {'r', {'r', 'e', 'g', 'f'}},
        {'z', std::vector<uint8_t>(hive.size(), 'M')}, {'0', {}}};
    for (auto& [code, image] : bytes) {
      if (code == '1' || code == '6' || code == 'x') testing::Put32(image, 0x1C, code == 'x' ? 0x55 : code - '0');
    }
    std::string ini =
        "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n[operating systems]\r\n"
        "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS=\"XP\" /fastdetect\r\n"
        "multi(0)disk(0)rdisk(0)partition(2)\\WINDOWS=\"XP again\" /x=\\y\r\n"
        "multi(0)disk(0)rdisk(0)partition(1)\\WINNT = \"Windows 2000\"\r\n";
    bytes['i'].assign(ini.begin(), ini.end());
    // Each line: what the files hold, their folder, and their names.
    // clang-format off
    std::istringstream layout(
        "h c/WINDOWS/system32/config/:system|software|default|systemprofile/NTUSER.DAT\n"
        "h c/WINNT/system32/config/:SYSTEM\n"
        "i c/:boot.ini\n"
        "t c/Documents and Settings/Empty/:readme.txt\n"
        "h c/Documents and Settings/Admin/:ntuser.dat|Local Settings/Application Data/Microsoft/Windows/UsrClass.dat\n"
        "h d/WINDOWS/system32/config/:sam\n"
        "h e/Windows/System32/CONFIG/:SYSTEM|SOFTWARE|SAM|SECURITY|DEFAULT|COMPONENTS|DRIVERS|BBI|ELAM\n"
        "h e/Windows/System32/CONFIG/:RegBack/SOFTWARE|systemprofile/NTUSER.DAT\n"
        "6 e/Windows/System32/CONFIG/:SYSTEM.LOG1\n"
        "h e/Windows/ServiceProfiles/:LocalService/NTUSER.DAT|NetworkService/NTUSER.DAT\n"
        "h e/Users/:Bob/NTUSER.DAT|Bob/AppData/Local/Microsoft/Windows/UsrClass.dat|Default/NTUSER.DAT\n"
        "t e/Users/Nobody/Desktop/:x.txt\n"
        "h e/:Windows/AppCompat/Programs/Amcache.hve|EFI/Microsoft/Boot/BCD\n"
        "h e/Windows.old/Windows/System32/config/:SYSTEM\n"
        "0 e/Windows.old/Windows/System32/config/RegBack/:SYSTEM\n"
        "h f/:a.exe|b.HTML|c.dll|d.dat|e|sub/f.log|locked/hidden.dat\n"
        "1 f/:sub/g.LOG1|typed.dat\n"
        "6 f/:sub/h.LOG2\n"
        "x f/:damaged.dat\n"
        "t f/:text.dat\n"
        "z f/:other.dat\n"
        "r f/:short.dat\n"
        "h f/" + kLong + "/config/:SYSTEM|SOFTWARE|SAM|SECURITY\n"
        "h g/Windows/System32/config/:SYSTEM\n"
        "h h/Windows/System32/config/:SYSTEM\n"
        "h i/Windows/System32/config/:SYSTEM\n");
    // clang-format on
    for (std::string line; std::getline(layout, line);) {
      size_t colon = line.find(':');
      std::istringstream names(line.substr(colon + 1));
      for (std::string name; std::getline(names, name, '|');) {
        std::string path = dir.Path(line.substr(2, colon - 2) + name);
        fs::create_directories(fs::path(path).parent_path());
        testing::WriteFileBytes(path, bytes[line[0]]);
      }
    }
    newline = testing::WriteFileBytes(dir.Path("f/new\nline.dat"), hive);  // no such name on Windows
    std::error_code ec;
    // The links of current Windows (old names of the profile folders, the loop in AppData), a
    // hard link, and a loop back to the top.
    for (auto [to, at] : {std::pair{"e/Users", "e/Documents and Settings"},
                          {"e/Users/Default", "e/Users/Default User"},
                          {"e/Users/Bob/AppData/Local", "e/Users/Bob/Local Settings"},
                          {"e/Users/Bob/AppData/Local", "e/Users/Bob/AppData/Local/Application Data"},
                          {"f", "f/sub/loop"}}) {
      fs::create_directory_symlink(dir.Path(to), dir.Path(at), ec);
    }
    fs::create_hard_link(dir.Path("f/d.dat"), dir.Path("f/hard.dat"), ec);
    fs::permissions(dir.Path("f/locked"), fs::perms::none, ec);
    const char* kinds[] = {"fixed", "fixed", "fixed", "fixed", "cdrom", "network", "subst"};
    std::string table;
    for (char letter = 'c'; letter <= 'i'; ++letter) {
      table += std::string(1, static_cast<char>(letter - 0x20)) + "=" + dir.Path(std::string(1, letter)) + "," +
               kinds[letter - 'c'] + ",1000000;";
    }
    list = UseTable(table);
  }
  ~Drives() {
    std::error_code ec;
    fs::permissions(dir.Path("f/locked"), fs::perms::owner_all, ec);
    UseTable("");
  }
  // The drives of TARVOS_DRIVES, as the program reads them.
  static std::vector<platform::Drive> UseTable(const std::string& text) {
    static std::string setting;
    setting = "TARVOS_DRIVES=" + text;
    putenv(setting.data());
    return platform::ListDrives();
  }
  std::vector<std::string> Lines(Locations& locations) const {
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
  bool newline = false;
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

// Each place once, under the first path found, whichever links lead to it; drives that are no
// fixed disk of their own passed over.
TEST(Discovery, KnownLocationsOldAndCurrent) {
  Drives drives;
  ASSERT_EQ(drives.list.size(), 7u);
  Locations locations;
  locations.ScanKnownLocations(drives.list);
  EXPECT_EQ(
      drives.Lines(locations),
      (std::vector<std::string>{
          "Profile:  ~/c/Documents and Settings/Admin",
          "Hivefile: ~/c/Documents and Settings/Admin/Local Settings/Application Data/Microsoft/Windows/UsrClass.dat",
          "Registry: ~/c/WINDOWS/system32/config",
          "Profile:  ~/c/WINDOWS/system32/config/systemprofile",
          "Registry: ~/c/WINNT/system32/config",
          "Registry: ~/d/WINDOWS/system32/config",
          "Hivefile: ~/e/EFI/Microsoft/Boot/BCD",
          "Profile:  ~/e/Users/Bob",
          "Hivefile: ~/e/Users/Bob/AppData/Local/Microsoft/Windows/UsrClass.dat",
          "Profile:  ~/e/Users/Default",
          "Registry: ~/e/Windows.old/Windows/System32/config",
          "Hivefile: ~/e/Windows/AppCompat/Programs/Amcache.hve",
          "Profile:  ~/e/Windows/ServiceProfiles/LocalService",
          "Profile:  ~/e/Windows/ServiceProfiles/NetworkService",
          "Registry: ~/e/Windows/System32/CONFIG",
          "Registry: ~/e/Windows/System32/CONFIG/RegBack",
          "Profile:  ~/e/Windows/System32/CONFIG/systemprofile",
      }));
  // clang-format off
  for (auto [line, name] : {std::pair{"\\WINNT=\"2000\"", "WINNT"}, {"\\WINNT = \"2000\" /x=\\y", "WINNT"},
                            {"\\ \tMy Windows\t = \"x\"", "My Windows"}, {"\\  = \"x\"", ""}}) {
    std::vector<std::string> names = ParseBootIni(std::string("[operating systems]\r\nmulti(0)rdisk(0)") + line);
    EXPECT_EQ(names, *name ? std::vector<std::string>{name} : std::vector<std::string>{}) << line;
  }
  using enum platform::DriveKind;
  for (auto [type, options, kind] : {std::tuple{"ext4", "ro,relatime", kFixed}, {"fuseblk", "ro", kFixed},
                                     {"nfs4", "rw", kNetwork}, {"cifs", "rw", kNetwork}, {"fuse.sshfs", "rw", kNetwork},
                                     {"9p", "trans=virtio", kNetwork}, {"9p", "aname=drvfs;path=C:\\", kFixed},
                                     {"iso9660", "ro", kCdRom}}) {
    EXPECT_EQ(platform::KindOfFileSystem(type, options), kind) << type << " " << options;
  }
  // clang-format on
}

// Only what may be a hive is opened, every hive is listed (a damaged one too) and each file once,
// however long its path and whatever its name holds.
TEST(Discovery, FullSearchListsEveryHiveOnce) {
  Drives drives;
  NoSearchWindow window;
  Locations locations;
  locations.FullDiskSearch(drives.list, "F", window);
  // A folder that cannot be read is passed over (as root, it can be read).
  std::error_code ec;
  fs::directory_iterator probe(drives.dir.Path("f/locked"), ec);
  std::vector<std::string> expected = {"Hivefile: ~/f/d.dat", "Hivefile: ~/f/damaged.dat", "Hivefile: ~/f/e"};
  for (const char* name : {"SAM", "SECURITY", "SOFTWARE", "SYSTEM"}) {
    expected.push_back("Hivefile: ~/f/" + kLong + "/config/" + name);
  }
  if (!ec) expected.push_back("Hivefile: ~/f/locked/hidden.dat");
  if (drives.newline) expected.push_back("Hivefile: ~/f/new?line.dat");
  expected.push_back("Hivefile: ~/f/sub/f.log");
  expected.push_back("Hivefile: ~/f/typed.dat");
  EXPECT_EQ(drives.Lines(locations), expected)
      << "no executable, page or library, no log and nothing shorter than a hive; the hard link and the link loop not "
         "followed";
  EXPECT_GE(window.folders, 2);
  // Without drive letters, the fixed disks only; a drive named is searched whatever its kind.
  for (const char* named : {"", "GHI"}) {
    Locations kinds;
    kinds.FullDiskSearch(drives.list, named, window);
    std::vector<std::string> lines = drives.Lines(kinds);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line[12] >= 'g'; }),
              *named ? 3 : 0)
        << named;
  }
  // Cancel: the walk ends after the entry in hand, and what was found so far stays.
  Locations cancelled;
  NoSearchWindow impatient;
  impatient.cancelAfter = 1;  // at the first candidate, which is still tested
  cancelled.FullDiskSearch(drives.list, "F", impatient);
  EXPECT_EQ(drives.Lines(cancelled), (std::vector<std::string>{"Hivefile: ~/f/d.dat"}));
  for (const char* name : {"a.exe", "b.HTML", "c.dll", "x.htm"}) EXPECT_FALSE(IsCandidateName(name)) << name;
  for (const char* name : {"d.dat", "e", "f.log", "g.LOG1", "h.html5"}) EXPECT_TRUE(IsCandidateName(name)) << name;
}

// The selection as a run makes it, through the drives of TARVOS_DRIVES: a line of 68 characters,
// every row chosen in turn, and nothing found.
class ScriptedSelection final : public SelectionUi {
 public:
  void OpenSearchWindow() override {}
  uint32_t UpdateSearchWindow(const std::string*) override { return 0; }
  void CloseSearchWindow() override {}
  void ShowSearchingScreen() override {}
  uint32_t RunBrowserDialog(const std::string& text, size_t count, size_t& chosen, std::string& typed) override {
    std::tie(listing, entries, chosen, typed) = std::tuple{text, count, choose, path};
    return answer;
  }
  uint32_t ShowNothingFound(std::string& typed) override {
    typed = path;
    return ++nothing, answer;
  }
  size_t choose = 0, entries = 0;
  std::string path, listing;
  uint32_t answer = kAnswerChosen;
  int nothing = 0;
};

TEST(Discovery, EachRowOpensTheHiveItShows) {
  Drives drives;
  auto run = [&](ScriptedSelection& ui, bool search, const char* letters) {
    std::vector<std::string> added;
    DiscoverAndSelectHives(
        ui, search, letters, [&](const std::string& name) { added.push_back(name); },
        [&](const std::string& pattern) { added.push_back("expand " + pattern); });
    return added;
  };
  ScriptedSelection ui;
  run(ui, true, "F");
  ASSERT_EQ(static_cast<size_t>(std::count(ui.listing.begin(), ui.listing.end(), '\n')), ui.entries)
      << "one row a hive, a line feed in a name included";
  std::vector<std::string> opened;
  for (size_t i = 0, from = 0; i < ui.entries; ++i, from = ui.listing.find('\n', from) + 1) {
    ScriptedSelection pick;
    pick.choose = i;
    std::vector<std::string> added = run(pick, true, "F");
    ASSERT_EQ(added.size(), 1u);
    // The row holds the file's whole path, control characters as "?".
    std::string row = ui.listing.substr(from + kLabelLength, ui.listing.find('\n', from) - from - kLabelLength);
    std::string shown = added[0];
    for (char& c : shown) c = static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    EXPECT_EQ(shown, row) << row << " opens " << added[0];
    EXPECT_TRUE(std::find(opened.begin(), opened.end(), added[0]) == opened.end()) << added[0] << " twice";
    opened.push_back(added[0]);
  }
  // The configuration folder of Windows 10 stands for all of its hives, and no log.
  Locations lines;
  lines.ScanKnownLocations(drives.list);
  SortFoundList(lines.Found());
  ScriptedSelection known;
  while (known.choose < lines.Found().size() &&
         fs::path(lines.Found()[known.choose].path) != fs::path(drives.dir.Path("e/Windows/System32/CONFIG"))) {
    ++known.choose;
  }
  std::vector<std::string> names;
  for (const std::string& file : run(known, false, "")) names.push_back(fs::path(file).filename().string());
  EXPECT_EQ(names, (std::vector<std::string>{"SYSTEM", "SOFTWARE", "SAM", "SECURITY", "DEFAULT", "COMPONENTS",
                                             "DRIVERS", "BBI", "ELAM"}));
  // Nothing found: no selection window, and the path typed in the box is the run's hive.
  Drives::UseTable("C=" + drives.dir.Path("e/Users/Nobody") + ",fixed,1000");
  ScriptedSelection none;
  none.answer = kAnswerTyped;
  none.path = drives.dir.Path("f/typed.dat");
  EXPECT_EQ(run(none, false, ""), std::vector<std::string>{none.path});
  EXPECT_TRUE(none.nothing == 1 && none.listing.empty());
}

// What a line-mode run without a hive name checks and /f prints: the hives that choosing each
// row of the selection window in turn gives, in its order, each once; and where each belongs.
TEST(Discovery, HeadlessListIsEveryRowOfTheWindow) {
  Drives drives;
  NoSearchWindow quiet;
  for (auto [search, letters] : {std::pair{true, "F"}, {false, ""}}) {
    std::vector<std::string> rows;
    ScriptedSelection ui;
    for (ui.choose = 0; ui.choose == 0 || ui.choose < ui.entries; ++ui.choose) {
      DiscoverAndSelectHives(
          ui, search, letters, [&](const std::string& name) { rows.push_back(name); }, [](const std::string&) {});
    }
    EXPECT_GE(rows.size(), 10u) << "the drives hold at least ten hives on either system";
    EXPECT_EQ(FindHives(quiet, search, letters), rows) << letters;
  }
  // clang-format off
  for (auto [hive, installation] : {
           std::pair{"e/Windows/System32/CONFIG/RegBack/SOFTWARE", "e/Windows"},
           {"e/Users/Bob/AppData/Local/Microsoft/Windows/UsrClass.dat", "e/Users/Bob"},
           {"e/Windows/AppCompat/Programs/Amcache.hve", "e/Windows"}, {"e/EFI/Microsoft/Boot/BCD", "e"}, {"f/e", ""}}) {
    EXPECT_EQ(InstallationOf(drives.dir.Path(hive)), *installation ? drives.dir.Path(installation) : "") << hive;
  }
  // clang-format on
}

}  // namespace
}  // namespace tarvos::discovery
