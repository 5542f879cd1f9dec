// The rebuild's locks, its commit point and the recovery of a rebuild that
// was cut short.
#include "bases/base_rebuild.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "bases/base_opener.h"
#include "bases/rebuild_journal.h"
#include "fido/fido_base.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

// The new base's name: the original's with a dot in front and this suffix
// and the kind's letter behind ("dir/.area.quil-sort-s" for the Squish base
// "dir/area"), so bases of other kinds and one name never share it.
constexpr std::string_view kTempSuffix = ".quil-sort-";
constexpr std::string_view kFidoTempDirectory = ".quil-sort-f";
constexpr std::string_view kLockSuffix = ".lock";
constexpr std::string_view kJournalSuffix = ".ready";
constexpr std::string_view kNextJournalSuffix = ".next";
// The journal once the write-back is complete, while the new base goes.
constexpr std::string_view kDoneSuffix = ".done";
constexpr std::string_view kMsgMask = "*.msg";

// Other FidoNet software write-locks this byte of a JAM .jhr or a Squish
// .sqd while it changes the base, and retries while another program holds
// it; tossers give up after about ten seconds, and so does a rebuild.
constexpr int64_t kBaseLockOffset = 0;
constexpr int64_t kBaseLockLength = 1;
constexpr uint32_t kBaseLockWaitMilliseconds = 10000;
constexpr uint32_t kBaseLockRetryMilliseconds = 5;

using Layout = RebuildLayout;

bool MakeLayout(std::string_view spec, Layout* layout) {
  std::string normalised = NormaliseSpec(spec);
  layout->mark = SpecMark(normalised);
  if (layout->mark == 0) return false;
  layout->path = normalised.substr(1);
  layout->directory = DirectoryPart(layout->path);
  if (layout->mark == 'F') {
    layout->temp = AddSeparator(layout->directory) + std::string(kFidoTempDirectory);
    layout->temp_path = layout->temp + "/" + std::string(kMsgMask);
  } else {
    layout->temp = AddSeparator(layout->directory) + "." + FileName(layout->path) +
                   std::string(kTempSuffix) + LowCase(layout->mark);
    layout->temp_path = layout->temp;
  }
  return true;
}

bool Exists(const std::string& path) { return platform::PathExists(path); }

// Calls take(path) for every file of the new base.  A Fido directory's
// files are listed one at a time, never all held.
void ForEachNewFile(const Layout& layout, const std::function<void(const std::string&)>& take) {
  if (layout.mark == 'F') {
    platform::ForEachFile(layout.temp, "*", [&](const platform::DirEntry& entry) {
      if (!entry.is_directory) take(layout.temp + "/" + entry.name);
    });
    return;
  }
  for (std::string_view extension : BaseExtensions(layout.mark)) {
    if (Exists(layout.NewFile(extension))) take(layout.NewFile(extension));
  }
}

// The files of a Squish, JAM or packet new base.
std::vector<std::string> NewFiles(const Layout& layout) {
  std::vector<std::string> files;
  if (layout.mark != 'F') ForEachNewFile(layout, [&files](const std::string& file) {
    files.push_back(file);
  });
  return files;
}

// Removes whatever exists of the new base.  The files of a Fido directory
// go while it is listed; a listing that still found files is repeated, in
// case one was passed over.
void RemoveNewBase(const Layout& layout) {
  constexpr int kListings = 4;
  for (int listing = 0; listing < kListings; ++listing) {
    bool removed = false;
    ForEachNewFile(layout, [&removed](const std::string& file) {
      removed = platform::DeleteFile(file) == platform::kOk || removed;
    });
    if (!removed) break;
  }
  if (layout.mark == 'F') platform::RemoveDirectory(layout.temp);
  platform::SyncDirectory(layout.DirectoryOrCurrent());
}

bool NewBaseExists(const Layout& layout) {
  return layout.mark == 'F' ? platform::DirectoryExists(layout.temp) : !NewFiles(layout).empty();
}

// True when a rebuild of the base left anything behind: its new base, its
// journal, or the marker of a finished write-back.
bool LeftBehind(const Layout& layout) {
  return NewBaseExists(layout) || Exists(layout.Marker(kJournalSuffix)) ||
         Exists(layout.Marker(kDoneSuffix)) || Exists(layout.Marker(kNextJournalSuffix));
}

// Writes the journal under the next name, forces it to disk and puts it in
// place of the old one in one rename.
bool SaveJournal(const Layout& layout, const WriteBackJournal& journal) {
  const std::string next = layout.Marker(kNextJournalSuffix);
  FileStream out(next, platform::kModeCreate | platform::kDenyAll);
  WriteJournal(journal, [&out](std::string_view piece) { out.Write(piece); });
  bool ok = out.ok() && out.Sync() && out.Close();
  return ok && platform::RenameFile(next, layout.Marker(kJournalSuffix)) == platform::kOk &&
         platform::SyncDirectory(layout.DirectoryOrCurrent());
}

// Reads the journal a piece at a time: a journal of a large directory is
// never held as text.
bool LoadJournal(const Layout& layout, WriteBackJournal* journal) {
  constexpr size_t kPieceSize = 65536;
  FileStream in(layout.Marker(kJournalSuffix), platform::kModeRead | platform::kDenyWrite);
  int64_t left = in.GetSize();
  if (left < 0) return false;
  JournalReader reader(journal);
  std::string text;  // what is read and not yet taken: at most a line and a piece
  while (left > 0) {
    const size_t piece = static_cast<size_t>(std::min<int64_t>(left, kPieceSize));
    const size_t had = text.size();
    text.resize(had + piece);
    in.Read(text.data() + had, piece);
    if (!in.ok()) return false;
    left -= static_cast<int64_t>(piece);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      if (!reader.Line(std::string_view(text).substr(start, end - start))) return false;
    }
    text.erase(0, start);
  }
  // A last line without its line end is a journal cut short.
  return text.empty() && reader.Finish();
}

// Carries the write-back of `journal` to its end and clears up after it;
// the locks must be held.  Every step can be repeated.
bool CompleteWriteBack(const Layout& layout, WriteBackJournal journal) {
  const std::string directory = layout.DirectoryOrCurrent();
  auto save = [&layout](const WriteBackJournal& changed) { return SaveJournal(layout, changed); };
  const bool written = RunWriteBack(layout, &journal, save);
  journal = WriteBackJournal();  // not needed any more, and large for a big directory
  if (!written ||
      platform::RenameFile(layout.Marker(kJournalSuffix), layout.Marker(kDoneSuffix)) !=
          platform::kOk ||
      !platform::SyncDirectory(directory)) {
    return false;
  }
  RemoveNewBase(layout);
  platform::DeleteFile(layout.Marker(kDoneSuffix));
  return platform::SyncDirectory(directory);
}

// Finishes or rolls back an interrupted rebuild; the locks must be held.
std::string Recover(const Layout& layout, std::string_view spec) {
  const std::string name = "interrupted sort of [" + std::string(spec) + "]";
  if (Exists(layout.Marker(kNextJournalSuffix))) {
    // A journal that was being rewritten: the one in place holds.
    platform::DeleteFile(layout.Marker(kNextJournalSuffix));
  }
  if (Exists(layout.Marker(kJournalSuffix))) {
    WriteBackJournal journal;
    const bool done = LoadJournal(layout, &journal) && CompleteWriteBack(layout, std::move(journal));
    return name + (done ? " completed" : " could not be completed");
  }
  if (Exists(layout.Marker(kDoneSuffix))) {
    RemoveNewBase(layout);
    platform::DeleteFile(layout.Marker(kDoneSuffix));
    return name + " completed";
  }
  if (NewBaseExists(layout)) {
    RemoveNewBase(layout);
    return name + " rolled back, base unchanged";
  }
  return {};
}

// The lock, or null with *error (when given) the file layer's reason.
std::unique_ptr<FileStream> TakeLock(const Layout& layout, int* error = nullptr) {
  CreateDirectories(layout.Marker(kLockSuffix));
  auto lock = std::make_unique<FileStream>(layout.Marker(kLockSuffix),
                                           platform::kModeCreate | platform::kDenyAll);
  if (!lock->is_open()) {
    if (error) *error = lock->error_info();
    return nullptr;
  }
  return lock;
}

void DropLock(const Layout& layout, std::unique_ptr<FileStream>& lock) {
  if (!lock) return;
  platform::DeleteFile(layout.Marker(kLockSuffix));
  lock.reset();
}

// Takes the write lock other programs honour on a Squish or JAM base,
// waiting while another program holds it (or has the file open denying
// writes).  *held stays null for other kinds and for a base that does not
// exist yet.  False when the lock could not be had in time.
bool TakeBaseLock(const Layout& layout, std::unique_ptr<FileStream>* held,
                  std::string* refused = nullptr, std::string* held_elsewhere = nullptr) {
  held->reset();
  const IndexFacts* facts = IndexFactsOf(layout.mark);
  if (facts == nullptr) return true;
  const std::string name = layout.OriginalFile(facts->header_extension);
  if (!FileExists(name)) return true;
  const uint32_t start = platform::TickCount();
  for (;;) {
    auto file = std::make_unique<FileStream>(name, platform::kModeReadWrite | platform::kDenyNone);
    if (file->LockRange(kBaseLockOffset, kBaseLockLength, true)) {
      *held = std::move(file);
      return true;
    }
    // A file that can not be written at all is not worth waiting for.
    if (!file->is_open() && file->error_info() != platform::kSharingViolation) {
      if (refused) *refused = name;
      return false;
    }
    if (platform::TickCount() - start >= kBaseLockWaitMilliseconds) {
      if (held_elsewhere) *held_elsewhere = name;
      return false;
    }
    platform::Sleep(kBaseLockRetryMilliseconds);
  }
}

// The sizes of the original's files, -1 for a missing one.
std::vector<int64_t> OriginalSizes(const Layout& layout) {
  std::vector<int64_t> sizes;
  for (std::string_view extension : BaseExtensions(layout.mark)) {
    FileStream file(layout.OriginalFile(extension), platform::kModeRead | platform::kDenyNone);
    sizes.push_back(file.is_open() ? file.GetSize() : -1);
  }
  return sizes;
}

// The message files of a Fido directory that its base object reads.
ReadMessageFiles ReadFiles(const Layout& layout, MessageBase& original) {
  ReadMessageFiles files(Extension(FileName(layout.path)));
  auto* fido = dynamic_cast<FidoBase*>(&original);
  if (fido == nullptr) return files;
  size_t known = 0;  // room for them all at once: a million are not grown into
  for (int64_t n = fido->NextMessage(1); n <= fido->count(); n = fido->NextMessage(n + 1)) ++known;
  files.Reserve(known);
  for (int64_t n = fido->NextMessage(1); n <= fido->count(); n = fido->NextMessage(n + 1)) {
    const std::string path = fido->MessageFileName(static_cast<int32_t>(n));
    platform::FileIdentity identity;
    if (platform::IdentifyFile(path, &identity)) {
      files.Add(static_cast<int32_t>(n), FileName(path), identity);
    }
  }
  return files;
}

}  // namespace

std::unique_ptr<BaseRebuild> BaseRebuild::Lock(std::string_view spec, std::string* recovered,
                                               Failure* failure, std::string* failed_file) {
  *failure = Failure::kNone;
  Layout layout;
  // A spec of a bare mark names no base (the opener refuses it too).
  if (spec.size() < 2 || !MakeLayout(spec, &layout)) {
    *failure = Failure::kCreate;
    return nullptr;
  }
  // A base that is not there is not made, not even its folder for the lock.
  if (!BaseExists(spec) && !LeftBehind(layout)) {
    *failure = Failure::kMissing;
    return nullptr;
  }
  std::unique_ptr<BaseRebuild> rebuild(new BaseRebuild());
  rebuild->committed_ = true;  // nothing of this run to abandon yet
  int error = platform::kOk;
  rebuild->lock_ = TakeLock(layout, &error);
  if (!rebuild->lock_) {
    *failure = error == platform::kAccessDenied ? Failure::kNoAccess : Failure::kBusy;
    if (failed_file && *failure == Failure::kNoAccess) {
      *failed_file = layout.directory.empty() ? std::string(".") : layout.directory;
    }
    return nullptr;
  }
  rebuild->layout_ = layout;
  std::string refused, held_elsewhere;
  if (!TakeBaseLock(layout, &rebuild->base_lock_, &refused, &held_elsewhere)) {
    *failure = refused.empty() ? Failure::kBusy : Failure::kNoAccess;
    if (failed_file) *failed_file = refused.empty() ? held_elsewhere : refused;
    return nullptr;
  }
  *recovered = Recover(layout, spec);
  if (Exists(layout.Marker(kJournalSuffix))) {
    // An earlier write-back could not be finished: the base is not to be
    // touched until it is.
    *failure = Failure::kReplace;
    return nullptr;
  }
  rebuild->committed_ = false;
  return rebuild;
}

BaseRebuild::~BaseRebuild() {
  if (!committed_) Abandon();
  base_lock_.reset();
  DropLock(layout_, lock_);
}

uint32_t BaseRebuild::original_sharing() const {
  return base_lock_ ? platform::kDenyNone : platform::kDenyWrite;
}

bool BaseRebuild::CreateNewBase(uint32_t sharing, MessageBase& original) {
  RemoveNewBase(layout_);
  new_base_ = ConstructBase(layout_.mark);
  if (!new_base_ || !new_base_->Create(sharing, layout_.temp_path) || !new_base_->is_open() ||
      !new_base_->CopySettingsFrom(original)) {
    new_base_.reset();
    RemoveNewBase(layout_);
    return false;
  }
  if (auto* fido = dynamic_cast<FidoBase*>(new_base_.get())) {
    // A directory's message files are written into one stage file rather
    // than made one by one, and put in place from there.
    constexpr size_t kStageBufferSize = 65536;
    auto stage = std::make_unique<FileStream>(
        layout_.StageFile(), platform::kModeCreate | platform::kDenyAll, kStageBufferSize);
    if (!stage->is_open()) {
      new_base_.reset();
      RemoveNewBase(layout_);
      return false;
    }
    fido->StageNewFiles(std::move(stage));
  }
  read_files_ = ReadFiles(layout_, original);
  // A base this run created had no write lock to take yet; it is taken at
  // the commit, and the base must then be as it was read.
  if (!base_lock_) original_sizes_ = OriginalSizes(layout_);
  return true;
}

bool BaseRebuild::Commit(Failure* failure) {
  *failure = Failure::kNone;
  const Layout& layout = layout_;
  if (!new_base_) {
    *failure = Failure::kCreate;
    return false;
  }
  // Everything of the new base on disk, the original able to take it, then
  // the commit point.
  StagedFiles staged;
  if (auto* fido = dynamic_cast<FidoBase*>(new_base_.get())) {
    staged.first = fido->staged_first();
    staged.sizes = fido->staged_sizes();
  }
  bool ok = new_base_->Close();
  new_base_.reset();
  const std::string temp_home = layout.mark == 'F' ? layout.temp : layout.DirectoryOrCurrent();
  if (ok) {
    // The names of a Fido directory's files are not held: they are counted,
    // and only a few are listed again to be forced to disk one by one.
    std::vector<std::string> files;
    size_t count = 0;
    ForEachNewFile(layout, [&](const std::string& file) {
      if (++count <= kFilesSyncedOneByOne) files.push_back(file);
    });
    ok = SyncFiles(count, [&files](size_t i) { return i < files.size() ? files[i] : std::string(); },
                   temp_home);
  }
  if (ok && layout.mark == 'F') ok = platform::SyncDirectory(layout.temp);
  ok = ok && platform::SyncDirectory(layout.DirectoryOrCurrent());
  if (ok && !base_lock_) {
    ok = TakeBaseLock(layout, &base_lock_) && OriginalSizes(layout) == original_sizes_;
  }
  WriteBackJournal journal;
  ok = ok && PlanWriteBack(layout, read_files_, staged, &journal) && SaveJournal(layout, journal);
  read_files_ = ReadMessageFiles();  // in the journal now
  staged = StagedFiles();
  if (!Exists(layout.Marker(kJournalSuffix))) {
    platform::DeleteFile(layout.Marker(kNextJournalSuffix));
    Abandon();
    *failure = Failure::kWrite;
    return false;
  }
  committed_ = true;
  if (!CompleteWriteBack(layout, std::move(journal))) {
    *failure = Failure::kReplace;
    return false;
  }
  return true;
}

namespace {

// "YYYYMMDD-hhmmss" of the local time.
std::string TimeStamp() {
  const platform::LocalTime now = platform::Now();
  return NumberToTextZeroPadded(4, now.year) + NumberToTextZeroPadded(2, now.month) +
         NumberToTextZeroPadded(2, now.day) + "-" + NumberToTextZeroPadded(2, now.hour) +
         NumberToTextZeroPadded(2, now.minute) + NumberToTextZeroPadded(2, now.second);
}

// Copies the file `from` to a new file `to` and forces it to disk.
bool CopyFile(const std::string& from, const std::string& to) {
  FileStream in(from, platform::kModeRead | platform::kDenyNone);
  const int64_t size = in.GetSize();
  if (!in.ok() || size < 0) return false;
  FileStream out(to, platform::kModeCreate | platform::kDenyAll);
  out.CopyFrom(in, size);
  return in.ok() && out.ok() && out.Sync() && out.Close();
}

}  // namespace

bool BaseRebuild::KeepOriginal(std::string* kept_spec) {
  const auto extensions = BaseExtensions(layout_.mark);
  if (extensions.empty()) return false;
  // A packet keeps its extension behind the new name, so that the copy is
  // a packet by its name too.
  std::string stem = layout_.path;
  std::string packet_extension;
  if (layout_.mark == 'P' && HasExtension(FileName(stem))) {
    packet_extension = "." + Extension(stem);
    stem.resize(stem.size() - packet_extension.size());
  }
  const std::string name = stem + ".damaged-" + TimeStamp();
  std::string kept;
  auto file_of = [&](std::string_view extension) {
    return kept + (layout_.mark == 'P' ? packet_extension : std::string(extension));
  };
  // Two sorts within one second: the second copy gets a number behind.
  for (int attempt = 1; kept.empty(); ++attempt) {
    kept = attempt == 1 ? name : name + "-" + std::to_string(attempt);
    for (std::string_view extension : extensions) {
      if (Exists(file_of(extension))) kept.clear();
    }
  }
  std::vector<std::string> made;
  bool ok = true;
  for (std::string_view extension : extensions) {
    const std::string from = layout_.OriginalFile(extension);
    if (!platform::FileExists(from)) continue;
    made.push_back(file_of(extension));
    if (!CopyFile(from, made.back())) {
      ok = false;
      break;
    }
  }
  ok = ok && platform::SyncDirectory(layout_.DirectoryOrCurrent());
  if (!ok) {
    for (const std::string& file : made) platform::DeleteFile(file);
    return false;
  }
  *kept_spec = std::string(1, LowCase(layout_.mark)) + file_of("");
  return true;
}

void BaseRebuild::Abandon() {
  new_base_.reset();
  if (layout_.mark != 0 && !Exists(layout_.Marker(kJournalSuffix)) &&
      !Exists(layout_.Marker(kDoneSuffix))) {
    RemoveNewBase(layout_);
  }
}

std::string RecoverInterruptedRebuild(std::string_view spec) {
  Layout layout;
  if (spec.size() < 2 || !MakeLayout(spec, &layout)) return {};
  // Nothing to do unless a rebuild left something behind; a lock file
  // alone is left by nothing but a rebuild that is running or was killed.
  if (!LeftBehind(layout)) return {};
  std::unique_ptr<FileStream> lock = TakeLock(layout);
  if (!lock) return {};  // a rebuild is running right now
  std::unique_ptr<FileStream> base_lock;
  std::string line;
  if (TakeBaseLock(layout, &base_lock)) line = Recover(layout, spec);
  base_lock.reset();
  DropLock(layout, lock);
  return line;
}

bool RebuildPending(std::string_view spec) {
  Layout layout;
  if (spec.size() < 2 || !MakeLayout(spec, &layout)) return false;
  return Exists(layout.Marker(kJournalSuffix));
}

}  // namespace quil
