// Finding hives in drive folders laid out as Windows leaves them, and the choice among them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "discovery/selection.h"
#include "platform/drive_table.h"
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
    auto typed = [&](uint32_t type) {
      std::vector<uint8_t> bytes = hive;
      testing::Put32(bytes, 0x1C, type);
      return bytes;
    };
    std::vector<uint8_t> text = {'t', 'e', 'x', 't'};
    auto put = [&](const std::string& path, const std::vector<uint8_t>& bytes) {
      std::error_code ec;
      fs::create_directories(fs::path(dir.Path(path)).parent_path(), ec);
      return testing::WriteFileBytes(dir.Path(path), bytes);
    };
    auto link = [&](const std::string& to, const std::string& at) {
      std::error_code ec;
      fs::create_directory_symlink(dir.Path(to), dir.Path(at), ec);
    };
    std::string ini = "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n[operating systems]\r\n"
                      "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS=\"XP\" /fastdetect\r\n"
                      "multi(0)disk(0)rdisk(0)partition(2)\\WINDOWS=\"XP again\" /x=\\y\r\n"
                      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT = \"Windows 2000\"\r\n";
    put("c/boot.ini", std::vector<uint8_t>(ini.begin(), ini.end()));
    for (const char* name : {"system", "software", "default", "systemprofile/NTUSER.DAT"}) {
      put(std::string("c/WINDOWS/system32/config/") + name, hive);
    }
    put("c/WINNT/system32/config/SYSTEM", hive);
    put("c/Documents and Settings/Admin/ntuser.dat", hive);
    put("c/Documents and Settings/Admin/Local Settings/Application Data/Microsoft/Windows/UsrClass.dat", hive);
    put("c/Documents and Settings/Empty/readme.txt", text);
    put("d/WINDOWS/system32/config/sam", hive);
    for (const char* name : {"SYSTEM", "SOFTWARE", "SAM", "SECURITY", "DEFAULT", "COMPONENTS", "DRIVERS", "BBI", "ELAM",
                             "RegBack/SOFTWARE", "systemprofile/NTUSER.DAT"}) {
      put(std::string("e/Windows/System32/CONFIG/") + name, hive);
    }
    put("e/Windows/System32/CONFIG/SYSTEM.LOG1", typed(6));
    put("e/Windows/ServiceProfiles/LocalService/NTUSER.DAT", hive);
    put("e/Windows/ServiceProfiles/NetworkService/NTUSER.DAT", hive);
    put("e/Users/Bob/NTUSER.DAT", hive);
    put("e/Users/Bob/AppData/Local/Microsoft/Windows/UsrClass.dat", hive);
    put("e/Users/Default/NTUSER.DAT", hive);
    put("e/Users/Nobody/Desktop/x.txt", text);
    // The links of current Windows: old names of the profile folders, and the loop in AppData.
    link("e/Users", "e/Documents and Settings");
    link("e/Users/Default", "e/Users/Default User");
    link("e/Users/Bob/AppData/Local", "e/Users/Bob/Local Settings");
    link("e/Users/Bob/AppData/Local", "e/Users/Bob/AppData/Local/Application Data");
    put("e/Windows/AppCompat/Programs/Amcache.hve", hive);
    put("e/EFI/Microsoft/Boot/BCD", hive);
    put("e/Windows.old/Windows/System32/config/SYSTEM", hive);
    put("e/Windows.old/Windows/System32/config/RegBack/SYSTEM", {});  // emptied, as Windows 10 leaves it
    for (const char* name : {"a.exe", "b.HTML", "c.dll", "d.dat", "e", "sub/f.log"}) put(std::string("f/") + name, hive);
    put("f/sub/g.LOG1", typed(1));    // a log
    put("f/sub/h.LOG2", typed(6));    // a log of log entries
    put("f/damaged.dat", typed(0x55));  // a hive whose file type is damaged
    put("f/typed.dat", typed(1));     // a log's file type, but not a log's name
    put("f/text.dat", text);
    put("f/short.dat", {'r', 'e', 'g', 'f'});
    for (const char* name : {"SYSTEM", "SOFTWARE", "SAM", "SECURITY"}) put("f/" + kLong + "/config/" + name, hive);
    newline = put("f/new\nline.dat", hive);  // no such name on Windows
    std::error_code ec;
    fs::create_hard_link(dir.Path("f/d.dat"), dir.Path("f/hard.dat"), ec);  // d.dat again
    fs::create_directory_symlink(dir.Path("f"), dir.Path("f/sub/loop"), ec);  // a loop back to the top
    fs::create_directories(dir.Path("f/locked"));
    put("f/locked/hidden.dat", hive);
    fs::permissions(dir.Path("f/locked"), fs::perms::none, ec);
    for (char letter : {'g', 'h', 'i'}) put(std::string(1, letter) + "/Windows/System32/config/SYSTEM", hive);
    const char* kinds[] = {"fixed", "fixed", "fixed", "fixed", "cdrom", "network", "subst"};
    for (char letter = 'c'; letter <= 'i'; ++letter) table += std::string(table.empty() ? "" : ";") +
                                                                static_cast<char>(letter - 0x20) + "=" +
                                                                dir.Path(std::string(1, letter)) + "," +
                                                                kinds[letter - 'c'] + ",1000000";
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
  std::string Short(std::string text) const {
    size_t at = text.find(dir.Dir().string());
    if (at != std::string::npos) text.replace(at, dir.Dir().string().size(), "~");
    for (char& c : text) c = c == '\\' ? '/' : c;
    return text;
  }
  std::vector<std::string> Lines(Locations& locations) const {
    SortFoundList(locations.Found());
    std::vector<std::string> lines;
    for (const FoundLine& line : locations.Found()) lines.push_back(Short(line.text));
    return lines;
  }
  testing::TempDir dir;
  std::string table;
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
  Locations locations(400);
  locations.ScanKnownLocations(drives.list);
  EXPECT_EQ(drives.Lines(locations),
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
  struct Ini {
    const char* line;
    std::vector<std::string> names;
  };
  for (const Ini& row : {Ini{"multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"2000\"", {"WINNT"}},
                         Ini{"multi(0)disk(0)rdisk(0)partition(1)\\WINNT = \"2000\" /x=\\y", {"WINNT"}},
                         Ini{"multi(0)disk(0)rdisk(0)partition(1)\\ \tMy Windows\t = \"x\"", {"My Windows"}},
                         Ini{"multi(0)disk(0)rdisk(0)partition(1)\\  = \"x\"", {}}}) {
    EXPECT_EQ(ParseBootIni(std::string("[operating systems]\r\n") + row.line + "\r\n"), row.names) << row.line;
  }
  struct Kind {
    const char* type;
    const char* options;
    platform::DriveKind kind;
  };
  using platform::DriveKind;
  for (const Kind& row : {Kind{"ext4", "ro,relatime", DriveKind::kFixed}, Kind{"fuseblk", "ro", DriveKind::kFixed},
                          Kind{"nfs4", "rw", DriveKind::kNetwork}, Kind{"cifs", "rw", DriveKind::kNetwork},
                          Kind{"fuse.sshfs", "rw", DriveKind::kNetwork}, Kind{"9p", "trans=virtio", DriveKind::kNetwork},
                          Kind{"9p", "rw,aname=drvfs;path=C:\\", DriveKind::kFixed}, Kind{"iso9660", "ro", DriveKind::kCdRom}}) {
    EXPECT_EQ(platform::KindOfFileSystem(row.type, row.options), row.kind) << row.type << " " << row.options;
  }
}

// Only what may be a hive is opened, every hive is listed (a damaged one too) and each file once,
// however long its path and whatever its name holds.
TEST(Discovery, FullSearchListsEveryHiveOnce) {
  Drives drives;
  NoSearchWindow window;
  Locations locations(400);
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
    Locations kinds(400);
    kinds.FullDiskSearch(drives.list, named, window);
    size_t outside = 0;
    for (const std::string& line : drives.Lines(kinds)) outside += line.find("/System32/config/SYSTEM") != std::string::npos && line[12] >= 'g';
    EXPECT_EQ(outside, *named != '\0' ? 3u : 0u) << named;
  }
  // Cancel: the walk ends after the entry in hand, and what was found so far stays.
  Locations cancelled(400);
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
    listing = text;
    entries = count;
    chosen = choose;
    typed = path;
    return answer;
  }
  uint32_t ShowNothingFound(std::string& typed) override {
    ++nothing;
    typed = path;
    return answer;
  }
  size_t BrowserTextWidth() override { return 68; }
  size_t choose = 0;
  std::string path;
  uint32_t answer = kBrowserChosen;
  std::string listing;
  size_t entries = 0;
  int nothing = 0;
};

TEST(Discovery, EachRowOpensTheHiveItShows) {
  Drives drives;
  auto run = [&](ScriptedSelection& ui, bool search, const char* letters) {
    std::vector<std::string> added;
    DiscoverAndSelectHives(ui, search, letters, [&](const std::string& name) { added.push_back(name); },
                           [&](const std::string& pattern) { added.push_back("expand " + pattern); });
    return added;
  };
  ScriptedSelection ui;
  run(ui, true, "F");
  std::vector<std::string> rows;
  for (size_t from = 0; from < ui.listing.size();) {
    size_t end = ui.listing.find('\n', from);
    rows.push_back(ui.listing.substr(from, end - from));
    from = end + 1;
  }
  ASSERT_EQ(rows.size(), ui.entries) << "one row a hive, a line feed in a name included";
  std::vector<std::string> opened;
  for (size_t i = 0; i < rows.size(); ++i) {
    ScriptedSelection pick;
    pick.choose = i;
    std::vector<std::string> added = run(pick, true, "F");
    ASSERT_EQ(added.size(), 1u) << rows[i];
    // The row shows the start of the file's path, control characters as "?".
    std::string shown = added[0];
    for (char& c : shown) c = static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    std::string row = rows[i].substr(kLabelLength);
    if (rows[i].size() == 68 && row.substr(row.size() - 3) == "...") row.resize(row.size() - 3);
    EXPECT_EQ(shown.compare(0, row.size(), row), 0) << rows[i] << " opens " << added[0];
    EXPECT_TRUE(std::find(opened.begin(), opened.end(), added[0]) == opened.end()) << added[0] << " twice";
    opened.push_back(added[0]);
  }
  // The configuration folder of Windows 10 stands for all of its hives, and no log.
  Locations lines(68);
  lines.ScanKnownLocations(drives.list);
  SortFoundList(lines.Found());
  ScriptedSelection known;
  for (; known.choose < lines.Found().size(); ++known.choose) {
    if (fs::path(lines.Found()[known.choose].path) == fs::path(drives.dir.Path("e/Windows/System32/CONFIG"))) break;
  }
  std::vector<std::string> names;
  for (const std::string& file : run(known, false, "")) names.push_back(fs::path(file).filename().string());
  EXPECT_EQ(names, (std::vector<std::string>{"SYSTEM", "SOFTWARE", "SAM", "SECURITY", "DEFAULT", "COMPONENTS", "DRIVERS",
                                             "BBI", "ELAM"}));
  // Nothing found: the path typed in the box is the run's hive.
  Drives::UseTable("C=" + drives.dir.Path("e/Users/Nobody") + ",fixed,1000");
  ScriptedSelection none;
  none.answer = kBrowserTyped;
  none.path = drives.dir.Path("f/typed.dat");
  EXPECT_EQ(run(none, false, ""), std::vector<std::string>{none.path});
  EXPECT_EQ(none.nothing, 1);
  EXPECT_TRUE(none.listing.empty()) << "no selection window";
}

}  // namespace
}  // namespace tarvos::discovery
