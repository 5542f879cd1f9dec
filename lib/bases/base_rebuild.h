// Rebuilding a base without ever losing a message.
//
// A base is rewritten (sorted) by building the new base completely under
// temporary names beside the original, forcing it to disk, and only then
// replacing the original's files with it.  The replacement is journalled by
// two marker files, so that a replacement cut short by a kill, a crash or a
// power cut is finished by the next run of either program:
//
//   <T>.lock    held (deny all) while a rebuild or a recovery runs
//   <T>.ready   the new base is complete and on disk (the commit point)
//   <T>.moving  the original's files are erased; the new ones are moving in
//
// T is the temporary base beside the original, named after it and its
// kind: "dir/.area.quil-sort-s" for a Squish base "dir/area" (files T.sqd,
// ...), "dir/.area.quil-sort-j" for a JAM base, "dir/.x.pkt.quil-sort-p"
// for a packet "dir/x.pkt", and the directory "dir/.quil-sort-f" for a Fido
// directory "dir".  Before the commit point the original is untouched and a
// leftover new base is simply removed; after it the replacement is always
// completed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/message_base.h"
#include "runtime/stream.h"

namespace quil {

// Where the pieces of one rebuild live, derived from the original's kind
// and path.
struct RebuildLayout {
  char mark = 0;
  std::string path;       // the original's path (normalised, no mark)
  std::string directory;  // the folder both bases live in ("" = current)
  std::string temp;       // the new base's path (a directory for Fido)
  std::string temp_path;  // what the new base's Create gets

  std::string Marker(std::string_view suffix) const { return temp + std::string(suffix); }
};

class BaseRebuild {
 public:
  enum class Failure {
    kNone,
    kMissing,     // neither the base nor anything a rebuild of it left exists
    kBusy,        // another rebuild of the same base is running
    kNoAccess,    // the rebuild lock may not be made beside the base
    kCreate,      // the new base could not be created
    kWrite,       // a message or the new base's files could not be written
    kReplace,     // the files could not be swapped (finished by a later run)
  };

  ~BaseRebuild();
  BaseRebuild(const BaseRebuild&) = delete;
  BaseRebuild& operator=(const BaseRebuild&) = delete;

  // Takes the rebuild lock of the base `spec`.  Null (with *failure kBusy)
  // when another rebuild or recovery of that base holds it, (kNoAccess)
  // when the user may not create the lock file in the base's folder, and
  // (kMissing) creating nothing when neither the base nor a leftover of a
  // rebuild of it exists.  Recovers an interrupted earlier rebuild first; *recovered
  // receives a line saying what was done, or stays empty.
  static std::unique_ptr<BaseRebuild> Lock(std::string_view spec, std::string* recovered,
                                           Failure* failure);

  // Creates the new, empty base under the temporary names, carrying over
  // the settings of `original` that belong to the base rather than to its
  // messages.  False (kCreate) when it can not be created.
  bool CreateNewBase(uint32_t sharing, MessageBase& original);

  // The new base; write the messages into it as 1..N.
  MessageBase& new_base() { return *new_base_; }

  // Closes the new base, forces it to disk and replaces the original's
  // files with it.  The original must be closed before.  On kWrite the new
  // base is removed and the original is as it was; on kReplace the commit
  // point was passed and the next run finishes the replacement.
  bool Commit(Failure* failure);

  // Removes the new base; the original stays as it was.  Also done by the
  // destructor when Commit did not succeed.
  void Abandon();

 private:
  BaseRebuild() = default;

  RebuildLayout layout_;
  std::unique_ptr<FileStream> lock_;
  std::unique_ptr<MessageBase> new_base_;
  bool committed_ = false;
};

// Finishes or rolls back a rebuild of the base `spec` that was cut short,
// unless a rebuild of it is running now.  Returns a line saying what was
// done ("" when there was nothing to do).  Both programs call it before they
// open a base.
std::string RecoverInterruptedRebuild(std::string_view spec);

// True while the base `spec` names is in the middle of a replacement that
// could not be finished: its files are not to be used until a later run
// completes it.
bool RebuildPending(std::string_view spec);

}  // namespace quil
