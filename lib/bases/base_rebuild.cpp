#include "bases/base_rebuild.h"

#include <utility>
#include <vector>

#include "bases/base_opener.h"
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
constexpr std::string_view kReadySuffix = ".ready";
constexpr std::string_view kMovingSuffix = ".moving";
constexpr std::string_view kMsgMask = "*.msg";
// A new base of more files (a large *.msg directory) is forced to disk with
// one call for its whole file system rather than one per file.
constexpr size_t kFilesSyncedOneByOne = 16;

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

const char* const* Extensions(char mark) {
  static const char* const kSquish[] = {".sqd", ".sqi", ".sql", nullptr};
  static const char* const kJam[] = {".jhr", ".jdt", ".jdx", ".jlr", ".jqx", nullptr};
  static const char* const kPacket[] = {"", nullptr};
  static const char* const kNone[] = {nullptr};
  switch (mark) {
    case 'S':
      return kSquish;
    case 'J':
      return kJam;
    case 'P':
      return kPacket;
    default:
      return kNone;
  }
}

std::string DirectoryOrCurrent(const std::string& directory) {
  return directory.empty() ? std::string(".") : directory;
}

// The files of the new base, each with the name it takes in the original's
// place.
std::vector<std::pair<std::string, std::string>> NewFiles(const Layout& layout) {
  std::vector<std::pair<std::string, std::string>> files;
  if (layout.mark == 'F') {
    for (const platform::DirEntry& entry : platform::FindFiles(layout.temp, kMsgMask)) {
      if (entry.is_directory || UpperCase(Extension(entry.name)) != "MSG") continue;
      files.emplace_back(layout.temp + "/" + entry.name,
                         AddSeparator(layout.directory) + entry.name);
    }
    return files;
  }
  for (const char* const* ext = Extensions(layout.mark); *ext; ++ext) {
    files.emplace_back(layout.temp + *ext, layout.path + *ext);
  }
  return files;
}

bool Exists(const std::string& path) {
  return platform::FileExists(path) || platform::DirectoryExists(path);
}

// Forces a file's data to disk.
bool SyncPath(const std::string& path) {
  int error = 0;
  platform::Handle handle = platform::OpenFile(path, platform::kModeRead, &error);
  if (handle == platform::kNoHandle) return false;
  bool ok = platform::SyncFile(handle, &error);
  return platform::CloseFile(handle) == platform::kOk && ok;
}

// Creates an empty marker file and forces it and its directory entry to
// disk.
bool WriteMarker(const Layout& layout, std::string_view suffix) {
  FileStream marker(layout.Marker(suffix), platform::kModeCreate);
  bool ok = marker.ok() && marker.Sync() && marker.Close();
  return ok && platform::SyncDirectory(DirectoryOrCurrent(layout.directory));
}

// Removes whatever exists of the new base.
void RemoveNewBase(const Layout& layout) {
  if (layout.mark == 'F') {
    for (const platform::DirEntry& entry : platform::FindFiles(layout.temp, "*")) {
      if (!entry.is_directory) platform::DeleteFile(layout.temp + "/" + entry.name);
    }
    platform::RemoveDirectory(layout.temp);
  } else {
    for (const char* const* ext = Extensions(layout.mark); *ext; ++ext) {
      platform::DeleteFile(layout.temp + *ext);
    }
  }
  platform::SyncDirectory(DirectoryOrCurrent(layout.directory));
}

bool NewBaseExists(const Layout& layout) {
  if (layout.mark == 'F') return platform::DirectoryExists(layout.temp);
  for (const char* const* ext = Extensions(layout.mark); *ext; ++ext) {
    if (Exists(layout.temp + *ext)) return true;
  }
  return false;
}

// True when a rebuild of the base left anything behind: its new base or a
// marker of the replacement.
bool LeftBehind(const Layout& layout) {
  return NewBaseExists(layout) || Exists(layout.Marker(kReadySuffix)) ||
         Exists(layout.Marker(kMovingSuffix));
}

// The replacement proper, from the commit point on.  Every step can be
// repeated, so a replacement cut short anywhere is finished by running it
// again.
bool Replace(const Layout& layout) {
  std::string directory = DirectoryOrCurrent(layout.directory);
  if (Exists(layout.Marker(kReadySuffix))) {
    EraseBaseAt(layout.mark, layout.path);
    platform::SyncDirectory(directory);
    if (platform::RenameFile(layout.Marker(kReadySuffix), layout.Marker(kMovingSuffix)) !=
            platform::kOk ||
        !platform::SyncDirectory(directory)) {
      return false;
    }
  }
  bool ok = true;
  for (const auto& [from, to] : NewFiles(layout)) {
    if (Exists(from) && platform::MoveFile(from, to) != platform::kOk) ok = false;
  }
  if (!ok || !platform::SyncDirectory(directory)) return false;
  RemoveNewBase(layout);  // what did not move: a Fido base's own lastread file
  platform::DeleteFile(layout.Marker(kMovingSuffix));
  return platform::SyncDirectory(directory);
}

// Finishes or rolls back an interrupted rebuild; the lock must be held.
std::string Recover(const Layout& layout, std::string_view spec) {
  if (Exists(layout.Marker(kMovingSuffix)) || Exists(layout.Marker(kReadySuffix))) {
    return Replace(layout) ? "interrupted sort of [" + std::string(spec) + "] completed"
                           : "interrupted sort of [" + std::string(spec) +
                                 "] could not be completed";
  }
  if (NewBaseExists(layout)) {
    RemoveNewBase(layout);
    return "interrupted sort of [" + std::string(spec) + "] rolled back, base unchanged";
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

}  // namespace

std::unique_ptr<BaseRebuild> BaseRebuild::Lock(std::string_view spec, std::string* recovered,
                                               Failure* failure) {
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
  int error = platform::kOk;
  rebuild->lock_ = TakeLock(layout, &error);
  if (!rebuild->lock_) {
    *failure = error == platform::kAccessDenied ? Failure::kNoAccess : Failure::kBusy;
    return nullptr;
  }
  *recovered = Recover(layout, spec);
  rebuild->layout_ = layout;
  if (Exists(layout.Marker(kReadySuffix)) || Exists(layout.Marker(kMovingSuffix))) {
    // An earlier replacement could not be finished: the base is not to be
    // touched until it is.
    rebuild->committed_ = true;  // nothing of this run to abandon
    *failure = Failure::kReplace;
    return nullptr;
  }
  return rebuild;
}

BaseRebuild::~BaseRebuild() {
  if (!committed_) Abandon();
  DropLock(layout_, lock_);
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
  return true;
}

bool BaseRebuild::Commit(Failure* failure) {
  *failure = Failure::kNone;
  const Layout& layout = layout_;
  if (!new_base_) {
    *failure = Failure::kCreate;
    return false;
  }
  // Everything of the new base on disk, then the commit point.
  bool ok = new_base_->Close();
  new_base_.reset();
  auto files = NewFiles(layout);
  if (files.size() > kFilesSyncedOneByOne) {
    ok = ok && platform::SyncFileSystem(layout.temp);
  } else {
    for (const auto& file : files) ok = ok && SyncPath(file.first);
  }
  if (ok && layout.mark == 'F') ok = platform::SyncDirectory(layout.temp);
  ok = ok && platform::SyncDirectory(DirectoryOrCurrent(layout.directory));
  if (!ok || !WriteMarker(layout, kReadySuffix)) {
    platform::DeleteFile(layout.Marker(kReadySuffix));
    Abandon();
    *failure = Failure::kWrite;
    return false;
  }
  committed_ = true;
  if (!Replace(layout)) {
    *failure = Failure::kReplace;
    return false;
  }
  return true;
}

void BaseRebuild::Abandon() {
  new_base_.reset();
  if (layout_.mark != 0 && !Exists(layout_.Marker(kReadySuffix)) &&
      !Exists(layout_.Marker(kMovingSuffix))) {
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
  std::string line = Recover(layout, spec);
  DropLock(layout, lock);
  return line;
}

bool RebuildPending(std::string_view spec) {
  Layout layout;
  if (spec.size() < 2 || !MakeLayout(spec, &layout)) return false;
  return Exists(layout.Marker(kReadySuffix)) || Exists(layout.Marker(kMovingSuffix));
}

}  // namespace quil
