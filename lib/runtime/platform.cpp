// The Linux side of the platform layer: files over descriptors, sharing
// modes kept as open-file-description locks, case-insensitive name lookup,
// directory listings and the clocks.
//
// Division of this file:
//   errors      errno -> Error, in one function
//   names       "\" -> "/", ASCII case folding, mask matching
//   lookup      case-insensitive resolution of existing names, with a small
//               cache of the last directory listing's name hashes
//   sharing     the four lock bytes and the open-time check
//   files       open, read, write, seek, size, truncate, sync, close
//   directories exists, delete, rename, create, sync, search
//   clock       local time and the tick count
#include "runtime/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace quil::platform {
namespace {

static_assert(sizeof(off_t) == 8, "the lock bytes need 64-bit file offsets");

// The largest piece handed to one read() or write() call.
constexpr size_t kMaxIoChunk = size_t{1} << 30;

// ---------------------------------------------------------------------------
// Errors

// What a failing system call was doing; decides what an otherwise
// unspecific errno (EIO and the like) is reported as.
enum class Op { kOpen, kRead, kWrite, kOther };

Error ErrorFromErrno(int err, Op op) {
  switch (err) {
    case ENOENT:
      return kNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EEXIST:
    case ENOTEMPTY:
    case EXDEV:
    case EMLINK:
      return kAccessDenied;
    case EMFILE:
    case ENFILE:
      return kTooManyFiles;
    case EBADF:
      return kBadHandle;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return kDiskFull;
    case EBUSY:
    case ETXTBSY:
      return kSharingViolation;
    case EINVAL:
    case ESPIPE:
    case EOVERFLOW:
      return kInvalid;
    case EIO:
      return op == Op::kRead ? kReadFault : kWriteFault;
    default:
      if (op == Op::kRead) return kReadFault;
      if (op == Op::kWrite) return kWriteFault;
      return kAccessDenied;
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory that holds `path` (trailing separators ignored).
std::string ParentOf(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// An error of a call that named `path`: a missing name is kNotFound when its
// directory exists and kPathNotFound when the directory itself is missing.
Error PathError(int err, Op op, const std::string& path) {
  if (err == ENOENT && !IsDirectory(ParentOf(path))) return kPathNotFound;
  return ErrorFromErrno(err, op);
}

// An error of a call on an open handle.  EBADF on a descriptor that is open
// means the access was not granted (a write to a file opened for reading).
Error HandleError(int err, Op op, Handle handle) {
  if (err == EBADF && ::fcntl(handle, F_GETFD) != -1) return kAccessDenied;
  return ErrorFromErrno(err, op);
}

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}


// ---------------------------------------------------------------------------
// Names

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameFolded(char a, char b) { return AsciiLower(a) == AsciiLower(b); }

// A name the system can take: not empty and without a NUL byte, which would
// silently cut the name short.
bool UsablePath(std::string_view path) {
  return !path.empty() && path.find('\0') == std::string_view::npos;
}

// "*" and "?" glob, letters in either case, with backtracking over the last
// star only (linear in practice, never recursive).
bool GlobMatches(std::string_view mask, std::string_view name) {
  size_t m = 0;
  size_t n = 0;
  size_t star = std::string_view::npos;
  size_t resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (m < mask.size() && (mask[m] == '?' || SameFolded(mask[m], name[n]))) {
      ++m;
      ++n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

// ---------------------------------------------------------------------------
// Lookup

// The directory cache lives for the whole run.  It allocates with malloc so
// that it does not show up as memory the program left allocated in the
// end-of-run report.
template <typename T>
struct UncountedAllocator {
  using value_type = T;
  UncountedAllocator() = default;
  template <typename U>
  UncountedAllocator(const UncountedAllocator<U>&) {}
  T* allocate(size_t n) {
    if (void* p = std::malloc(n * sizeof(T))) return static_cast<T*>(p);
    throw std::bad_alloc();
  }
  void deallocate(T* p, size_t) { std::free(p); }
  friend bool operator==(const UncountedAllocator&, const UncountedAllocator&) { return true; }
};

// A hash of a name with its letters folded to lower case (FNV-1a).
uint32_t FoldedHash(std::string_view name) {
  uint32_t hash = 2166136261u;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(AsciiLower(c));
    hash *= 16777619u;
  }
  return hash;
}

// The folded-name hashes of one directory's entries, sorted.  A miss on an
// exact name in a large directory (a gap in the message numbers of a *.msg
// base) would otherwise read the whole directory again for every number.
// Only hashes are kept, 4 bytes a name, so that a directory of a million
// messages costs a few MiB; a hash that is there is confirmed by reading the
// directory for the names themselves, which is rare: it happens for a name
// that truly differs in letter case, or one time in about 4,000 at a
// million names.  The first miss in a directory reads it for that one name
// and keeps nothing; a second miss in it, unchanged, lists it.
//
// The listing is reused while the directory's identity and modification time
// are unchanged.  Modification times are coarse (clock ticks, or whole
// seconds on some file systems), so a change right after the listing was read
// could keep the old time; a listing is therefore trusted only when the
// directory had been quiet for a few seconds before it was read.
struct DirectoryListing {
  // The directory asked about last.
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
  // The hashes are its trusted listing.
  bool listed = false;
  std::vector<uint32_t, UncountedAllocator<uint32_t>> hashes;
};

constexpr time_t kQuietSeconds = 3;

std::mutex listing_mutex;

DirectoryListing& CachedListing() {
  static DirectoryListing listing;
  return listing;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool IsDotEntry(std::string_view name) { return name == "." || name == ".."; }

bool ReadListing(const std::string& dir, DirectoryListing* listing) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return false;
  struct stat st;
  if (::fstat(::dirfd(stream), &st) != 0) {
    ::closedir(stream);
    return false;
  }
  listing->listed = false;
  listing->hashes.clear();
  while (dirent* entry = ::readdir(stream)) {
    std::string_view name(entry->d_name);
    if (!IsDotEntry(name)) listing->hashes.push_back(FoldedHash(name));
  }
  ::closedir(stream);
  std::sort(listing->hashes.begin(), listing->hashes.end());
  listing->device = st.st_dev;
  listing->inode = st.st_ino;
  listing->modified = st.st_mtim;
  listing->listed = st.st_mtim.tv_sec + kQuietSeconds < now.tv_sec;
  return true;
}

// Reads `dir` for the names that equal `name` apart from letter case: true
// when there is exactly one, which goes to *match.
bool ScanForCaseVariant(const std::string& dir, std::string_view name, std::string* match) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return false;
  int found = 0;
  while (dirent* entry = ::readdir(stream)) {
    std::string_view entry_name(entry->d_name);
    if (IsDotEntry(entry_name) || entry_name.size() != name.size() ||
        !std::equal(name.begin(), name.end(), entry_name.begin(), SameFolded)) {
      continue;
    }
    if (++found > 1) break;
    match->assign(entry_name);
  }
  ::closedir(stream);
  return found == 1;
}

// The one name in `dir` that equals `name` apart from letter case.
bool FindCaseVariant(const std::string& dir, std::string_view name, std::string* match) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  {
    std::lock_guard<std::mutex> lock(listing_mutex);
    DirectoryListing& listing = CachedListing();
    const bool same = listing.device == st.st_dev && listing.inode == st.st_ino &&
                      SameTime(listing.modified, st.st_mtim);
    if (!same || !listing.listed) {
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      const bool quiet = st.st_mtim.tv_sec + kQuietSeconds < now.tv_sec;
      if (!same || !quiet) {
        listing.device = st.st_dev;
        listing.inode = st.st_ino;
        listing.modified = st.st_mtim;
        listing.listed = false;
        listing.hashes.clear();
        return ScanForCaseVariant(dir, name, match);
      }
      if (!ReadListing(dir, &listing)) return false;
    }
    if (!std::binary_search(listing.hashes.begin(), listing.hashes.end(), FoldedHash(name))) {
      return false;
    }
  }
  return ScanForCaseVariant(dir, name, match);
}

bool NameExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Resolves `path` level by level: a level whose exact name exists is kept,
// otherwise its unique case variant is used.  From the first level that has
// neither, the rest is kept as given and *complete is false.
std::string ResolvePrefix(const std::string& path, bool* complete) {
  *complete = true;
  if (path.empty() || NameExists(path)) return path;
  // Usually only the last level differs; start after the deepest leading
  // part that exists exactly.
  size_t pos = 0;
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    if (NameExists(path.substr(0, slash))) {
      pos = slash + 1;
      break;
    }
  }
  if (pos == 0 && path[0] == '/') pos = 1;
  std::string out = path.substr(0, pos);
  while (true) {
    size_t slash = path.find('/', pos);
    size_t end = slash == std::string::npos ? path.size() : slash;
    std::string_view level(path.data() + pos, end - pos);
    size_t start = out.size();
    out.append(level);
    if (*complete && !level.empty() && level != "." && level != ".." && !NameExists(out)) {
      std::string match;
      if (FindCaseVariant(start == 0 ? std::string(".") : out.substr(0, start), level, &match)) {
        out.resize(start);
        out.append(match);
      } else {
        *complete = false;
      }
    }
    if (slash == std::string::npos) break;
    out.push_back('/');
    pos = slash + 1;
  }
  return out;
}

std::string ResolvePrefix(const std::string& path) {
  bool complete;
  return ResolvePrefix(path, &complete);
}

// The path under which a new entry is made: the directory part resolved
// like an existing name, the last level exactly as given.
std::string ResolveForCreate(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return ResolvePrefix(path.substr(0, slash)) + path.substr(slash);
}

// stat of an existing entry: the name as given first, in one call (where
// it is there, the resolution would keep it), else its resolution.
bool StatExisting(const std::string& path, struct stat* st) {
  return ::stat(path.c_str(), st) == 0 || ::stat(ResolvePrefix(path).c_str(), st) == 0;
}

// ---------------------------------------------------------------------------
// Sharing
//
// Every open takes shared (read) locks on the bytes that describe it; a
// newcomer then asks, with a write-lock probe, whether any other open holds
// one of the bytes that would conflict with it.  Locks of the newcomer's own
// open file description never conflict with the probe.  Two newcomers racing
// each other may both be refused, never both admitted.

constexpr off_t kLockBase = off_t{1} << 62;  // far beyond any real file
enum LockByte : off_t { kHoldsRead = 0, kHoldsWrite = 1, kDeniesRead = 2, kDeniesWrite = 3 };

struct OpenRequest {
  bool create = false;
  bool write = false;
  bool denies_read = false;
  bool denies_write = false;
};

// Splits an open-mode code.  The read codes carry 0x40 (deny none) in their
// low byte, so a sharing mode OR-ed onto them shows up as 0x50, 0x60, 0x70:
// the bits 0x30 decide, and without them nothing is denied.
bool DecodeMode(uint32_t mode, OpenRequest* request) {
  if (mode > 0xFFFF) return false;
  uint32_t function = mode >> 8;
  uint32_t access = mode & 0x07;
  if (function == 0x3C) {
    request->create = true;
    request->write = true;
  } else if (function == 0x3D && (access == 0 || access == 2)) {
    request->write = access == 2;
  } else {
    return false;
  }
  switch (mode & 0x30) {
    case kDenyAll:
      request->denies_read = request->denies_write = true;
      break;
    case kDenyWrite:
      request->denies_write = true;
      break;
    case kDenyRead:
      request->denies_read = true;
      break;
    default:
      break;
  }
  return true;
}

// File systems without lock support (some network mounts) can not keep the
// bookkeeping; files there are opened without sharing checks rather than not
// at all.
bool LocksUnsupported(int err) {
  return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS;
}

// Runs `command` (F_OFD_SETLK with a read lock, or F_OFD_GETLK with a
// write-lock probe) over each run of neighbouring bytes of `bytes` (a mask
// of LockBytes): one call per run instead of one per byte, as a lock on a
// range is a lock on each of its bytes.  The probe's answer is in *conflict.
int LockRuns(int fd, int command, short type, unsigned bytes, bool* conflict) {
  flock lock;
  for (int first = 0; first < 4; ++first) {
    if ((bytes & (1u << first)) == 0) continue;
    int last = first;
    while (last + 1 < 4 && (bytes & (1u << (last + 1))) != 0) ++last;
    lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kLockBase + first;
    lock.l_len = last - first + 1;
    int result;
    do {
      result = ::fcntl(fd, command, &lock);
    } while (result == -1 && errno == EINTR);
    if (result == -1) return -1;
    if (command == F_OFD_GETLK && lock.l_type != F_UNLCK) *conflict = true;
    first = last;
  }
  return 0;
}

// Marks the open on `fd` and checks it against every other open of the file.
int CheckSharing(int fd, const OpenRequest& request) {
  unsigned marks = 1u << kHoldsRead;
  unsigned probes = 1u << kDeniesRead;
  if (request.write) {
    marks |= 1u << kHoldsWrite;
    probes |= 1u << kDeniesWrite;
  }
  if (request.denies_read) {
    marks |= 1u << kDeniesRead;
    probes |= 1u << kHoldsRead;
  }
  if (request.denies_write) {
    marks |= 1u << kDeniesWrite;
    probes |= 1u << kHoldsWrite;
  }
  bool conflict = false;
  if (LockRuns(fd, F_OFD_SETLK, F_RDLCK, marks, &conflict) == -1 ||
      LockRuns(fd, F_OFD_GETLK, F_WRLCK, probes, &conflict) == -1) {
    return LocksUnsupported(errno) ? kOk : ErrorFromErrno(errno, Op::kOpen);
  }
  return conflict ? kSharingViolation : kOk;
}

// ---------------------------------------------------------------------------
// Write-fault hook

int64_t fault_countdown = -1;
int fault_error = kWriteFault;

// The kill switch of the fault-injection tests: the number of file-system
// changes still allowed, or -1 when the switch is off.
int64_t ReadKillSwitch() {
  const char* value = std::getenv("QUIL_TEST_KILL_AFTER_WRITES");
  if (value == nullptr || *value == '\0') return -1;
  char* end = nullptr;
  long long n = std::strtoll(value, &end, 10);
  return (end && *end == '\0' && n >= 0) ? n : -1;
}

// Called before every change to the file system.
void CountChange() {
  static int64_t remaining = ReadKillSwitch();
  if (remaining < 0) return;
  if (remaining == 0) ::kill(::getpid(), SIGKILL);
  --remaining;
}

}  // namespace

// ---------------------------------------------------------------------------
// Files

Handle OpenFile(std::string_view path, uint32_t mode, int* error, int64_t* size) {
  OpenRequest request;
  if (!UsablePath(path) || !DecodeMode(mode, &request)) {
    SetError(error, kInvalid);
    return kNoHandle;
  }
  std::string target = SystemPath(path);
  if (request.create) CountChange();
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
  // On a regular file the flag changes nothing, so it is left there.
  int flags = (request.write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (request.create) flags |= O_CREAT;  // no O_TRUNC: sharing is checked first
  auto open_target = [&target, flags]() {
    int fd;
    do {
      fd = ::open(target.c_str(), flags, 0666);
    } while (fd == -1 && errno == EINTR);
    return fd;
  };
  // The name as given first; only when it is not there are names in other
  // letter case looked for (for a create, those of the directories).
  int fd = open_target();
  if (fd == -1 && (errno == ENOENT || errno == ENOTDIR)) {
    const int first_error = errno;
    std::string resolved = request.create ? ResolveForCreate(target) : ResolvePrefix(target);
    if (resolved != target) {
      target = std::move(resolved);
      fd = open_target();
    } else {
      errno = first_error;
    }
  }
  if (fd == -1) {
    SetError(error, PathError(errno, Op::kOpen, target));
    return kNoHandle;
  }
  int result = kOk;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    result = ErrorFromErrno(errno, Op::kOpen);
  } else if (!S_ISREG(st.st_mode)) {
    result = kAccessDenied;  // a directory, device or FIFO is not a file here
  } else {
    result = CheckSharing(fd, request);
  }
  if (result == kOk && request.create && st.st_size != 0) {
    int cut;
    do {
      cut = ::ftruncate(fd, 0);
    } while (cut == -1 && errno == EINTR);
    if (cut == -1) result = ErrorFromErrno(errno, Op::kWrite);
    st.st_size = 0;
  }
  if (result != kOk) {
    ::close(fd);
    SetError(error, result);
    return kNoHandle;
  }
  if (size != nullptr) *size = static_cast<int64_t>(st.st_size);
  SetError(error, kOk);
  return fd;
}

int CloseFile(Handle handle) {
  if (handle < 0) return kBadHandle;
  // Linux releases the descriptor even when close() is interrupted, so
  // EINTR is not retried (a retry could close another file's descriptor).
  if (::close(handle) == -1 && errno != EINTR) return ErrorFromErrno(errno, Op::kWrite);
  return kOk;
}

namespace {

// Reads up to `count` bytes, fewer only at the end of the file: at
// `offset` when `positional`, else at the file's position (which moves
// behind them).
int64_t ReadAll(Handle handle, bool positional, int64_t offset, void* dest, size_t count,
                int* error) {
  if (handle < 0) {
    SetError(error, kBadHandle);
    return -1;
  }
  if ((count > 0 && dest == nullptr) || (positional && offset < 0)) {
    SetError(error, kInvalid);
    return -1;
  }
  auto* out = static_cast<uint8_t*>(dest);
  size_t done = 0;
  while (done < count) {
    const size_t piece = std::min(count - done, kMaxIoChunk);
    ssize_t n = positional ? ::pread(handle, out + done, piece,
                                     static_cast<off_t>(offset + static_cast<int64_t>(done)))
                           : ::read(handle, out + done, piece);
    if (n == -1) {
      if (errno == EINTR) continue;
      SetError(error, HandleError(errno, Op::kRead, handle));
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  SetError(error, kOk);
  return static_cast<int64_t>(done);
}

// Writes all `count` bytes: at `offset` when `positional`, else at the
// file's position (which moves behind them).
bool WriteAll(Handle handle, bool positional, int64_t offset, const void* src, size_t count,
              int* error) {
  CountChange();
  if (fault_countdown == 0) {
    SetError(error, fault_error);
    return false;
  }
  if (handle < 0) {
    SetError(error, kBadHandle);
    return false;
  }
  if ((count > 0 && src == nullptr) || (positional && offset < 0)) {
    SetError(error, kInvalid);
    return false;
  }
  auto* in = static_cast<const uint8_t*>(src);
  size_t done = 0;
  while (done < count) {
    const size_t piece = std::min(count - done, kMaxIoChunk);
    ssize_t n = positional ? ::pwrite(handle, in + done, piece,
                                      static_cast<off_t>(offset + static_cast<int64_t>(done)))
                           : ::write(handle, in + done, piece);
    if (n == -1) {
      if (errno == EINTR) continue;
      SetError(error, HandleError(errno, Op::kWrite, handle));
      return false;
    }
    if (n == 0) {  // no progress and no reason given: treat as a full disk
      SetError(error, kDiskFull);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fault_countdown > 0) --fault_countdown;
  SetError(error, kOk);
  return true;
}

}  // namespace

int64_t ReadFile(Handle handle, void* dest, size_t count, int* error) {
  return ReadAll(handle, false, 0, dest, count, error);
}

bool WriteFile(Handle handle, const void* src, size_t count, int* error) {
  return WriteAll(handle, false, 0, src, count, error);
}

int64_t ReadFileAt(Handle handle, int64_t offset, void* dest, size_t count, int* error) {
  return ReadAll(handle, true, offset, dest, count, error);
}

bool WriteFileAt(Handle handle, int64_t offset, const void* src, size_t count, int* error) {
  return WriteAll(handle, true, offset, src, count, error);
}

bool SeekFile(Handle handle, int64_t position, int* error) {
  if (handle < 0) {
    SetError(error, kBadHandle);
    return false;
  }
  if (position < 0) {
    SetError(error, kInvalid);
    return false;
  }
  if (::lseek(handle, static_cast<off_t>(position), SEEK_SET) == -1) {
    SetError(error, HandleError(errno, Op::kOther, handle));
    return false;
  }
  SetError(error, kOk);
  return true;
}

int64_t FileSize(Handle handle, int* error) {
  struct stat st;
  if (handle < 0 || ::fstat(handle, &st) != 0) {
    SetError(error, handle < 0 ? kBadHandle : ErrorFromErrno(errno, Op::kRead));
    return -1;
  }
  SetError(error, kOk);
  return static_cast<int64_t>(st.st_size);
}

int64_t NextData(Handle handle, int64_t offset, int* error) {
  if (handle < 0 || offset < 0) {
    SetError(error, handle < 0 ? kBadHandle : kInvalid);
    return -1;
  }
  const off_t current = ::lseek(handle, 0, SEEK_CUR);
  if (current == -1) {
    SetError(error, HandleError(errno, Op::kOther, handle));
    return -1;
  }
  const off_t data = ::lseek(handle, static_cast<off_t>(offset), SEEK_DATA);
  const int seek_error = data == -1 ? errno : 0;
  if (::lseek(handle, current, SEEK_SET) == -1) {
    SetError(error, HandleError(errno, Op::kOther, handle));
    return -1;
  }
  if (data != -1) {
    SetError(error, kOk);
    return static_cast<int64_t>(data);
  }
  // ENXIO: no data at or after the offset.  EINVAL: the file system keeps
  // no holes apart, so everything is data.
  if (seek_error == ENXIO) return FileSize(handle, error);
  if (seek_error == EINVAL) {
    SetError(error, kOk);
    return offset;
  }
  SetError(error, HandleError(seek_error, Op::kOther, handle));
  return -1;
}

bool TruncateFile(Handle handle, int64_t size, int* error) {
  if (handle < 0 || size < 0) {
    SetError(error, handle < 0 ? kBadHandle : kInvalid);
    return false;
  }
  CountChange();
  int result;
  do {
    result = ::ftruncate(handle, static_cast<off_t>(size));
  } while (result == -1 && errno == EINTR);
  if (result == -1) {
    // ftruncate reports EINVAL for a descriptor not open for writing.
    bool writable = (::fcntl(handle, F_GETFL) & O_ACCMODE) != O_RDONLY;
    SetError(error, errno == EINVAL && !writable ? kAccessDenied : HandleError(errno, Op::kWrite, handle));
    return false;
  }
  SetError(error, kOk);
  return true;
}

bool SyncFile(Handle handle, int* error) {
  if (handle < 0) {
    SetError(error, kBadHandle);
    return false;
  }
  int result;
  do {
    result = ::fsync(handle);
  } while (result == -1 && errno == EINTR);
  if (result == -1) {
    SetError(error, HandleError(errno, Op::kWrite, handle));
    return false;
  }
  SetError(error, kOk);
  return true;
}

bool ReserveSpace(Handle handle, int64_t size, int* error) {
  if (fault_countdown == 0) {
    SetError(error, fault_error);
    return false;
  }
  if (handle < 0 || size < 0) {
    SetError(error, handle < 0 ? kBadHandle : kInvalid);
    return false;
  }
  if (size == 0) {
    SetError(error, kOk);
    return true;
  }
  int result;
  do {
    result = ::fallocate(handle, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
  } while (result == -1 && errno == EINTR);
  if (result == -1 && errno != EOPNOTSUPP && errno != ENOSYS) {
    SetError(error, HandleError(errno, Op::kWrite, handle));
    return false;
  }
  SetError(error, kOk);
  return true;
}

int64_t CopyFileData(Handle from, int64_t from_offset, Handle to, int64_t to_offset, int64_t count,
                     int* error) {
  if (from < 0 || to < 0) {
    SetError(error, kBadHandle);
    return -1;
  }
  if (from_offset < 0 || to_offset < 0 || count < 0) {
    SetError(error, kInvalid);
    return -1;
  }
  constexpr int64_t kPiece = 65536;
  int64_t done = 0;
  while (done < count) {
    CountChange();
    if (fault_countdown == 0) {
      SetError(error, fault_error);
      return -1;
    }
    loff_t in = from_offset + done;
    loff_t out = to_offset + done;
    const ssize_t n = ::copy_file_range(from, &in, to, &out,
                                        static_cast<size_t>(std::min(count - done, kPiece)), 0);
    if (n == -1) {
      if (errno == EINTR) continue;
      // Files on two file systems, or kinds of file the system does not
      // copy itself.
      const bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                               errno == EOPNOTSUPP || errno == EBADF;
      SetError(error,
               unsupported && done == 0 ? kNotSupported : HandleError(errno, Op::kWrite, to));
      return -1;
    }
    if (n == 0) break;  // the source ends here
    done += n;
    if (fault_countdown > 0) --fault_countdown;
  }
  SetError(error, kOk);
  return done;
}

bool LockRange(Handle handle, int64_t offset, int64_t length, bool exclusive, int* error) {
  if (handle < 0 || offset < 0 || length <= 0) {
    SetError(error, handle < 0 ? kBadHandle : kInvalid);
    return false;
  }
  flock lock{};
  lock.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  int result;
  do {
    result = ::fcntl(handle, F_OFD_SETLK, &lock);
  } while (result == -1 && errno == EINTR);
  if (result == -1) {
    int err = errno;
    SetError(error, (err == EAGAIN || err == EACCES) ? kSharingViolation
                                                     : HandleError(err, Op::kOther, handle));
    return false;
  }
  SetError(error, kOk);
  return true;
}

// ---------------------------------------------------------------------------
// Names and directories

std::string SystemPath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::string ResolveExisting(std::string_view path) {
  std::string system_path = SystemPath(path);
  if (!UsablePath(system_path)) return system_path;
  bool complete;
  std::string resolved = ResolvePrefix(system_path, &complete);
  return complete ? resolved : system_path;
}

bool FileExists(std::string_view path) {
  if (!UsablePath(path)) return false;
  struct stat st;
  return StatExisting(SystemPath(path), &st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(std::string_view path) {
  if (!UsablePath(path)) return false;
  return IsDirectory(ResolvePrefix(SystemPath(path)));
}

bool PathExists(std::string_view path) {
  if (!UsablePath(path)) return false;
  struct stat st;
  return StatExisting(SystemPath(path), &st);
}

bool SameFile(std::string_view a, std::string_view b) {
  if (!UsablePath(a) || !UsablePath(b)) return false;
  struct stat first;
  struct stat second;
  return StatExisting(SystemPath(a), &first) && StatExisting(SystemPath(b), &second) &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

int DeleteFile(std::string_view path) {
  if (!UsablePath(path)) return kInvalid;
  CountChange();
  // The name as given first; only when it is not there is it resolved.
  std::string target = SystemPath(path);
  if (::unlink(target.c_str()) == 0) return kOk;
  int error = errno;
  if (error == ENOENT || error == ENOTDIR) {
    std::string resolved = ResolvePrefix(target);
    if (resolved != target) {
      target = std::move(resolved);
      if (::unlink(target.c_str()) == 0) return kOk;
      error = errno;
    }
  }
  return PathError(error, Op::kOther, target);
}

int RenameFile(std::string_view from, std::string_view to) {
  if (!UsablePath(from) || !UsablePath(to)) return kInvalid;
  CountChange();
  std::string source = ResolvePrefix(SystemPath(from));
  // An existing destination is replaced under whatever case it has, so no
  // second file differing only in case is left behind.  Renaming a file to
  // another case of its own name keeps the new case.
  std::string wanted = SystemPath(to);
  bool complete;
  std::string target = ResolvePrefix(wanted, &complete);
  if (!complete || target == source) target = ResolveForCreate(wanted);
  if (::rename(source.c_str(), target.c_str()) == -1) {
    int err = errno;
    if (err == ENOENT && !NameExists(source)) return PathError(err, Op::kOther, source);
    return PathError(err, Op::kOther, target);
  }
  return kOk;
}

int MoveFile(std::string_view from, std::string_view to) {
  if (!UsablePath(from) || !UsablePath(to)) return kInvalid;
  CountChange();
  std::string source = ResolvePrefix(SystemPath(from));
  std::string target = ResolveForCreate(SystemPath(to));
  if (::rename(source.c_str(), target.c_str()) == -1) {
    int err = errno;
    if (err == ENOENT && !NameExists(source)) return PathError(err, Op::kOther, source);
    return PathError(err, Op::kOther, target);
  }
  return kOk;
}

int RenameNoReplace(std::string_view from, std::string_view to) {
  if (!UsablePath(from) || !UsablePath(to)) return kInvalid;
  CountChange();
  std::string source = ResolvePrefix(SystemPath(from));
  std::string target = ResolveForCreate(SystemPath(to));
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return kOk;
  }
  int err = errno;
  if (err == EINVAL) {
    // The file system can not rename without replacing: a second link made
    // where none exists does the same, and the old name goes after it.
    if (::link(source.c_str(), target.c_str()) == 0) {
      return ::unlink(source.c_str()) == 0 ? kOk : PathError(errno, Op::kOther, source);
    }
    err = errno;
  }
  if (err == EEXIST) return kFileExists;
  if (err == ENOENT && !NameExists(source)) return PathError(err, Op::kOther, source);
  return PathError(err, Op::kOther, target);
}

bool IdentifyFile(std::string_view path, FileIdentity* identity, int64_t* size,
                  int64_t* allocated) {
  if (!UsablePath(path)) return false;
  struct stat st;
  if (!StatExisting(SystemPath(path), &st)) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  if (size != nullptr) *size = static_cast<int64_t>(st.st_size);
  // st_blocks counts units of 512 bytes whatever the file system's block.
  constexpr int64_t kBlockUnit = 512;
  if (allocated != nullptr) *allocated = static_cast<int64_t>(st.st_blocks) * kBlockUnit;
  return true;
}

bool MayWrite(std::string_view path) {
  if (!UsablePath(path)) return false;
  const std::string target = SystemPath(path);
  auto may_write = [](const std::string& name) {
    return ::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0;
  };
  return may_write(target) || may_write(ResolvePrefix(target));
}

bool CopyOwnerAndMode(std::string_view model, std::string_view target) {
  if (!UsablePath(model) || !UsablePath(target)) return false;
  struct stat st;
  std::string resolved = ResolvePrefix(SystemPath(target));
  if (::stat(ResolvePrefix(SystemPath(model)).c_str(), &st) != 0) return false;
  // Only a privileged process may give a file away; when that is refused
  // the group alone is tried, and when that is refused too the file keeps
  // this process's owner and group.  The permission bits are set either way.
  if (::chown(resolved.c_str(), st.st_uid, st.st_gid) != 0 &&
      ::chown(resolved.c_str(), static_cast<uid_t>(-1), st.st_gid) != 0) {
    // Nothing more to try: the file is still ours to write.
  }
  return ::chmod(resolved.c_str(), st.st_mode & 07777) == 0;
}

int CreateDirectory(std::string_view path) {
  if (!UsablePath(path)) return kInvalid;
  std::string wanted = SystemPath(path);
  while (wanted.size() > 1 && wanted.back() == '/') wanted.pop_back();
  if (IsDirectory(ResolvePrefix(wanted))) return kOk;
  std::string target = ResolveForCreate(wanted);
  CountChange();
  if (::mkdir(target.c_str(), 0777) == -1) {
    int err = errno;
    if (err == EEXIST && IsDirectory(target)) return kOk;
    return PathError(err, Op::kOther, target);
  }
  return kOk;
}

int RemoveDirectory(std::string_view path) {
  if (!UsablePath(path)) return kInvalid;
  std::string target = ResolvePrefix(SystemPath(path));
  CountChange();
  if (::rmdir(target.c_str()) == -1) return PathError(errno, Op::kOther, target);
  return kOk;
}

bool SyncDirectory(std::string_view path) {
  std::string target = path.empty() ? std::string(".") : ResolvePrefix(SystemPath(path));
  if (target.find('\0') != std::string::npos) return false;
  int fd;
  do {
    fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return false;
  int result;
  do {
    result = ::fsync(fd);
  } while (result == -1 && errno == EINTR);
  // Some file systems can not sync a directory at all; nothing is pending there.
  bool ok = result == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

bool SyncFileSystem(std::string_view path) {
  std::string target = path.empty() ? std::string(".") : ResolvePrefix(SystemPath(path));
  if (target.find('\0') != std::string::npos) return false;
  int fd;
  do {
    fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return false;
  int result;
  do {
    result = ::syncfs(fd);
  } while (result == -1 && errno == EINTR);
  ::close(fd);
  return result == 0;
}

void ForEachFile(std::string_view directory, std::string_view mask,
                 const std::function<void(const DirEntry&)>& take, int* error) {
  std::string dir = directory.empty() ? std::string(".") : ResolvePrefix(SystemPath(directory));
  if (dir.find('\0') != std::string::npos) {
    SetError(error, kInvalid);
    return;
  }
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    SetError(error, PathError(errno, Op::kOpen, dir));
    return;
  }
  SetError(error, kOk);
  DirEntry found;
  while (dirent* entry = ::readdir(stream)) {
    std::string_view name(entry->d_name);
    if (IsDotEntry(name) || !MaskMatches(mask, name)) continue;
    bool is_directory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st;
      is_directory = ::fstatat(::dirfd(stream), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    found.name.assign(name);
    found.is_directory = is_directory;
    take(found);
  }
  ::closedir(stream);
}

std::vector<DirEntry> FindFiles(std::string_view directory, std::string_view mask, int* error) {
  std::vector<DirEntry> found;
  ForEachFile(directory, mask, [&found](const DirEntry& entry) { found.push_back(entry); }, error);
  return found;
}

bool MaskMatches(std::string_view mask, std::string_view name) {
  if (GlobMatches(mask, name)) return true;
  // A mask ending in ".*" also takes names without that part, as DOS masks
  // do: "*.*" lists every name, "README.*" finds "README".
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*") {
    return GlobMatches(mask.substr(0, mask.size() - 2), name);
  }
  return false;
}

// ---------------------------------------------------------------------------
// Clock

namespace {

// What Now() last worked out: the zone it was for (the TZ text, when it is
// short enough to keep) and the second it broke down.  Asked for many
// messages in a row, the zone is read again only when TZ changes, and a
// second is broken down once.
struct LastLocalTime {
  bool zone_known = false;  // tz and had_tz hold what the zone was read for
  bool had_tz = false;
  char tz[128] = {};
  bool valid = false;  // parts hold `second` broken down
  time_t second = 0;
  struct tm parts {};
};

std::mutex last_local_time_mutex;

// True (and the zone read again) when TZ is not what the last call saw, or
// is too long to be kept.
bool ZoneChanged(LastLocalTime& last) {
  const char* tz = std::getenv("TZ");
  const bool keepable = tz == nullptr || std::strlen(tz) < sizeof last.tz;
  if (keepable && last.zone_known && (tz != nullptr) == last.had_tz &&
      (tz == nullptr || std::strcmp(tz, last.tz) == 0)) {
    return false;
  }
  ::tzset();
  last.zone_known = keepable;
  last.had_tz = tz != nullptr;
  if (tz != nullptr && keepable) std::strcpy(last.tz, tz);
  return true;
}

}  // namespace

LocalTime Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  struct tm parts;
  LocalTime result;
  {
    std::lock_guard<std::mutex> lock(last_local_time_mutex);
    static LastLocalTime last;
    const bool zone_changed = ZoneChanged(last);
    if (zone_changed || !last.valid || last.second != seconds) {
      if (::localtime_r(&seconds, &last.parts) == nullptr) {
        last.valid = false;
        return result;
      }
      last.second = seconds;
      last.valid = true;
    }
    parts = last.parts;
  }
  result.year = parts.tm_year + 1900;
  result.month = parts.tm_mon + 1;
  result.day = parts.tm_mday;
  result.hour = parts.tm_hour;
  result.minute = parts.tm_min;
  result.second = std::min(parts.tm_sec, 59);  // a leap second reads as :59
  result.hundredths = static_cast<int>(now.tv_nsec / 10000000);
  return result;
}

uint32_t TickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(std::min<long>(online, 1 << 16)) : 1;
}

void Sleep(uint32_t milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&wait, &wait) == -1 && errno == EINTR) {
  }
}

void InjectWriteFault(int64_t successful_writes, int error) {
  fault_countdown = successful_writes < 0 ? -1 : successful_writes;
  fault_error = error == kOk ? kWriteFault : error;
}

}  // namespace quil::platform
