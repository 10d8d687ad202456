// Files, name searches and wildcards of the platform layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "platform/file.h"
#include "platform/screen_model.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace tarvos::platform {
namespace {

TEST(MatchWildcard, StarAndQuestionMark) {
  EXPECT_TRUE(MatchWildcard("*", "SYSTEM", false));
  EXPECT_TRUE(MatchWildcard("S*M", "SYSTEM", false));
  EXPECT_TRUE(MatchWildcard("S?STEM", "SYSTEM", false));
  EXPECT_TRUE(MatchWildcard("*.dat", "ntuser.dat", false));
  EXPECT_TRUE(MatchWildcard("*a*a*", "banana", false));
  EXPECT_TRUE(MatchWildcard("**", "", false));
  EXPECT_FALSE(MatchWildcard("?", "", false));
  EXPECT_FALSE(MatchWildcard("S?STEM", "SYSTEMS", false));
  EXPECT_FALSE(MatchWildcard("*.dat", "ntuser.dat.log", false));
  EXPECT_FALSE(MatchWildcard("system", "SYSTEM", false));
  EXPECT_TRUE(MatchWildcard("system", "SYSTEM", true));
  EXPECT_TRUE(MatchWildcard("[ab]", "[ab]", false)) << "brackets are plain characters";
}

TEST(FindEntries, FilesAndFoldersWithAttributes) {
  testing::TempDir dir;
  { std::ofstream(dir.Path("one.dat"), std::ios::binary) << "123"; }
  { std::ofstream(dir.Path("two.dat"), std::ios::binary) << "1234567"; }
  std::filesystem::create_directory(dir.Path("sub.dat"));
  auto found = FindEntries(dir.Path("*.dat"));
  ASSERT_EQ(found.size(), 3u);
  std::sort(found.begin(), found.end(), [](const FileInfo& a, const FileInfo& b) { return a.name < b.name; });
  EXPECT_EQ(found[0].name, "one.dat");
  EXPECT_EQ(found[0].size, 3u);
  EXPECT_EQ(found[0].attributes & kAttrDirectory, 0u);
  EXPECT_NE(found[1].attributes & kAttrDirectory, 0u);
  EXPECT_EQ(found[2].size, 7u);
  EXPECT_GT(found[2].writeTime, 116444736000000000LL) << "a file time after 1970";

  auto exact = FindEntries(dir.Path("two.dat"));
  ASSERT_EQ(exact.size(), 1u);
  EXPECT_EQ(exact[0].name, "two.dat");
  EXPECT_TRUE(FindEntries(dir.Path("none*")).empty());
  EXPECT_TRUE(FindEntries(dir.Path("none")).empty());
}

TEST(File, ReadAtReportsWhatArrived) {
  testing::TempDir dir;
  std::string path = dir.Path("f");
  { std::ofstream(path, std::ios::binary) << "0123456789"; }
  File file;
  ASSERT_TRUE(file.OpenRead(path));
  uint64_t size = 0;
  ASSERT_TRUE(file.Size(size));
  EXPECT_EQ(size, 10u);
  char buffer[16] = {};
  size_t got = 0;
  EXPECT_TRUE(file.ReadAt(4, buffer, 16, got));
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(std::string(buffer, got), "456789");
  EXPECT_TRUE(file.ReadAt(20, buffer, 4, got));
  EXPECT_EQ(got, 0u);
  File folder;
  EXPECT_FALSE(folder.OpenRead(dir.Dir().string())) << "a folder is not a hive file";
  File missing;
  EXPECT_FALSE(missing.OpenRead(dir.Path("none")));
}

TEST(File, AppendKeepsContent) {
  testing::TempDir dir;
  std::string path = dir.Path("log");
  for (const char* text : {"one", "two"}) {
    File file;
    ASSERT_TRUE(file.OpenAppend(path));
    ASSERT_TRUE(file.Write(text, 3));
  }
  std::ifstream in(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "onetwo");
}

// A report file is written from its start: what it held goes, a folder or a link planted under
// its name is refused, and a new one is made.
TEST(File, EmptiedFileStartsAfresh) {
  testing::TempDir dir;
  std::string path = dir.Path("run.jsonl");
  { std::ofstream(path, std::ios::binary) << "an older run"; }
  for (const char* text : {"one", "two"}) {
    File file;
    ASSERT_TRUE(file.OpenEmptied(path));
    ASSERT_TRUE(file.Write(text, 3));
  }
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "two");
  File folder;
  EXPECT_FALSE(folder.OpenEmptied(dir.Dir().string()));
  std::error_code ec;
  std::filesystem::create_symlink(path, dir.Path("link"), ec);
  if (!ec) {
    File link;
    EXPECT_FALSE(link.OpenEmptied(dir.Path("link")));
    EXPECT_EQ(std::filesystem::file_size(path), 3u) << "the link was not followed";
  }
}

// New files never replace or write through anything of their name; those beside a target get
// names of their own, in the target's folder, short whatever the target's name.
TEST(File, NewFilesAreCreatedExclusively) {
  testing::TempDir dir;
  std::string taken = dir.Path("taken");
  { std::ofstream(taken, std::ios::binary) << "keep"; }
  std::error_code ec;
  std::filesystem::create_symlink(dir.Path("target"), dir.Path("link"), ec);
  for (const std::string& name : {taken, ec ? std::string() : dir.Path("link")}) {
    if (name.empty()) continue;
    File file;
    EXPECT_FALSE(file.CreateNew(name)) << name;
    EXPECT_EQ(file.Failure(), "a file of that name exists") << name;
  }
  EXPECT_EQ(std::filesystem::file_size(taken), 4u);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("target"))) << "the link was not followed";

  std::string target = dir.Path(std::string(250, 'h'));
  File a, b;
  std::string nameA, nameB;
  ASSERT_TRUE(a.CreateBeside(target, nameA));
  ASSERT_TRUE(b.CreateBeside(target, nameB));
  EXPECT_NE(nameA, nameB);
  EXPECT_EQ(std::filesystem::path(nameA).parent_path(), dir.Dir());
  EXPECT_LT(std::filesystem::path(nameA).filename().string().size(), 40u);
  a.Close();
  b.Close();
  EXPECT_TRUE(RemoveFile(nameA) && RemoveFile(nameB));
}

// Names in any script, and a path past the 260 characters of the old Windows limit, go through
// every file function as UTF-8 and come back as they went in. Where names ignore case (Windows),
// they do so in every script.
TEST(File, NamesInAnyScriptAndLongPaths) {
  testing::TempDir dir;
  const std::string sep(1, PathSeparator());
  const std::string base = dir.Dir().string() + sep;
  const bool namesIgnoreCase = IsPathSeparator('\\');
  std::string deep = base;
  for (int i = 0; i < 6; ++i) {
    deep += "\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0-" + std::string(40, 'd') + std::to_string(i);  // "папка-ddd…"
    ASSERT_TRUE(CreateFolder(deep)) << deep;
    deep += sep;
  }
  ASSERT_GT(DecodeUtf8(deep).size(), 300u);
  ASSERT_GT(MaxPathLength(), deep.size() + 100);
  struct Case {
    std::string folder;  // made below base unless it is deep
    std::string name;
    std::string folderOtherCase;  // the folder's name with its letters in the other case
  };
  const std::string julia = "\xD0\xAE\xD0\xBB\xD0\xB8\xD1\x8F";    // Юлия
  const std::string juliaUpper = "\xD0\xAE\xD0\x9B\xD0\x98\xD0\xAF";  // ЮЛИЯ
  const std::string japan = "\xE6\x97\xA5\xE6\x9C\xAC";              // 日本, no case
  for (const Case& c : {Case{julia, "NTUSER.DAT", juliaUpper}, Case{japan, "ntuser.dat", japan},
                        Case{"\xC3\x89t\xC3\xA9", "\xF0\x9F\x97\x9D.dat", "\xC3\x89T\xC3\x89"},  // Été, 🗝.dat
                        Case{"", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.hve", ""}}) {
    const std::string folder = c.folder.empty() ? deep : base + c.folder + sep;
    if (!c.folder.empty()) {
      ASSERT_TRUE(CreateFolder(base + c.folder));
    }
    const std::string path = folder + c.name;
    {
      File file;
      ASSERT_TRUE(file.CreateNew(path)) << path << ": " << file.Failure();
      ASSERT_TRUE(file.Write(c.name.data(), c.name.size()));
    }
    FileInfo info;
    ASSERT_TRUE(LookUp(path, info)) << path;
    EXPECT_EQ(info.name, c.name);
    EXPECT_EQ(info.size, c.name.size());
    std::vector<FileInfo> listed = FindEntries(folder + "*");
    ASSERT_EQ(listed.size(), 1u) << folder;
    EXPECT_EQ(listed[0].name, c.name);
    File read;
    ASSERT_TRUE(read.OpenRead(path)) << read.Failure();
    char text[64] = {};
    size_t got = 0;
    EXPECT_TRUE(read.ReadAt(0, text, sizeof text, got));
    EXPECT_EQ(std::string(text, got), c.name);
    read.Close();

    // Replaced in one step by a file made beside it, as a save does.
    File beside;
    std::string temporary;
    ASSERT_TRUE(beside.CreateBeside(path, temporary));
    ASSERT_TRUE(beside.Write("new", 3));
    beside.Close();
    ASSERT_TRUE(PutInPlace(temporary, path));
    ASSERT_TRUE(LookUp(path, info));
    EXPECT_EQ(info.size, 3u);
    EXPECT_EQ(FindEntries(folder + "*").size(), 1u) << "nothing left beside it";

    ASSERT_TRUE(SetAttributes(path, kAttrReadOnly));
    ASSERT_TRUE(LookUp(path, info));
    EXPECT_NE(info.attributes & kAttrReadOnly, 0u);
    ASSERT_TRUE(SetAttributes(path, 0));

    const std::string otherCase = (c.folder.empty() ? deep : base + c.folderOtherCase + sep) + c.name;
    EXPECT_TRUE(SamePath(path, folder + "." + sep + c.name));
    if (otherCase != path) {
      EXPECT_EQ(SamePath(path, otherCase), namesIgnoreCase) << otherCase;
      EXPECT_EQ(LookUp(otherCase, info), namesIgnoreCase) << otherCase;
    }
    std::string upper = c.folder;
    UpperInPlace(upper);
    std::string asciiUpper = c.folder;
    for (char& ch : asciiUpper) ch = UpperChar(ch);
    EXPECT_EQ(upper, namesIgnoreCase ? c.folderOtherCase : asciiUpper) << "upper-cased as names compare";

    EXPECT_TRUE(RemoveFile(path));
    EXPECT_FALSE(LookUp(path, info));
  }
}

TEST(SlashArgument, SwitchOrPath) {
  EXPECT_TRUE(SlashArgumentIsSwitch("/t"));
  EXPECT_TRUE(SlashArgumentIsSwitch("/LN"));
  EXPECT_TRUE(SlashArgumentIsSwitch("/l:/var/log/x.tlg"));
  if (IsPathSeparator('/') && !IsPathSeparator('\\')) {
    EXPECT_FALSE(SlashArgumentIsSwitch("/mnt/c/Windows/System32/config/SYSTEM"));
    EXPECT_FALSE(SlashArgumentIsSwitch("/tmp")) << "names an existing folder";
  }
}

}  // namespace
}  // namespace tarvos::platform
