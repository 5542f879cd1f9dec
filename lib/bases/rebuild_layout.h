// Where the pieces of one rebuild of a base live: the original's files, the
// new base beside them and the rebuild's marker files (see base_rebuild.h).
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace quil {

struct RebuildLayout {
  char mark = 0;          // 'F', 'P', 'S' or 'J'
  std::string path;       // the original's path (normalised, no mark)
  std::string directory;  // the folder both bases live in ("" = current)
  std::string temp;       // the new base's path (a directory for Fido)
  std::string temp_path;  // what the new base's Create gets

  std::string Marker(std::string_view suffix) const { return temp + std::string(suffix); }

  // The file with this extension ("" for a packet) of the original, and of
  // the new base.
  std::string OriginalFile(std::string_view extension) const {
    return path + std::string(extension);
  }
  std::string NewFile(std::string_view extension) const { return temp + std::string(extension); }
  // The file in a new Fido directory that holds the message files of the
  // new base one behind the other, until they are put in place.
  std::string StageFile() const { return temp + "/messages.stage"; }

  // The folder, "." for the current one.
  std::string DirectoryOrCurrent() const {
    return directory.empty() ? std::string(".") : directory;
  }
};

// The files of a base of the kind `mark`, by the extension that follows its
// path, in the order a write-back handles them: the index last, as it is
// what makes a message visible.  A packet is its one file (""); a Fido
// directory has none here (its files are listed).
inline std::span<const std::string_view> BaseExtensions(char mark) {
  static constexpr std::string_view kSquish[] = {".sqd", ".sql", ".sqi"};
  static constexpr std::string_view kJam[] = {".jdt", ".jhr", ".jlr", ".jqx", ".jdx"};
  static constexpr std::string_view kPacket[] = {""};
  switch (mark) {
    case 'S':
      return kSquish;
    case 'J':
      return kJam;
    case 'P':
      return kPacket;
    default:
      return {};
  }
}

}  // namespace quil
