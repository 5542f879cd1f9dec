#include "bases/area_file.h"

#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr char kEndOfFile = '\x1a';  // Ctrl-Z
constexpr char kComment = ';';

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// True when "!" stands alone as a word of `line`.
bool HasLoneExclamationMark(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '!') continue;
    bool starts_word = i == 0 || IsBlank(line[i - 1]);
    bool ends_word = i + 1 == line.size() || IsBlank(line[i + 1]);
    if (starts_word && ends_word) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ParseAreaFile(std::string_view contents) {
  contents = contents.substr(0, contents.find(kEndOfFile));
  std::vector<std::string> specs;
  bool first = true;  // no line with words seen yet
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = contents.size();
    std::string_view line = contents.substr(start, end - start).substr(0, kMaxString);
    start = end + 1;
    line = line.substr(0, line.find(kComment));
    std::string spec = ExtractWord(1, line, kBlanks);
    if (spec.empty()) continue;
    bool system_line = first && HasLoneExclamationMark(line);
    first = false;
    if (!system_line) specs.push_back(spec);
  }
  return specs;
}

}  // namespace quil
