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
//   place 6.MSG 6.MSG 2049 132 4096 1530
//                               a message file staged in the new base's
//                               stage file: target, original file that
//                               takes it, that file's identity, and where
//                               the bytes lie in the stage (offset, size)
//   drop 9.msg 2049 140         a file the sort read that is not needed
//   end
#pragma once

#include <cstdint>
#include <functional>
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

  static constexpr uint32_t kNoName = UINT32_MAX;  // where no name is
  // The bits of a move's `target`: where its name lies in `names`, and two
  // flags.
  static constexpr uint32_t kNameAt = 0x3FFFFFFF;
  static constexpr uint32_t kNewNameBefore = 0x80000000;
  static constexpr uint32_t kStaged = 0x40000000;

  // Fido directories: one move per message file of the new base.  A
  // directory may hold a million of them, so a move names its files by
  // where their names lie in `names` (each name once behind the other,
  // ended by a NUL), not by strings of its own; forty bytes a move.
  //
  // The new base's bytes of a message are either a file of its own in the
  // new base's directory (NewName), or a range of the new base's stage
  // file, where a rebuild writes them one behind the other (staged()).
  struct Move {
    // Its name in the original directory (Target), with kNewNameBefore
    // when the file's name in the new base's directory (NewName) is
    // another one, stored just in front of it (else that is the same), and
    // with kStaged when its bytes are in the stage file.
    uint32_t target = 0;
    uint32_t vessel = kNoName;  // the original's file that takes its bytes
    platform::FileIdentity vessel_identity;
    // Of NewName, should it move in itself.  Of a staged move the two
    // numbers say where its bytes lie in the stage file instead: offset
    // and size (staged_at, staged_size).
    platform::FileIdentity new_identity;

    bool has_vessel() const { return vessel != kNoName; }
    bool staged() const { return (target & kStaged) != 0; }
    int64_t staged_at() const { return static_cast<int64_t>(new_identity.device); }
    uint32_t staged_size() const { return static_cast<uint32_t>(new_identity.inode); }
    friend bool operator==(const Move&, const Move&) = default;
  };
  std::vector<Move> moves;
  // Files the sort read that the new base does not take the place of.
  struct Drop {
    uint32_t name = 0;
    platform::FileIdentity identity;

    friend bool operator==(const Drop&, const Drop&) = default;
  };
  std::vector<Drop> drops;
  std::string names;  // the names moves and drops refer to

  // Adds a move (`vessel` empty for none); a name equal to the one added
  // just before is stored once.
  void AddMove(std::string_view name, std::string_view target, std::string_view vessel,
               const platform::FileIdentity& vessel_identity,
               const platform::FileIdentity& new_identity);
  // Adds a move of the stage file's bytes [offset, offset + size) into the
  // original's file `vessel`, which takes the name `target`.
  void AddPlacement(std::string_view target, std::string_view vessel,
                    const platform::FileIdentity& vessel_identity, int64_t offset, uint32_t size);
  void AddDrop(std::string_view name, const platform::FileIdentity& identity);
  // Adds a name to `names`; where it starts there.
  uint32_t StoreName(std::string_view name);
  // The name stored at `at`; empty for kNoName.
  std::string_view Name(uint32_t at) const;
  // A move's file in the new base's directory, its name in the original
  // directory, and the original's file that takes its bytes ("" = none).
  std::string_view NewName(const Move& move) const;
  std::string_view Target(const Move& move) const { return Name(move.target & kNameAt); }
  std::string_view Vessel(const Move& move) const { return Name(move.vessel); }

  friend bool operator==(const WriteBackJournal&, const WriteBackJournal&) = default;
};

// The text form, handed to `out` piece by piece (a journal of a large
// directory is written without being held as text).
void WriteJournal(const WriteBackJournal& journal,
                  const std::function<void(std::string_view)>& out);
std::string EncodeJournal(const WriteBackJournal& journal);

// Reads the text form line by line (each without its line end): a journal
// is read from its file a piece at a time.
class JournalReader {
 public:
  explicit JournalReader(WriteBackJournal* journal);
  // False when the line can not be in a whole journal.
  [[nodiscard]] bool Line(std::string_view line);
  // True when the lines read were a whole journal.
  [[nodiscard]] bool Finish() const;

 private:
  WriteBackJournal* journal_;
  bool first_ = true;
  bool ended_ = false;
};

// Reads the text form.  False when it is not a whole journal: a wrong first
// line, no "end", an unknown record, a number that does not parse, a name
// with a blank or a control character.
[[nodiscard]] bool DecodeJournal(std::string_view text, WriteBackJournal* journal);

}  // namespace quil
