#include "bases/area_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quil {
namespace {

using Specs = std::vector<std::string>;

TEST(ParseAreaFileTest, ListsTheFirstWordOfEveryLineThatNamesABase) {
  using namespace std::string_literals;
  const std::string long_spec = "s" + std::string(300, 'a');
  struct Case {
    const char* name;
    std::string contents;
    Specs specs;
  } const cases[] = {
      {"empty", "", {}},
      {"one line without a line end", "sarea TAG", {"sarea"}},
      {"every line end",
       "fone\r\ntwo.sqd\nthree.jhr\rpfour.pkt\n\r!five",
       {"fone", "two.sqd", "three.jhr", "pfour.pkt", "!five"}},
      {"blanks, tabs and the words after the base's name",
       "  \t$echo/area\tECHO.AREA 2:5020/1 2:5020/2  \r\n",
       {"$echo/area"}},
      {"comments, empty lines and lines of blanks",
       "; areas of this node\r\n\r\n   \t \r\n  ; indented comment\r\nsarea;TAG\r\n;sold\r\n",
       {"sarea"}},
      // DOS text files end at Ctrl-Z; what follows it is not read.
      {"Ctrl-Z ends the file", "sone\r\n\x1a", {"sone"}},
      {"Ctrl-Z inside a line", "stwo TAG\x1ajjunk\r\nfmore\r\n", {"stwo"}},
      {"Ctrl-Z first", "\x1asone\r\n", {}},
      // A classic AREAS.BBS: the system line names no base.
      {"system line", "Node BBS ! John Sysop\r\nsarea AREA 2:5020/1\r\n", {"sarea"}},
      {"system line after a comment",
       "; made by hand\r\nNode BBS ! Sysop\r\nsarea AREA\r\n",
       {"sarea"}},
      {"system line with tabs", "Node\t!\tSysop\r\nsarea\r\n", {"sarea"}},
      {"system line of one name", "Node ! Sysop\r\n", {}},
      // Narrow: a "!" that is part of a word, or a lone "!" on a later line,
      // is no system line.
      {"JAM marks are no system line",
       "!jam/area ECHO\r\n!other ! AREA\r\n",
       {"!jam/area", "!other"}},
      {"exclamation inside a word", "sarea Hello!World\r\nsnext\r\n", {"sarea", "snext"}},
      {"only the first line", "sarea TAG\r\nNode ! Sysop\r\n", {"sarea", "Node"}},
      // A line keeps its first 255 characters: longer specs are cut.
      {"long line", long_spec + " TAG\r\nsnext\r\n", {long_spec.substr(0, 255), "snext"}},
      {"NUL bytes", "s\0a TAG\r\n"s, {"s\0a"s}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseAreaFile(c.contents), c.specs) << c.name;
  }
}

}  // namespace
}  // namespace quil
