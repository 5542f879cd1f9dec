// The thin operating-system layer.  Nothing else in the library calls POSIX:
// files, directories, sharing modes, the clock and process exit all go
// through here, so the rules below are decided in one place.
//
// Paths: "\" and "/" are both accepted; every "\" becomes "/" before a path
// reaches the system.  When a file or directory asked for reading (or for
// reading and writing) does not exist under its exact name, a name in the same
// directory that differs only in letter case is used instead, provided there
// is exactly one (each directory level is matched the same way).  New files
// are created with exactly the name asked for.
//
// Sharing: every open carries an access (read, or read and write) and a
// sharing mode (deny all, deny write, deny read, deny none).  An open fails
// with kSharingViolation when it asks for an access that an existing open of
// the same file denies, or denies an access that an existing open holds.
// This holds between processes and between two opens inside one process.
// The bookkeeping uses open-file-description locks on a few byte offsets far
// beyond any real file size, so they vanish with the descriptor and a killed
// process never leaves a stale lock.  On a file system without lock support
// files open without sharing checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quil::platform {

// Open-mode codes.  One of the three access codes is OR-ed with one sharing
// mode; without a sharing mode the open denies nothing.  The read codes carry
// 0x40 (deny none) already, so an OR-ed mode shows as 0x50, 0x60 or 0x70; the
// bits 0x30 decide (0x10 deny all, 0x20 deny write, 0x30 deny read).
constexpr uint32_t kModeCreate = 0x3C00;     // create or truncate; read and write
constexpr uint32_t kModeRead = 0x3D40;       // existing file, read only
constexpr uint32_t kModeReadWrite = 0x3D42;  // existing file, read and write

constexpr uint32_t kDenyAll = 0x10;
constexpr uint32_t kDenyWrite = 0x20;
constexpr uint32_t kDenyRead = 0x30;
constexpr uint32_t kDenyNone = 0x40;
constexpr uint32_t kSharingMask = 0x70;

// Error codes of the file layer; 0 means success.  errno values are mapped
// to these in one place (platform.cpp).
enum Error : int {
  kOk = 0,
  kNotFound = 2,      // no such file
  kPathNotFound = 3,  // a directory on the way does not exist
  kTooManyFiles = 4,
  kAccessDenied = 5,  // permissions, read-only file system, is a directory
  kBadHandle = 6,
  kReadFault = 100,        // I/O error while reading
  kWriteFault = 101,       // I/O error while writing
  kSharingViolation = 32,  // another open's sharing mode refuses this one
  kDiskFull = 112,         // no space, or the file-size limit was reached
  kInvalid = 87,           // a bad argument (mode, position, empty name)
  kFileExists = 80,        // RenameNoReplace: the target name is taken
  kNotSupported = 50,      // CopyFileData: the file systems can not copy so
};

using Handle = int;
constexpr Handle kNoHandle = -1;

// Opens `path` with the access and sharing of `mode` (see above).
// kModeCreate creates the file or truncates an existing one; the sharing
// check comes first, so a refused create leaves an existing file unchanged.
// A create uses the file name exactly as given (its directory part is found
// in any case), so a file whose name differs only in case is not touched.
// Only regular files open: a directory, FIFO or device gives kAccessDenied.
// Handles are not inherited by programs this process starts.
// Returns the handle, or kNoHandle with *error set (kInvalid for an empty
// path, a path holding a NUL byte or an unknown mode); *size (when given)
// receives the file's size after the open (0 after a create).
Handle OpenFile(std::string_view path, uint32_t mode, int* error, int64_t* size = nullptr);

// Closes the handle and drops its sharing locks.  Returns an error code.
int CloseFile(Handle handle);

// Reads up to `count` bytes at the file position.  Retries interrupted calls
// and loops over partial reads.  Returns the number of bytes read (less than
// `count` only at end of file), or -1 with *error set.
int64_t ReadFile(Handle handle, void* dest, size_t count, int* error);

// Writes all `count` bytes at the file position, looping over partial
// writes.  Returns true, or false with *error set (kDiskFull for a full disk
// or an exceeded file-size limit).
bool WriteFile(Handle handle, const void* src, size_t count, int* error);

// ReadFile and WriteFile at `offset` of the file, leaving the file position
// where it is: one system call where a seek and a read or write would be
// two.  WriteFileAt counts as a change for the test hooks below, as
// WriteFile does.
int64_t ReadFileAt(Handle handle, int64_t offset, void* dest, size_t count, int* error);
bool WriteFileAt(Handle handle, int64_t offset, const void* src, size_t count, int* error);

// Moves the file position.  Positions past the end are allowed.
bool SeekFile(Handle handle, int64_t position, int* error);

// The size of the open file, or -1 with *error set.
int64_t FileSize(Handle handle, int* error);

// The position of the first byte at or after `offset` that holds data, not a
// hole of a sparse file (holes read as zeros); the file size when there is
// none.  Where the file system does not tell, every byte is data (the
// answer is `offset`).  The file position is unchanged.  -1 with *error set
// on failure.
int64_t NextData(Handle handle, int64_t offset, int* error);

// Cuts or extends the file to `size` bytes; the file position is unchanged.
bool TruncateFile(Handle handle, int64_t size, int* error);

// Forces the file's data to disk.
bool SyncFile(Handle handle, int* error);

// Reserves disk space for the first `size` bytes of the file without
// changing its size or contents, so that writing them later can not fail
// for lack of space.  Fails with kDiskFull when the space is not there.  On
// a file system that can not reserve space it does nothing and succeeds.
bool ReserveSpace(Handle handle, int64_t size, int* error);

// Copies `count` bytes at `from_offset` of the open file `from` to
// `to_offset` of the open file `to` inside the system, without passing
// them through this process.  Returns the number of bytes copied, fewer
// than `count` only when `from` ends first; -1 with *error on a failure,
// kNotSupported (before any byte was copied) when the files can not be
// copied so: then they are read and written.  Each piece of 64 KiB counts
// as a write for InjectWriteFault, as a buffered copy's writes would.
int64_t CopyFileData(Handle from, int64_t from_offset, Handle to, int64_t to_offset, int64_t count,
                     int* error);

// Takes an advisory record lock on `length` bytes at `offset` of the open
// file, shared (a read lock) or exclusive (a write lock; the file must be
// open for writing).  It is the kind of lock other programs take with
// fcntl(F_SETLK) and conflicts with theirs, but it belongs to this handle:
// it lasts until the handle is closed and is not dropped when another handle
// of the same file is closed.  Never waits: fails with kSharingViolation
// when another handle or program holds a conflicting lock.
bool LockRange(Handle handle, int64_t offset, int64_t length, bool exclusive, int* error);

// The path as the system sees it: every "\" replaced by "/".
std::string SystemPath(std::string_view path);

// The existing file or directory that `path` names, allowing letter-case
// differences as described above; `path` itself (with "/" separators) when
// it exists as given or when no unique match exists.
std::string ResolveExisting(std::string_view path);

// True when `path` (resolved as above) exists and is not a directory.
bool FileExists(std::string_view path);

// True when `path` (resolved as above) is a directory.
bool DirectoryExists(std::string_view path);

// True when `path` (resolved as above) is a file or a directory: one look,
// where FileExists and then DirectoryExists would search a large directory
// twice for a name that is not there.
bool PathExists(std::string_view path);

// True when `a` and `b` (each resolved as above, symbolic links followed)
// both exist and are one and the same file or directory, however they are
// spelled.
bool SameFile(std::string_view a, std::string_view b);

// Deletes the file.  Returns an error code.
int DeleteFile(std::string_view path);

// Renames `from` to `to`, replacing an existing `to`; an existing `to` is
// found in any case and replaced under its own name, so no second file that
// differs only in case is left behind.  Returns an error code.
int RenameFile(std::string_view from, std::string_view to);

// Renames `from` to exactly `to` (its directory resolved as usual),
// replacing a file of exactly that name but not looking for the name in
// other case.  For moving many files into a directory whose old entries are
// gone: it costs no directory scan.  Returns an error code.
int MoveFile(std::string_view from, std::string_view to);

// Renames `from` to exactly `to` (its directory resolved as usual) only
// when no entry of exactly that name exists; kFileExists when one does.
// Returns an error code.
int RenameNoReplace(std::string_view from, std::string_view to);

// What makes a file the same file under another name: the file system and
// the file's number there.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file `path` names (resolved as above; a symbolic link
// is followed), its size when `size` is given, and the bytes of storage the
// file system gave it when `allocated` is.  False when there is no such
// file.
bool IdentifyFile(std::string_view path, FileIdentity* identity, int64_t* size = nullptr,
                  int64_t* allocated = nullptr);

// True when this process may open the existing file `path` (resolved as
// above) for writing as far as its permissions and its file system go;
// sharing is not looked at.
bool MayWrite(std::string_view path);

// Gives the file `target` the owner, group and permission bits of the file
// `model` (both resolved as above, links followed), as far as this process
// may.  False when either is missing or the permission bits could not be
// set.
bool CopyOwnerAndMode(std::string_view model, std::string_view target);

// Creates one directory level, named exactly as given.  Returns an error
// code (kOk also when it exists already as a directory, in any case).
int CreateDirectory(std::string_view path);

// Removes an empty directory.  Returns an error code.
int RemoveDirectory(std::string_view path);

// Forces a directory's entries (creations, renames, deletions) to disk.
bool SyncDirectory(std::string_view path);

// Forces everything written to the file system that holds `path` to disk:
// one call instead of one per file when many files were written.
bool SyncFileSystem(std::string_view path);

struct DirEntry {
  std::string name;
  bool is_directory = false;
};

// The entries of `directory` (resolved as above; empty means the current
// directory) whose names match `mask` without regard to letter case, in no
// particular order.  "." and ".." are never listed.  A directory that can
// not be read gives no entries, with *error (when given) saying why; kOk
// otherwise.
std::vector<DirEntry> FindFiles(std::string_view directory, std::string_view mask,
                                int* error = nullptr);

// The same entries handed to `take` one at a time, none of them kept: a
// directory of a million files is listed in the memory of one name.
void ForEachFile(std::string_view directory, std::string_view mask,
                 const std::function<void(const DirEntry&)>& take, int* error = nullptr);

// Mask matching as FindFiles does it: "*" matches any run of characters,
// "?" any one character, letters match either case (ASCII).  A mask ending in
// ".*" also matches names without that part, as DOS masks do: "*.*" matches
// every name, with or without a dot, and "README.*" matches "README".
bool MaskMatches(std::string_view mask, std::string_view name);

struct LocalTime {
  int year = 0;  // four digits
  int month = 0;  // 1-12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int hundredths = 0;
};

// The current local date and time (TZ is honoured), with real hundredths.
LocalTime Now();

// Milliseconds of a monotonic clock; wraps at 2^32.
uint32_t TickCount();

// The processors this process may run on (at least 1).
int UsableProcessors();

// Waits `milliseconds` before it returns.
void Sleep(uint32_t milliseconds);

// Test hook: when the environment variable QUIL_TEST_KILL_AFTER_WRITES
// holds a number k, the process kills itself (SIGKILL) just before its
// (k+1)-th change to the file system: a write, truncate, create, rename,
// delete, or directory creation or removal.  Tests use it to cut a program
// short at a chosen point.  Without the variable nothing happens.
//
// Test hook: fail file writes on request.  After `successful_writes` more
// write calls have succeeded, every later WriteFile (and ReserveSpace) fails
// with `error`.
// A negative count turns the fault off.
void InjectWriteFault(int64_t successful_writes, int error);

}  // namespace quil::platform
