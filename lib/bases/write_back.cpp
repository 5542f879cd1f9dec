// Carrying out a write-back: the plan made before the commit point and the
// steps after it, for files (Squish, JAM, packets) and for the message files
// of a Fido directory.
#include "bases/write_back.h"

#include <algorithm>
#include <memory>
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
  // The sizes at the open and what is written since: no other program
  // changes the new base, nor the original's file the write-back owns.
  in.KeepSizeInMemory();
  out.KeepSizeInMemory();
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

// Orders identities, to look them up among many.
bool IdentityBefore(const platform::FileIdentity& a, const platform::FileIdentity& b) {
  return a.device != b.device ? a.device < b.device : a.inode < b.inode;
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

// Makes sure the original's file `name` can be written and has room for
// `size` bytes from its start: a message file mostly has, in the storage
// it holds already, so that only a file growing past it is reserved more.
bool ReadyVessel(const std::string& name, int64_t allocated, int64_t size) {
  if (allocated >= size) return platform::MayWrite(name);
  FileStream file(name, kWriteShared);
  return file.is_open() && file.Reserve(size);
}

// The stage file of the new *.msg base of `layout`, for reading front to
// back.  It is the rebuild's alone: its size is kept in memory.
std::unique_ptr<FileStream> OpenStage(const RebuildLayout& layout) {
  auto stage = std::make_unique<FileStream>(layout.StageFile(), kReadShared, kCopyBufferSize);
  stage->KeepSizeInMemory();
  return stage;
}

// Writes the bytes [offset, offset + size) of the stage file into a new
// file `name` of the new base's directory and forces it to disk.
bool UnstageFile(FileStream& stage, int64_t offset, uint32_t size, const std::string& name) {
  std::string scratch;
  const std::string_view bytes = stage.View(offset, size, &scratch);
  if (!stage.ok()) return false;
  FileStream out(name, platform::kModeCreate | platform::kDenyNone);
  out.Write(bytes.data(), bytes.size());
  return out.ok() && out.Sync() && out.Close();
}

bool PlanFido(const RebuildLayout& layout, const ReadMessageFiles& read, const StagedFiles& staged,
              WriteBackJournal* journal) {
  const std::string directory = AddSeparator(layout.directory);
  const std::string extension = Extension(FileName(layout.path));
  // The new base's message files are staged, following each other in
  // number from staged.first.
  const int64_t staged_end = int64_t{staged.first} + static_cast<int64_t>(staged.sizes.size());
  auto is_staged = [&](int64_t n) {
    return !staged.sizes.empty() && n >= staged.first && n < staged_end;
  };
  // Files read under a number the new base does not use take the messages
  // whose numbers no file read has.
  std::vector<const ReadMessageFiles::File*> spare;
  for (const ReadMessageFiles::File& file : read.files()) {
    if (!is_staged(file.number)) spare.push_back(&file);
  }
  size_t spare_used = 0;
  // Room for every move at once: a million of them are not grown into.
  journal->moves.reserve(journal->moves.size() + staged.sizes.size());
  if (!staged.sizes.empty()) {
    const size_t longest = FidoFileName(static_cast<int32_t>(staged_end - 1), extension).size();
    journal->names.reserve(journal->names.size() + staged.sizes.size() * (longest + 1));
  }
  std::unique_ptr<FileStream> stage;  // opened when a staged file needs it
  bool unstaged = false;
  int64_t offset = 0;
  for (size_t i = 0; i < staged.sizes.size(); ++i) {
    const auto n = static_cast<int32_t>(staged.first + static_cast<int64_t>(i));
    const uint32_t size = staged.sizes[i];
    const std::string name = FidoFileName(n, extension);
    // The original's file that takes message n, and the name it gets.
    std::string target = name;
    const ReadMessageFiles::File* vessel = read.Find(n);
    std::string vessel_name;
    if (vessel != nullptr) {
      vessel_name = read.NameOf(*vessel);
      target = vessel_name;
    } else if (spare_used < spare.size()) {
      vessel = spare[spare_used++];
      vessel_name = read.NameOf(*vessel);
      target = std::to_string(n) + std::string(NameTail(vessel_name));
    }
    platform::FileIdentity now;
    int64_t allocated = 0;
    if (vessel != nullptr &&
        platform::IdentifyFile(directory + vessel_name, &now, nullptr, &allocated) &&
        now == vessel->identity) {
      if (!ReadyVessel(directory + vessel_name, allocated, size)) return false;
      journal->AddPlacement(target, vessel_name, vessel->identity, offset, size);
    } else {
      // No file of the original takes it: it gets a file of its own, which
      // moves in.
      if (!stage) stage = OpenStage(layout);
      const std::string own = layout.temp + "/" + name;
      platform::FileIdentity new_identity;
      if (!UnstageFile(*stage, offset, size, own) || !platform::IdentifyFile(own, &new_identity)) {
        return false;
      }
      unstaged = true;
      journal->AddMove(name, target, {}, {}, new_identity);
    }
    offset += size;
  }
  for (size_t i = spare_used; i < spare.size(); ++i) {
    journal->AddDrop(read.NameOf(*spare[i]), spare[i]->identity);
  }
  return !unstaged || platform::SyncDirectory(layout.temp);
}

// Puts the new file of `move` in its place: into the original file that
// takes it, or moved in itself when there is none.
bool PlaceFidoFile(const RebuildLayout& layout, const WriteBackJournal& journal,
                   const WriteBackJournal::Move& move, const std::string& model,
                   FidoRenamer* renamer) {
  const std::string directory = AddSeparator(layout.directory);
  const std::string move_target(journal.Target(move));
  const std::string vessel(journal.Vessel(move));
  const std::string target = directory + move_target;
  const std::string fresh = layout.temp + "/" + std::string(journal.NewName(move));
  platform::FileIdentity there;
  const bool taken = platform::IdentifyFile(target, &there);
  if (taken && there == move.new_identity) return true;  // moved in before
  if (!(taken && !vessel.empty() && there == move.vessel_identity)) {
    // Another program's file stands in the way.
    if (taken && !renamer->MoveAbove(move_target)) return false;
    platform::FileIdentity at;
    if (!vessel.empty() && platform::IdentifyFile(directory + vessel, &at) &&
        at == move.vessel_identity) {
      if (!renamer->RenameTo(directory + vessel, move_target)) return false;
    } else {
      // No file of the original takes it (any more): the new file moves in.
      if (!platform::IdentifyFile(fresh, &at) || at != move.new_identity) return true;
      if (!renamer->RenameTo(fresh, move_target)) return false;
      if (!model.empty()) (void)platform::CopyOwnerAndMode(model, target);
      return true;
    }
  }
  return CopyWhole(fresh, target);
}

// Makes the file `target` hold exactly the bytes [offset, offset + size)
// of the stage file.
bool CopyStaged(FileStream& stage, int64_t offset, uint32_t size, const std::string& target) {
  std::string scratch;
  const std::string_view bytes = stage.View(offset, size, &scratch);
  if (!stage.ok()) return false;
  FileStream out(target, kWriteShared);
  // Its size at the open and what is written since: the write-back owns
  // the file of the original that takes a message.
  out.KeepSizeInMemory();
  if (!out.is_open()) return false;
  out.Write(bytes.data(), bytes.size());
  if (out.GetSize() != static_cast<int64_t>(size)) out.Truncate();
  return out.Close();
}

enum class Placed { kDone, kFailed, kNoVessel };

// Puts the staged bytes of `move` into the original's file that takes
// them, renamed to the move's target first when it is not yet.  kNoVessel
// when that file is gone: the bytes then need a file of their own.
Placed PlaceStagedFile(const RebuildLayout& layout, const WriteBackJournal& journal,
                       const WriteBackJournal::Move& move, FileStream& stage,
                       FidoRenamer* renamer) {
  const std::string directory = AddSeparator(layout.directory);
  const std::string move_target(journal.Target(move));
  const std::string target = directory + move_target;
  auto copy = [&] {
    return CopyStaged(stage, move.staged_at(), move.staged_size(), target) ? Placed::kDone
                                                                           : Placed::kFailed;
  };
  platform::FileIdentity there;
  const bool taken = platform::IdentifyFile(target, &there);
  if (taken && there == move.vessel_identity) return copy();
  const std::string vessel = directory + std::string(journal.Vessel(move));
  platform::FileIdentity at;
  if (!platform::IdentifyFile(vessel, &at) || at != move.vessel_identity) return Placed::kNoVessel;
  // Another program's file stands in the way.
  if (taken && !renamer->MoveAbove(move_target)) return Placed::kFailed;
  return renamer->RenameTo(vessel, move_target) ? copy() : Placed::kFailed;
}

// Gives the staged bytes of moves[index] a file of their own in the new
// base's directory, under the move's target name, and makes the move one
// of that file; the journal is stored before the file is relied on.
bool UnstageMove(const RebuildLayout& layout, FileStream& stage, size_t index,
                 WriteBackJournal* journal, const SaveJournalFunction& save) {
  WriteBackJournal::Move& move = journal->moves[index];
  const std::string own = layout.temp + "/" + std::string(journal->Target(move));
  platform::FileIdentity identity;
  if (!UnstageFile(stage, move.staged_at(), move.staged_size(), own) ||
      !platform::SyncDirectory(layout.temp) || !platform::IdentifyFile(own, &identity)) {
    return false;
  }
  move.target &= ~WriteBackJournal::kStaged;
  move.vessel = WriteBackJournal::kNoName;
  move.vessel_identity = {};
  move.new_identity = identity;
  return save(*journal);
}

bool WriteBackFido(const RebuildLayout& layout, WriteBackJournal* changing,
                   const SaveJournalFunction& save) {
  const WriteBackJournal& journal = *changing;
  const std::string directory = AddSeparator(layout.directory);
  // The numbers the new base takes, each with its move.
  std::vector<std::pair<int32_t, size_t>> numbers;
  numbers.reserve(journal.moves.size());
  int64_t next_free = 1;
  std::string model;
  for (size_t i = 0; i < journal.moves.size(); ++i) {
    const WriteBackJournal::Move& move = journal.moves[i];
    const int32_t n = NumberOf(layout, journal.Target(move));
    numbers.emplace_back(n, i);
    next_free = std::max<int64_t>(next_free, int64_t{n} + 1);
    if (model.empty() && move.has_vessel()) {
      model = directory + std::string(journal.Target(move));
    }
  }
  std::sort(numbers.begin(), numbers.end());
  // Files other programs put under a number the new base takes move above.
  // A file under the very name a move writes is left to that move, which
  // looks at it anyway (PlaceFidoFile); one under another name of the
  // number is ours when it is one the moves of that number name, and any
  // other is looked for among every file of the journal.
  struct Found {
    platform::FileIdentity identity;
    std::string name;
    size_t order;  // in the listing
  };
  std::vector<Found> strangers;
  platform::ForEachFile(
      layout.DirectoryOrCurrent(), FileName(layout.path), [&](const platform::DirEntry& entry) {
        const int32_t n = NumberOf(layout, entry.name);
        next_free = std::max<int64_t>(next_free, int64_t{n} + 1);
        auto same = std::lower_bound(numbers.begin(), numbers.end(), std::pair<int32_t, size_t>(n, 0));
        if (entry.is_directory || same == numbers.end() || same->first != n) return;
        for (auto move = same; move != numbers.end() && move->first == n; ++move) {
          if (journal.Target(journal.moves[move->second]) == entry.name) return;
        }
        platform::FileIdentity identity;
        if (!platform::IdentifyFile(directory + entry.name, &identity)) return;
        for (; same != numbers.end() && same->first == n; ++same) {
          const WriteBackJournal::Move& move = journal.moves[same->second];
          if ((!move.staged() && identity == move.new_identity) ||
              (move.has_vessel() && identity == move.vessel_identity)) {
            return;
          }
        }
        strangers.push_back({identity, entry.name, strangers.size()});
      });
  FidoRenamer renamer(directory, next_free);
  if (!strangers.empty()) {
    std::sort(strangers.begin(), strangers.end(), [](const Found& a, const Found& b) {
      return IdentityBefore(a.identity, b.identity);
    });
    std::vector<bool> ours(strangers.size(), false);
    auto mark = [&](const platform::FileIdentity& identity) {
      auto at = std::lower_bound(
          strangers.begin(), strangers.end(), identity,
          [](const Found& a, const platform::FileIdentity& b) { return IdentityBefore(a.identity, b); });
      for (; at != strangers.end() && at->identity == identity; ++at) {
        ours[static_cast<size_t>(at - strangers.begin())] = true;
      }
    };
    for (const WriteBackJournal::Move& move : journal.moves) {
      if (!move.staged()) mark(move.new_identity);
      if (move.has_vessel()) mark(move.vessel_identity);
    }
    for (const WriteBackJournal::Drop& drop : journal.drops) mark(drop.identity);
    std::vector<const Found*> others;  // in the order they were listed
    for (size_t i = 0; i < strangers.size(); ++i) {
      if (!ours[i]) others.push_back(&strangers[i]);
    }
    std::sort(others.begin(), others.end(),
              [](const Found* a, const Found* b) { return a->order < b->order; });
    for (const Found* other : others) {
      if (!renamer.MoveAbove(other->name)) return false;
    }
  }
  // The stage is read front to back, as the moves of staged files follow
  // each other in it.
  std::unique_ptr<FileStream> stage;
  for (size_t i = 0; i < journal.moves.size(); ++i) {
    if (journal.moves[i].staged()) {
      if (!stage) stage = OpenStage(layout);
      const Placed placed = PlaceStagedFile(layout, journal, journal.moves[i], *stage, &renamer);
      if (placed == Placed::kFailed) return false;
      if (placed == Placed::kDone) continue;
      if (!UnstageMove(layout, *stage, i, changing, save)) return false;
    }
    if (!PlaceFidoFile(layout, journal, journal.moves[i], model, &renamer)) return false;
  }
  if (!SyncFiles(
          journal.moves.size(),
          [&](size_t i) { return directory + std::string(journal.Target(journal.moves[i])); },
          layout.DirectoryOrCurrent())) {
    return false;
  }
  for (const WriteBackJournal::Drop& drop : journal.drops) {
    const std::string name = directory + std::string(journal.Name(drop.name));
    platform::FileIdentity identity;
    if (platform::IdentifyFile(name, &identity) && identity == drop.identity &&
        platform::DeleteFile(name) != platform::kOk) {
      return false;
    }
  }
  return platform::SyncDirectory(layout.DirectoryOrCurrent());
}

}  // namespace

bool SyncFiles(size_t count, const std::function<std::string(size_t)>& name_of,
               const std::string& directory) {
  if (count > kFilesSyncedOneByOne) return platform::SyncFileSystem(directory);
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    const std::string file = name_of(i);
    ok = (!FileExists(file) || SyncFile(file)) && ok;
  }
  return ok;
}

void ReadMessageFiles::Add(int32_t number, std::string_view name,
                           const platform::FileIdentity& identity) {
  files_.push_back({identity, number});
  if (name != FidoFileName(number, extension_)) other_names_.try_emplace(number, name);
}

const ReadMessageFiles::File* ReadMessageFiles::Find(int32_t number) const {
  auto at = std::lower_bound(files_.begin(), files_.end(), number,
                             [](const File& file, int32_t n) { return file.number < n; });
  return at != files_.end() && at->number == number ? &*at : nullptr;
}

std::string ReadMessageFiles::NameOf(const File& file) const {
  auto other = other_names_.find(file.number);
  return other != other_names_.end() ? other->second : FidoFileName(file.number, extension_);
}

bool PlanWriteBack(const RebuildLayout& layout, const ReadMessageFiles& read,
                   const StagedFiles& staged, WriteBackJournal* journal) {
  *journal = WriteBackJournal();
  journal->mark = layout.mark;
  return layout.mark == 'F' ? PlanFido(layout, read, staged, journal) : PlanFiles(layout, journal);
}

bool RunWriteBack(const RebuildLayout& layout, WriteBackJournal* journal,
                  const SaveJournalFunction& save) {
  if (journal->mark != layout.mark) return false;
  return layout.mark == 'F' ? WriteBackFido(layout, journal, save)
                            : WriteBackFiles(layout, journal, save);
}

}  // namespace quil
