// End-to-end test of the installation as `make install` and `make uninstall`
// do it: the install rules put both programs, their manual pages and a
// lower-case link to each under the prefix inside DESTDIR, the installed
// programs run under their lower-case names, and uninstalling removes every
// file that was installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "convert_support.h"
#include "test_support.h"

namespace quil::testing {
namespace {

// A prefix no machine has, so that nothing outside the scratch directory
// could ever be installed over or removed.
const char kPrefix[] = "/quil-install-test";

// Runs the shell command `script` with `args` as $1, $2, ... and DESTDIR set
// to `destdir`.
ProgramResult RunShell(const std::string& script, const std::vector<std::string>& args,
                       const std::string& destdir) {
  std::vector<std::string> shell_args = {"-c", script, "sh"};
  shell_args.insert(shell_args.end(), args.begin(), args.end());
  return RunProgram("/bin/sh", shell_args, {}, {}, {"DESTDIR=" + destdir});
}

// Every entry under `directory` by its path relative to it; a link is an
// entry of its own, not followed.
std::vector<std::string> EntriesUnder(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    names.push_back(entry.path().lexically_relative(directory).string());
  }
  return names;
}

TEST(InstallTest, InstallsProgramsPagesAndLinksAndUninstallsEveryFile) {
  TempDir dir;
  const std::string root = dir / "root";
  const std::string prefix = root + kPrefix;
  ProgramResult install =
      RunShell("cmake --install \"$1\" --prefix \"$2\"", {QUIL_BINARY_DIR, kPrefix}, root);
  ASSERT_EQ(install.exit_code, 0) << install.output;

  // Every file, the links read through: the programs as built, the pages as
  // written, and nothing else.
  const std::string kDirectory = "<directory>";
  const std::string sorter = ReadFileBytes(ProgramPath("Quilord"));
  const std::string converter = ReadFileBytes(ProgramPath("Quilxfer"));
  const std::string sorter_page = ReadFileBytes(std::string(QUIL_SOURCE_DIR) + "/man/Quilord.1");
  const std::string converter_page =
      ReadFileBytes(std::string(QUIL_SOURCE_DIR) + "/man/Quilxfer.1");
  const std::map<std::string, std::string> expected = {
      {"bin", kDirectory},
      {"bin/Quilord", sorter},
      {"bin/Quilxfer", converter},
      {"bin/quilord", sorter},
      {"bin/quilxfer", converter},
      {"share", kDirectory},
      {"share/man", kDirectory},
      {"share/man/man1", kDirectory},
      {"share/man/man1/Quilord.1", sorter_page},
      {"share/man/man1/Quilxfer.1", converter_page},
      {"share/man/man1/quilord.1", sorter_page},
      {"share/man/man1/quilxfer.1", converter_page},
  };
  std::map<std::string, std::string> installed;
  for (const std::string& name : EntriesUnder(prefix)) {
    const std::string path = prefix + "/" + name;
    installed[name] = std::filesystem::is_directory(path) ? kDirectory : ReadFileBytes(path);
  }
  for (const auto& [name, bytes] : expected) {
    EXPECT_FALSE(bytes.empty()) << name;
    EXPECT_TRUE(installed.contains(name) && installed.at(name) == bytes) << name;
  }
  for (const auto& [name, bytes] : installed) EXPECT_TRUE(expected.contains(name)) << name;

  // The lower-case names are links beside their programs and pages, so that
  // they stay right wherever the tree is moved (a package, DESTDIR).
  for (const char* link : {"bin/quilord", "bin/quilxfer", "share/man/man1/quilord.1",
                           "share/man/man1/quilxfer.1"}) {
    const std::filesystem::path path = prefix + "/" + link;
    ASSERT_TRUE(std::filesystem::is_symlink(path)) << link;
    EXPECT_EQ(std::filesystem::read_symlink(path).string().find('/'), std::string::npos) << link;
  }

  // The installed programs run under their lower-case names.
  const std::string packet = std::string(QUIL_SOURCE_DIR) + "/samples/demo.pkt";
  const std::string jam = "j" + (dir / "echo");
  ProgramResult copy = RunProgram(prefix + "/bin/quilxfer", {packet, jam});
  EXPECT_EQ(copy.exit_code, 0);
  EXPECT_EQ(copy.output, convert_e2e::CopyOutput(packet, jam, 4, 0));
  ProgramResult sort = RunProgram(prefix + "/bin/quilord", {jam});
  EXPECT_EQ(sort.exit_code, 0) << sort.output;
  EXPECT_NE(sort.output.find("writing message... #4\n"), std::string::npos) << sort.output;

  // Uninstalling leaves the folders, which may hold other programs' files,
  // and no file.
  ProgramResult uninstall =
      RunShell("make -s -C \"$1\" uninstall PREFIX=\"$2\" DESTDIR=\"$DESTDIR\"",
               {QUIL_SOURCE_DIR, kPrefix}, root);
  ASSERT_EQ(uninstall.exit_code, 0) << uninstall.output;
  for (const std::string& name : EntriesUnder(root)) {
    EXPECT_TRUE(std::filesystem::is_directory(root + "/" + name)) << name << " is left";
  }
}

}  // namespace
}  // namespace quil::testing
