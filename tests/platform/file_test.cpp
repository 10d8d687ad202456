// Files, name searches and wildcards of the platform layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "platform/file.h"
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
