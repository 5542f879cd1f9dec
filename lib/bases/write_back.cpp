// Carrying out a write-back: the plan made before the commit point and the
// steps after it, for files (Squish, JAM, packets) and for the message files
// of a Fido directory.
#include "bases/write_back.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "fido/fido_base.h"
#include "runtime/path_ops.h"
#include "runtime/stream.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

// The write-back shares the files with everyone: other programs are kept
// out by the base's write lock, or there is no lock to keep them out.
constexpr uint32_t kReadShared = platform::kModeRead | platform::kDenyNone;
constexpr uint32_t kWriteShared = platform::kModeReadWrite | platform::kDenyNone;
constexpr size_t kCopyBufferSize = 65536;
// More files than this (a large *.msg directory) are forced to disk with one
// call for their whole file system rather than one call each.
constexpr size_t kFilesSyncedOneByOne = 16;

int64_t SizeOf(const std::string& name) {
  FileStream file(name, kReadShared);
  return file.is_open() ? file.GetSize() : -1;
}

// Copies the bytes [from, size) of the file `source` over the same bytes of
// the file `target`.
bool CopyRange(const std::string& source, const std::string& target, int64_t from, int64_t size) {
  FileStream in(source, kReadShared, kCopyBufferSize);
  FileStream out(target, kWriteShared, kCopyBufferSize);
  if (!in.is_open() || !out.is_open()) return false;
  if (from < size) {
    in.Seek(from);
    out.Seek(from);
    out.CopyFrom(in, size - from);
  }
  return in.ok() && out.Close();
}

// Makes the file `target` hold exactly the bytes of the file `source`.
bool CopyWhole(const std::string& source, const std::string& target) {
  FileStream in(source, kReadShared, kCopyBufferSize);
  FileStream out(target, kWriteShared, kCopyBufferSize);
  const int64_t size = in.GetSize();
  if (size < 0 || !out.is_open()) return false;
  out.CopyFrom(in, size);
  if (out.GetSize() != size) out.Truncate();
  return in.ok() && out.Close();
}

// Cuts the file to `size` bytes (a missing file of no bytes is left
// missing) and forces it to disk.
bool CutAndSync(const std::string& name, int64_t size) {
  if (size == 0 && !FileExists(name)) return true;
  FileStream file(name, kWriteShared);
  if (!file.is_open()) return false;
  if (file.GetSize() != size) {
    file.Seek(size);
    file.Truncate();
  }
  return file.Sync() && file.Close();
}

// Forces one file's data to disk.
bool SyncFile(const std::string& name) {
  FileStream file(name, kReadShared);
  return file.is_open() && file.Sync() && file.Close();
}

// The name under which a file the original lacks is made: beside its main
// file, in the letter case of that file's extension.
std::string NameForNewFile(const RebuildLayout& layout, std::string_view extension) {
  const IndexFacts* facts = IndexFactsOf(layout.mark);
  if (facts == nullptr) return layout.OriginalFile(extension);
  const std::string main = platform::ResolveExisting(layout.OriginalFile(facts->header_extension));
  const size_t stem = main.size() - facts->header_extension.size();
  const bool upper = main.substr(stem) == UpperCase(main.substr(stem));
  return main.substr(0, stem) + (upper ? UpperCase(extension) : std::string(extension));
}

// Copies the new base's file over the original's from byte `from` on.  A
// file the original lacks is made, with the main file's owner and mode,
// unless it would stay empty.
bool CopyIntoOriginal(const RebuildLayout& layout, const WriteBackJournal::File& file,
                      int64_t from) {
  std::string target = layout.OriginalFile(file.extension);
  if (!FileExists(target)) {
    if (file.size == 0) return true;
    target = NameForNewFile(layout, file.extension);
    FileStream made(target, platform::kModeCreate | platform::kDenyNone);
    if (!made.is_open() || !made.Close()) return false;
    const IndexFacts* facts = IndexFactsOf(layout.mark);
    if (facts != nullptr) {
      (void)platform::CopyOwnerAndMode(layout.OriginalFile(facts->header_extension), target);
    }
  }
  return CopyRange(layout.NewFile(file.extension), target, from, file.size);
}

// Overwrites the index from byte `from` to its end with empty entries and
// forces it to disk (the journal then relies on it).
bool EmptyIndexFrom(const std::string& name, int64_t from, uint8_t empty_byte) {
  FileStream index(name, kWriteShared, kCopyBufferSize);
  const int64_t size = index.GetSize();
  if (size < 0) return false;
  if (size <= from) return true;
  const std::string empty(kCopyBufferSize, static_cast<char>(empty_byte));
  index.Seek(from);
  for (int64_t at = from; at < size && index.ok(); at += static_cast<int64_t>(empty.size())) {
    index.Write(empty.data(), static_cast<size_t>(std::min<int64_t>(size - at, empty.size())));
  }
  return index.Sync() && index.Close();
}

// ---------------------------------------------------------------------------
// Squish, JAM and packets

bool PlanFiles(const RebuildLayout& layout, WriteBackJournal* journal) {
  for (std::string_view extension : BaseExtensions(layout.mark)) {
    const std::string fresh = layout.NewFile(extension);
    if (!FileExists(fresh)) continue;
    const int64_t size = SizeOf(fresh);
    if (size < 0) return false;
    const std::string original = layout.OriginalFile(extension);
    if (FileExists(original)) {
      FileStream file(original, kWriteShared);
      if (!file.is_open() || !file.Reserve(size)) return false;
    }
    journal->files.push_back({std::string(extension), size});
  }
  return IndexFactsOf(layout.mark) == nullptr || StartIndexedJournal(layout, journal);
}

bool WriteBackFiles(const RebuildLayout& layout, WriteBackJournal* journal,
                    const SaveJournalFunction& save) {
  const IndexFacts* facts = IndexFactsOf(layout.mark);
  if (facts != nullptr && !RescueAddedMessages(layout, journal, save)) return false;
  // A Squish header steers other writers to the place where they append;
  // it changes only once the index behind the new base's entries is empty.
  const bool header_last = layout.mark == 'S';
  for (const WriteBackJournal::File& file : journal->files) {
    const bool steering = header_last && file.extension == facts->header_extension;
    if (!CopyIntoOriginal(layout, file, steering ? static_cast<int64_t>(facts->header_size) : 0)) {
      return false;
    }
  }
  if (facts != nullptr) {
    const auto entry_size = static_cast<int64_t>(facts->entry_size);
    const int64_t count = SizeOf(layout.NewFile(facts->index_extension)) / entry_size;
    if (count < 0 || !EmptyIndexFrom(layout.OriginalFile(facts->index_extension),
                                     count * entry_size, facts->empty_byte)) {
      return false;
    }
    if (journal->boundary != count || !journal->known.empty()) {
      WriteBackJournal changed = *journal;
      changed.boundary = count;
      changed.known.clear();
      if (!save(changed)) return false;
      *journal = std::move(changed);
    }
    if (header_last && !CopyRange(layout.NewFile(facts->header_extension),
                                  layout.OriginalFile(facts->header_extension), 0,
                                  static_cast<int64_t>(facts->header_size))) {
      return false;
    }
  }
  for (const WriteBackJournal::File& file : journal->files) {
    if (!CutAndSync(layout.OriginalFile(file.extension), file.size)) return false;
  }
  return platform::SyncDirectory(layout.DirectoryOrCurrent());
}

// ---------------------------------------------------------------------------
// Fido directories

int32_t NumberOf(const RebuildLayout& layout, std::string_view name) {
  return FidoMessageNumber(name, Extension(FileName(layout.path)));
}

// The part of a message file's name behind its number (".MSG").
std::string_view NameTail(std::string_view name) {
  size_t dot = name.find('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

using IdentitySet = std::set<std::pair<uint64_t, uint64_t>>;

bool Contains(const IdentitySet& set, const platform::FileIdentity& identity) {
  return set.count({identity.device, identity.inode}) != 0;
}

// Renames message files in the original directory without ever replacing
// one; a file in the way moves to a free number above all others.
class FidoRenamer {
 public:
  FidoRenamer(std::string directory, int64_t next_free)
      : directory_(std::move(directory)), next_free_(next_free) {}

  // Moves the file `name` to the next free number, keeping the rest of its
  // name.
  bool MoveAbove(const std::string& name) {
    for (int tries = 0; tries < kTries; ++tries) {
      std::string free_name = std::to_string(next_free_++) + std::string(NameTail(name));
      int result = platform::RenameNoReplace(directory_ + name, directory_ + free_name);
      if (result == platform::kOk) return true;
      if (result != platform::kFileExists) return false;
    }
    return false;
  }

  // Renames `from` (a full path) to `name`; a file that holds the name
  // already moves above first.
  bool RenameTo(const std::string& from, const std::string& name) {
    int result = platform::RenameNoReplace(from, directory_ + name);
    if (result == platform::kFileExists && MoveAbove(name)) {
      result = platform::RenameNoReplace(from, directory_ + name);
    }
    return result == platform::kOk;
  }

 private:
  static constexpr int kTries = 1000;
  std::string directory_;
  int64_t next_free_;
};

bool PlanFido(const RebuildLayout& layout, const std::vector<ReadMessageFile>& read,
              WriteBackJournal* journal) {
  const std::string directory = AddSeparator(layout.directory);
  std::map<int32_t, std::string> fresh;
  for (const platform::DirEntry& entry : platform::FindFiles(layout.temp, FileName(layout.path))) {
    const int32_t n = NumberOf(layout, entry.name);
    if (!entry.is_directory && n > 0) fresh.emplace(n, entry.name);
  }
  std::map<int32_t, const ReadMessageFile*> originals;
  for (const ReadMessageFile& file : read) {
    const int32_t n = NumberOf(layout, file.name);
    if (n > 0) originals.emplace(n, &file);
  }
  // Files read under a number the new base does not use take the messages
  // whose numbers no file read has.
  std::vector<const ReadMessageFile*> spare;
  for (const auto& [n, file] : originals) {
    if (fresh.count(n) == 0) spare.push_back(file);
  }
  size_t spare_used = 0;
  journal->moves.reserve(journal->moves.size() + fresh.size());
  for (const auto& [n, name] : fresh) {
    WriteBackJournal::Move move;
    move.name = name;
    move.target = name;
    const std::string fresh_path = layout.temp + "/" + name;
    if (!platform::IdentifyFile(fresh_path, &move.new_identity)) return false;
    const ReadMessageFile* vessel = nullptr;
    if (auto same = originals.find(n); same != originals.end()) {
      vessel = same->second;
      move.target = vessel->name;
    } else if (spare_used < spare.size()) {
      vessel = spare[spare_used++];
      move.target = std::to_string(n) + std::string(NameTail(vessel->name));
    }
    platform::FileIdentity now;
    if (vessel != nullptr && platform::IdentifyFile(directory + vessel->name, &now) &&
        now == vessel->identity) {
      FileStream file(directory + vessel->name, kWriteShared);
      if (!file.is_open() || !file.Reserve(SizeOf(fresh_path))) return false;
      move.vessel = vessel->name;
      move.vessel_identity = vessel->identity;
    }
    journal->moves.push_back(std::move(move));
  }
  for (size_t i = spare_used; i < spare.size(); ++i) {
    journal->drops.push_back({spare[i]->name, spare[i]->identity});
  }
  return true;
}

// Puts the new file of `move` in its place: into the original file that
// takes it, or moved in itself when there is none.
bool PlaceFidoFile(const RebuildLayout& layout, const WriteBackJournal::Move& move,
                   const std::string& model, FidoRenamer* renamer) {
  const std::string directory = AddSeparator(layout.directory);
  const std::string target = directory + move.target;
  const std::string fresh = layout.temp + "/" + move.name;
  platform::FileIdentity there;
  const bool taken = platform::IdentifyFile(target, &there);
  if (taken && there == move.new_identity) return true;  // moved in before
  if (!(taken && !move.vessel.empty() && there == move.vessel_identity)) {
    // Another program's file stands in the way.
    if (taken && !renamer->MoveAbove(move.target)) return false;
    platform::FileIdentity at;
    if (!move.vessel.empty() && platform::IdentifyFile(directory + move.vessel, &at) &&
        at == move.vessel_identity) {
      if (!renamer->RenameTo(directory + move.vessel, move.target)) return false;
    } else {
      // No file of the original takes it (any more): the new file moves in.
      if (!platform::IdentifyFile(fresh, &at) || at != move.new_identity) return true;
      if (!renamer->RenameTo(fresh, move.target)) return false;
      if (!model.empty()) (void)platform::CopyOwnerAndMode(model, target);
      return true;
    }
  }
  return CopyWhole(fresh, target);
}

bool WriteBackFido(const RebuildLayout& layout, const WriteBackJournal& journal) {
  const std::string directory = AddSeparator(layout.directory);
  std::set<int32_t> numbers;
  IdentitySet ours;
  int64_t next_free = 1;
  std::string model;
  for (const WriteBackJournal::Move& move : journal.moves) {
    const int32_t n = NumberOf(layout, move.target);
    numbers.insert(n);
    next_free = std::max<int64_t>(next_free, int64_t{n} + 1);
    ours.insert({move.new_identity.device, move.new_identity.inode});
    if (!move.vessel.empty()) {
      ours.insert({move.vessel_identity.device, move.vessel_identity.inode});
      if (model.empty()) model = directory + move.target;
    }
  }
  for (const WriteBackJournal::Drop& drop : journal.drops) {
    ours.insert({drop.identity.device, drop.identity.inode});
  }
  // Files other programs put under a number the new base takes move above.
  const std::vector<platform::DirEntry> listing =
      platform::FindFiles(layout.DirectoryOrCurrent(), FileName(layout.path));
  for (const platform::DirEntry& entry : listing) {
    next_free = std::max<int64_t>(next_free, int64_t{NumberOf(layout, entry.name)} + 1);
  }
  FidoRenamer renamer(directory, next_free);
  for (const platform::DirEntry& entry : listing) {
    platform::FileIdentity identity;
    if (entry.is_directory || numbers.count(NumberOf(layout, entry.name)) == 0 ||
        !platform::IdentifyFile(directory + entry.name, &identity) || Contains(ours, identity)) {
      continue;
    }
    if (!renamer.MoveAbove(entry.name)) return false;
  }
  for (const WriteBackJournal::Move& move : journal.moves) {
    if (!PlaceFidoFile(layout, move, model, &renamer)) return false;
  }
  std::vector<std::string> written;
  for (const WriteBackJournal::Move& move : journal.moves) {
    written.push_back(directory + move.target);
  }
  if (!SyncFiles(written, layout.DirectoryOrCurrent())) return false;
  for (const WriteBackJournal::Drop& drop : journal.drops) {
    platform::FileIdentity identity;
    if (platform::IdentifyFile(directory + drop.name, &identity) && identity == drop.identity &&
        platform::DeleteFile(directory + drop.name) != platform::kOk) {
      return false;
    }
  }
  return platform::SyncDirectory(layout.DirectoryOrCurrent());
}

}  // namespace

bool SyncFiles(const std::vector<std::string>& files, const std::string& directory) {
  if (files.size() > kFilesSyncedOneByOne) return platform::SyncFileSystem(directory);
  bool ok = true;
  for (const std::string& file : files) ok = (!FileExists(file) || SyncFile(file)) && ok;
  return ok;
}

bool PlanWriteBack(const RebuildLayout& layout, const std::vector<ReadMessageFile>& read,
                   WriteBackJournal* journal) {
  *journal = WriteBackJournal();
  journal->mark = layout.mark;
  return layout.mark == 'F' ? PlanFido(layout, read, journal) : PlanFiles(layout, journal);
}

bool RunWriteBack(const RebuildLayout& layout, WriteBackJournal* journal,
                  const SaveJournalFunction& save) {
  if (journal->mark != layout.mark) return false;
  return layout.mark == 'F' ? WriteBackFido(layout, *journal)
                            : WriteBackFiles(layout, journal, save);
}

}  // namespace quil
