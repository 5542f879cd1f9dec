// Writing a rebuilt base back into the original base's own files.
//
// The new (sorted) base is built completely beside the original (see
// base_rebuild.h).  Its bytes then go into the original's files themselves,
// so the base keeps its files: the same inodes, the names as they are on
// disk, owner, group and mode; a symbolic link stays a link and the file it
// points at holds the sorted base.  A program that kept the base open finds
// the sorted base in the same files, and what it appends stays.
//
// Before the commit point, PlanWriteBack checks that every file of the
// original can be written and reserves the disk space the write-back
// needs, so that a full disk stops the sort while the original is still as
// it was.  The plan is the journal (rebuild_journal.h) written at the
// commit point.  RunWriteBack then carries it out; every step of it can be
// repeated, so a run cut short anywhere is finished by running it again:
//
// Squish, JAM: messages other programs appended since an interrupted run
// are first copied into the new base (added_messages.h); every file of the
// new base is copied over the original's (a Squish header last), the index
// behind the new base's entries is emptied, and the files are cut to the
// new base's sizes, the index last.  Nothing shrinks before the end.
//
// Packets: the one file is copied and cut to size.
//
// Fido directories: there is no lock, and other programs may write new
// message files at any time.  Only the files the sort read are replaced:
// each message file of the new base goes into the file of the same number
// the sort read, or else into one the sort read under a number the new base
// does not use (renamed), or else moves in itself.  A rebuild writes the
// new base's message files one behind the other into one stage file; one
// that no file of the original takes gets a file of its own first, so that
// it can move in.  Files the sort read that
// take no message are removed.  A file another program put under a number
// the new base takes is renamed to a free number above every other.  Files
// are recognised by their identity (device and inode), not by their names.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bases/added_messages.h"
#include "bases/rebuild_journal.h"
#include "bases/rebuild_layout.h"
#include "runtime/platform.h"

namespace quil {

// The message files of a Fido directory as the sort read them.  A
// directory may hold a million, so a file is its number and identity; only
// a name that is not "<number>.<extension>" ("5.MSG", "05.msg") is kept.
class ReadMessageFiles {
 public:
  struct File {
    platform::FileIdentity identity;
    int32_t number = 0;
  };

  // `extension` is that of the directory's mask ("msg").
  explicit ReadMessageFiles(std::string extension = {}) : extension_(std::move(extension)) {}

  // Makes room for `count` files.
  void Reserve(size_t count) { files_.reserve(count); }
  // Adds a file; numbers must come in ascending order.
  void Add(int32_t number, std::string_view name, const platform::FileIdentity& identity);
  // The file of `number`, or null.
  const File* Find(int32_t number) const;
  // Its name, without the directory.
  std::string NameOf(const File& file) const;

  const std::vector<File>& files() const { return files_; }

 private:
  std::string extension_;
  std::vector<File> files_;  // ascending by number
  std::map<int32_t, std::string> other_names_;
};

// The message files a new Fido base wrote into its stage file
// (RebuildLayout::StageFile), one behind the other from its first byte:
// message `first`, then each next number, each of its size.
struct StagedFiles {
  int32_t first = 0;
  std::vector<uint32_t> sizes;
};

// Plans the write-back of the new base (complete, closed and on disk) of
// `layout` into the original, reserving the space it needs.  `read` lists
// the message files the sort read and `staged` those of the new base in
// its stage file (Fido only).  False, with the
// original unchanged, when a file of the original can not be opened for
// writing, the space is not there, or the new base can not be read.
[[nodiscard]] bool PlanWriteBack(const RebuildLayout& layout, const ReadMessageFiles& read,
                                 const StagedFiles& staged, WriteBackJournal* journal);

// More files than this (a large *.msg directory) are forced to disk with one
// call for their whole file system rather than one call each.
constexpr size_t kFilesSyncedOneByOne = 16;

// Forces the data of `count` files (those of them that exist; file i is
// named by name_of(i)) to disk: one by one, or the whole file system that
// holds `directory` at once when there are many.
[[nodiscard]] bool SyncFiles(size_t count, const std::function<std::string(size_t)>& name_of,
                             const std::string& directory);

// Carries out the write-back `journal` describes.  A changed journal is
// stored through `save` before any step that relies on it.  False when a
// step failed; calling it again later goes on from where it stands.
[[nodiscard]] bool RunWriteBack(const RebuildLayout& layout, WriteBackJournal* journal,
                                const SaveJournalFunction& save);

}  // namespace quil
