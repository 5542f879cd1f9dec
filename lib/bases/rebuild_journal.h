// The journal of a rebuild's write-back: everything the write-back of a
// rebuilt base into the original's files needs to be finished by a later
// run, written at the commit point and rewritten whenever it changes (see
// write_back.h for how it is used).
//
// Its text form is one record per line, numbers in decimal, bytes in
// hexadecimal, framed by a first line naming the format and a last line
// "end", so that a journal cut short is recognised as such:
//
//   quil-write-back 1
//   kind J
//   file .jhr 123456            a file of the new base and its size
//   boundary 200                first index position other programs own
//   header 4a414d00...          the new base's header
//   known 201 0c0000...         an index entry beyond it that is no one's
//   move 5.msg 5.MSG 5.MSG 2049 131 2049 977
//                               new file, target, original file that takes
//                               it ("-" when none) and the identities
//                               (device, inode) of that file and of the new
//   drop 9.msg 2049 140         a file the sort read that is not needed
//   end
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/platform.h"

namespace quil {

struct WriteBackJournal {
  char mark = 0;  // the kind: 'F', 'P', 'S' or 'J'

  // Packets, Squish and JAM bases: each file of the new base, by the
  // extension that follows the base path ("" for a packet), with its size.
  struct File {
    std::string extension;
    int64_t size = 0;

    friend bool operator==(const File&, const File&) = default;
  };
  std::vector<File> files;

  // Squish and JAM bases.  Every entry at this position (counted from 0)
  // or beyond in the original's index that is neither empty nor listed in
  // `known` is a message another program added.
  int64_t boundary = 0;
  // The header of the new base as it stands (the base header of a JAM .jhr
  // or a Squish .sqd).
  std::string header;
  // Entries at or beyond the boundary that were there before: position and
  // bytes.
  std::vector<std::pair<int64_t, std::string>> known;

  // Fido directories: one move per message file of the new base.
  struct Move {
    std::string name;    // the file in the new base's directory
    std::string target;  // its name in the original directory
    std::string vessel;  // the original's file that takes its bytes ("" = none)
    platform::FileIdentity vessel_identity;
    platform::FileIdentity new_identity;  // of `name`, should it move in itself

    friend bool operator==(const Move&, const Move&) = default;
  };
  std::vector<Move> moves;
  // Files the sort read that the new base does not take the place of.
  struct Drop {
    std::string name;
    platform::FileIdentity identity;

    friend bool operator==(const Drop&, const Drop&) = default;
  };
  std::vector<Drop> drops;

  friend bool operator==(const WriteBackJournal&, const WriteBackJournal&) = default;
};

// The text form.
std::string EncodeJournal(const WriteBackJournal& journal);

// Reads the text form.  False when it is not a whole journal: a wrong first
// line, no "end", an unknown record, a number that does not parse, a name
// with a blank or a control character.
[[nodiscard]] bool DecodeJournal(std::string_view text, WriteBackJournal* journal);

}  // namespace quil
