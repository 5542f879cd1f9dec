// Tests of the path pieces (on DOS-style and Linux-style paths) and of the
// file-system queries over real files in a scratch directory.
#include "runtime/path_ops.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using quil::testing::PathExists;
using quil::testing::TempDir;
using quil::testing::WriteFileBytes;

TEST(PathPiecesTest, Separators) {
  for (char c : {'\\', '/', ':', '\0'}) EXPECT_TRUE(IsPathSeparator(c)) << int(c);
  for (char c : {'a', '.', ' ', '*', '\xFF'}) EXPECT_FALSE(IsPathSeparator(c)) << int(c);
}

TEST(PathPiecesTest, DirectoryPart) {
  struct Case {
    std::string path;
    std::string directory;
  };
  const Case cases[] = {
      {"C:\\Dir\\Name", "C:\\Dir"},
      {"C:\\Dir\\Sub\\", "C:\\Dir\\Sub"},
      {"C:\\Name", "C:\\"},
      {"C:/Name", "C:/"},
      {"C:Name", "C:"},
      {"C:\\", "C:\\"},
      {"\\Name", "\\"},
      {"/Name", "/"},
      {"/home/fido/echo/area", "/home/fido/echo/"},
      {"echo/area", "echo/"},
      {"Echo\\Area", "Echo"},
      {"a\\b/c", "a\\b/"},
      {"Name", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DirectoryPart(c.path), c.directory) << "path \"" << c.path << "\"";
  }
  EXPECT_EQ(DirectoryPart(std::string(255, '\\')), std::string(254, '\\'));
  EXPECT_EQ(DirectoryPart(std::string(255, '/')), std::string(255, '/'));
}

TEST(PathPiecesTest, FileNameExtensionAndBareName) {
  struct Case {
    std::string path, file_name;
    bool has_extension;
    std::string extension, bare_name;
  } const cases[] = {
      {"C:\\Dir.Old\\Name", "Name", false, "", "Name"},
      {"/home/fido/1.msg", "1.msg", true, "msg", "1"},
      {"C:x.pkt", "x.pkt", true, "pkt", "x"},
      {"Name", "Name", false, "", "Name"},
      {"dir/", "", false, "", ""},
      {std::string("a\0b", 3), "b", false, "", "b"},
      {"dir.d/name", "name", false, "", "name"},
      {"", "", false, "", ""},
      {"Name.tar.gz", "Name.tar.gz", true, "gz", "Name"},
      {"C:\\Dir\\Area.SQD", "Area.SQD", true, "SQD", "Area"},
      {"name.", "name.", true, "", "name"},
      {"/srv/echo/Area.jhr", "Area.jhr", true, "jhr", "Area"},
      {"dir.d/", "", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("path \"" + c.path + "\"");
    EXPECT_EQ(FileName(c.path), c.file_name);
    EXPECT_EQ(HasExtension(c.path), c.has_extension);
    EXPECT_EQ(Extension(c.path), c.extension);
    EXPECT_EQ(BareName(c.path), c.bare_name);
  }
  // Linux names may be longer than the 64 characters of the old systems.
  const std::string long_name(200, 'n');
  EXPECT_EQ(FileName("/dir/" + long_name), long_name);
  EXPECT_EQ(FileName("/" + std::string(300, 'n')).size(), 255u);
}

TEST(PathPiecesTest, AddSeparator) {
  EXPECT_EQ(AddSeparator("echo"), "echo/");
  EXPECT_EQ(AddSeparator("echo/"), "echo/");
  EXPECT_EQ(AddSeparator("C:\\Echo\\"), "C:\\Echo\\");
  EXPECT_EQ(AddSeparator("C:"), "C:");
  EXPECT_EQ(AddSeparator(""), "");
  const std::string full(255, 'x');
  EXPECT_EQ(AddSeparator(full), full);
  EXPECT_EQ(AddSeparator(std::string(254, 'x')), std::string(254, 'x') + "/");
}

TEST(FileQueryTest, ExistenceOfFilesAndDirectories) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "file.msg", "x"));
  ASSERT_TRUE(CreateDirectories(dir / "empty/"));

  EXPECT_TRUE(FileExists(dir / "file.msg"));
  EXPECT_FALSE(FileExists(dir / "missing.msg"));
  EXPECT_FALSE(FileExists(dir.path()));

  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_TRUE(DirectoryExists(dir / "empty"));
  EXPECT_TRUE(DirectoryExists(dir / "empty/"));
  EXPECT_FALSE(DirectoryExists(dir / "file.msg"));
  EXPECT_FALSE(DirectoryExists(dir / "missing"));
  // The empty directory name is the current directory.
  EXPECT_TRUE(DirectoryExists(""));
}

TEST(FileQueryTest, CreateDirectoriesMakesEveryLevelOfTheDirectoryPart) {
  TempDir dir;
  EXPECT_TRUE(CreateDirectories(dir / "a/b/c/report.txt"));
  EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
  EXPECT_FALSE(PathExists(dir / "a/b/c/report.txt"));

  EXPECT_TRUE(CreateDirectories(dir / "x\\y\\"));
  EXPECT_TRUE(DirectoryExists(dir / "x/y"));

  // Existing levels are fine; a name without directory part needs nothing.
  EXPECT_TRUE(CreateDirectories(dir / "a/b/other"));
  EXPECT_TRUE(CreateDirectories("plain-name"));
  EXPECT_FALSE(PathExists("plain-name"));

  // A level that is a file can not become a directory.
  ASSERT_TRUE(WriteFileBytes(dir / "f", "x"));
  EXPECT_FALSE(CreateDirectories(dir / "f/sub/name"));
}

TEST(FileQueryTest, InUseAndEraseRespectOtherOpens) {
  TempDir dir;
  const std::string name = dir / "area.sqd";
  ASSERT_TRUE(WriteFileBytes(name, "data"));
  EXPECT_FALSE(InUse(platform::kDenyAll, name));
  EXPECT_FALSE(InUse(platform::kDenyAll, dir / "missing"));

  for (uint32_t sharing : {platform::kDenyNone, platform::kDenyWrite}) {
    int error = 0;
    platform::Handle holder = platform::OpenFile(name, platform::kModeRead | sharing, &error);
    ASSERT_NE(holder, platform::kNoHandle) << "error " << error;
    EXPECT_TRUE(InUse(platform::kDenyAll, name)) << "sharing " << sharing;
    EXPECT_FALSE(InUse(platform::kDenyNone, name)) << "sharing " << sharing;
    EXPECT_EQ(EraseFile(name), -1) << "sharing " << sharing;
    EXPECT_TRUE(PathExists(name)) << "sharing " << sharing;
    EXPECT_EQ(platform::CloseFile(holder), platform::kOk);
  }

  EXPECT_EQ(EraseFile(name), 0);
  EXPECT_FALSE(PathExists(name));
  EXPECT_EQ(EraseFile(name), -1);
  EXPECT_EQ(EraseFile(dir.path()), -1);
  EXPECT_TRUE(PathExists(dir.path()));
}

TEST(FileQueryTest, EraseFindsANameInAnotherLetterCase) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "AREA.SQD", "data"));
  EXPECT_TRUE(FileExists(dir / "area.sqd"));
  EXPECT_EQ(EraseFile(dir / "area.sqd"), 0);
  EXPECT_FALSE(PathExists(dir / "AREA.SQD"));
}

}  // namespace
}  // namespace quil
