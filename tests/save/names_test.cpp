// Names of log, backup and output files made from a hive's path.
#include <gtest/gtest.h>

#include <fstream>

#include "save/names.h"
#include "support/temp_dir.h"

namespace tarvos::save {
namespace {

std::string Sep() { return platform::IsPathSeparator('\\') ? "\\" : "/"; }

TEST(ReplaceExtension, DotAmongTheLastFourCharacters) {
  std::string s = Sep();
  EXPECT_EQ(ReplaceExtension("hives" + s + "ntuser.dat", ".tlg"), "hives" + s + "ntuser.tlg");
  EXPECT_EQ(ReplaceExtension("hives" + s + "SYSTEM", ".tlg"), "hives" + s + "SYSTEM.tlg");
  EXPECT_EQ(ReplaceExtension("hives" + s + "a.b", ".tlg"), "hives" + s + "a.tlg");
  EXPECT_EQ(ReplaceExtension("system.alt", ".bak"), "system.bak");
  EXPECT_EQ(ReplaceExtension("x.y.z", ".tlg"), "x.y.tlg") << "the dot nearest the end";
  EXPECT_EQ(ReplaceExtension("a.", ".tlg"), "a.tlg");
  EXPECT_EQ(ReplaceExtension("ab.cdef", ".tlg"), "ab.cdef.tlg") << "a longer extension is kept";
  EXPECT_EQ(ReplaceExtension("", ".tlg"), ".tlg");
}

TEST(ReplaceExtension, DotInAFolderNameIsNotAnExtension) {
  std::string s = Sep();
  EXPECT_EQ(ReplaceExtension("a.b" + s + "cd", ".tlg"), "a.b" + s + "cd.tlg");
  EXPECT_EQ(ReplaceExtension("x.d" + s + "SAM", ".tlg"), "x.d" + s + "SAM.tlg");
}

TEST(FileNamePart, AfterTheLastSeparator) {
  std::string s = Sep();
  EXPECT_EQ(FileNamePart("a" + s + "b" + s + "SYSTEM"), "SYSTEM");
  EXPECT_EQ(FileNameIndex("a" + s + "b" + s + "SYSTEM"), 4u);
  EXPECT_EQ(FileNamePart("SYSTEM"), "SYSTEM");
  EXPECT_EQ(FileNameIndex("SYSTEM"), 0u);
  EXPECT_EQ(FileNamePart("dir" + s), "");
}

TEST(HasLowerCase, LettersAndHighBytes) {
  EXPECT_FALSE(HasLowerCase("SYSTEM"));
  EXPECT_FALSE(HasLowerCase("NTUSER.DAT"));
  EXPECT_TRUE(HasLowerCase("system.alt"));
  EXPECT_TRUE(HasLowerCase("SYST\xC9M"));
}

TEST(ReadFileInfo, FoundAndMissing) {
  testing::TempDir dir;
  std::string path = dir.Path("Hive");
  { std::ofstream(path, std::ios::binary) << "12345"; }
  std::string asked = path;
  auto info = ReadFileInfo(asked);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size, 5u);
  EXPECT_EQ(info->name, "Hive");
  EXPECT_EQ(asked, path);
  std::string missing = dir.Path("none");
  EXPECT_FALSE(ReadFileInfo(missing));
  EXPECT_EQ(missing, dir.Path("none"));
}

}  // namespace
}  // namespace tarvos::save
