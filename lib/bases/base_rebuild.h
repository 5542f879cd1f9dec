// Rebuilding a base without ever losing a message, while other programs go
// on using it.
//
// A base is rewritten (sorted) by building the new base completely under
// temporary names beside the original and forcing it to disk; that is the
// commit point.  Then the new base is written back into the original's own
// files (write_back.h): the base keeps its files, and a program that holds
// them open finds the new base in them.  Marker files beside the base:
//
//   <T>.lock    held (deny all) while a rebuild or a recovery runs
//   <T>.ready   the journal of the write-back (rebuild_journal.h), written
//               at the commit point and removed when the write-back is
//               complete; rewritten through <T>.next
//
// T is the temporary base beside the original, named after it and its
// kind: "dir/.area.quil-sort-s" for a Squish base "dir/area" (files T.sqd,
// ...), "dir/.area.quil-sort-j" for a JAM base, "dir/.x.pkt.quil-sort-p"
// for a packet "dir/x.pkt", and the directory "dir/.quil-sort-f" inside a
// Fido directory "dir" (whose new message files are written one behind the
// other into its file "messages.stage").  Before the commit point the original is untouched
// and a leftover new base is simply removed; after it the write-back is
// always completed, by this run or the next run of either program.
//
// Other programs: a Squish or JAM rebuild takes the write lock other
// FidoNet software takes on byte 0 of the .sqd or .jhr (waiting up to ten
// seconds for it while another program holds it) before the base is read,
// and holds it until the write-back is complete, so they wait; a recovery
// takes it too.  A run killed in the write-back frees the lock; what other
// programs append before the next run is kept (added_messages.h).  A Fido
// directory has no lock: the write-back replaces only the files the sort
// read and keeps every other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bases/rebuild_layout.h"
#include "bases/write_back.h"
#include "model/message_base.h"
#include "runtime/stream.h"

namespace quil {

class BaseRebuild {
 public:
  enum class Failure {
    kNone,
    kMissing,   // neither the base nor anything a rebuild of it left exists
    kBusy,      // another rebuild of the same base runs, or another
                // program held the base's write lock for ten seconds
    kNoAccess,  // the rebuild lock may not be made beside the base
    kCreate,    // the new base could not be created
    kWrite,     // the new base could not be written, or the original's
                // files can not take it; the original is as it was
    kReplace,   // the write-back could not be finished (a later run does)
  };

  ~BaseRebuild();
  BaseRebuild(const BaseRebuild&) = delete;
  BaseRebuild& operator=(const BaseRebuild&) = delete;

  // Takes the rebuild lock of the base `spec` and, for a Squish or JAM base
  // that exists, its write lock.  Null (with *failure kBusy) when another
  // rebuild or recovery of that base holds the one, or another program
  // held the other for ten seconds, (kNoAccess) when the user may not
  // create the lock file in the base's folder, and (kMissing) creating
  // nothing when neither the base nor a leftover of a rebuild of it exists.
  // Finishes an interrupted earlier rebuild first; *recovered receives a
  // line saying what was done, or stays empty.
  // *failed_file (when given) receives, for kNoAccess, the folder the lock
  // file could not be made in or the base file that could not be opened for
  // writing, and for kBusy the base file whose write lock another program
  // held (empty when another rebuild holds the rebuild lock).
  static std::unique_ptr<BaseRebuild> Lock(std::string_view spec, std::string* recovered,
                                           Failure* failure, std::string* failed_file = nullptr);

  // The sharing mode in which to open the original while the rebuild
  // holds it: deny none when the rebuild holds the base's write lock (the
  // base's own lock would conflict with it), deny write otherwise.
  uint32_t original_sharing() const;

  // Creates the new, empty base under the temporary names, carrying over
  // the settings of `original` that belong to the base rather than to its
  // messages, and notes which files of `original` the sort reads.  False
  // (kCreate) when it can not be created.
  bool CreateNewBase(uint32_t sharing, MessageBase& original);

  // The new base; write the messages into it as 1..N.  It must hold every
  // message that is to remain: a file of a Fido directory that the sort
  // read and the new base does not replace is removed.
  MessageBase& new_base() { return *new_base_; }

  // Copies the original's files, as they are, to a base of the same kind
  // beside it named after it and the time ("dir/area.damaged-20261208-153001"
  // for the JAM base "dir/area", "dir/mail.damaged-20261208-153001.pkt" for
  // a packet), forced to disk: what a sort that leaves damaged messages out
  // keeps of their bytes.  *kept_spec receives the copy's base spec.  False,
  // leaving no copy behind, when it could not be made whole (or the kind,
  // a *.msg directory, has no files to copy here).
  bool KeepOriginal(std::string* kept_spec);

  // Closes the new base, forces it to disk, checks that the original's
  // files can take it and reserves the space, then (the commit point)
  // writes it back into them.  The original must be closed before.  On
  // kWrite the new base is removed and the original is as it was; on
  // kReplace the commit point was passed and the next run finishes the
  // write-back.
  bool Commit(Failure* failure);

  // Removes the new base; the original stays as it was.  Also done by the
  // destructor when Commit did not succeed.
  void Abandon();

 private:
  BaseRebuild() = default;

  RebuildLayout layout_;
  std::unique_ptr<FileStream> lock_;       // the rebuild lock file
  std::unique_ptr<FileStream> base_lock_;  // holds the base's write lock
  std::unique_ptr<MessageBase> new_base_;
  ReadMessageFiles read_files_;              // Fido: what the sort reads
  std::vector<int64_t> original_sizes_;      // when the write lock came late
  bool committed_ = false;
};

// Finishes or rolls back a rebuild of the base `spec` that was cut short,
// unless a rebuild of it is running now.  Returns a line saying what was
// done ("" when there was nothing to do).  Both programs call it before they
// open a base.
std::string RecoverInterruptedRebuild(std::string_view spec);

// True while the base `spec` names is in the middle of a write-back that
// could not be finished: its files are not to be used until a later run
// completes it.
bool RebuildPending(std::string_view spec);

}  // namespace quil
