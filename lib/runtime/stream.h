// Byte streams: a buffered stream over one open file and a stream held in
// memory blocks.
//
// A stream's error status is sticky.  The first operation that fails records
// a status and a detail code; from then on every operation does nothing until
// Reset(): a read fills its whole destination with zero bytes and leaves the
// position, a write stores nothing, a seek does not move.  Callers therefore
// check status() once after a run of operations, and a later success can
// never hide an earlier failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/platform.h"

namespace quil {

// Status values of a stream; 0 is no error.  The detail code that goes with
// a status is the file layer's error code (platform::Error) where there is
// one.
enum StreamStatus : int {
  kStreamOk = 0,
  kStreamInitError = -2,   // the file could not be opened or created
  kStreamReadError = -3,   // read past the end, or the file could not be read
  kStreamWriteError = -4,  // the file could not be written (detail kDiskFull when full)
  kStreamSeekError = -5,   // a bad position, or the file could not be positioned
  kStreamNoMemory = -6,    // a memory block could not be allocated
};

class Stream {
 public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  virtual ~Stream() = default;

  // Copies `count` bytes from the position into `dest` and advances.  When
  // fewer bytes are there, the stream fails; the bytes that were there are
  // delivered and the rest of `dest` is zero-filled.  A failed stream fills
  // all of `dest` with zeros.
  void Read(void* dest, size_t count);

  // Stores `count` bytes at the position and advances.
  void Write(const void* src, size_t count);
  void Write(std::string_view text) { Write(text.data(), text.size()); }

  // Moves the position; a negative position fails the stream.
  void Seek(int64_t position);

  int64_t GetPos();
  int64_t GetSize();

  // Makes the current position the end of the stream.
  void Truncate();

  // Writes pending buffered bytes to the file.
  void Flush();

  // Copies `count` bytes from `source`'s position to this stream's position,
  // in pieces of at most 16384 bytes.  A failure of either stream ends it.
  void CopyFrom(Stream& source, int64_t count);

  // Clears the error status.
  void Reset() {
    status_ = kStreamOk;
    error_info_ = 0;
  }

  int status() const { return status_; }
  int error_info() const { return error_info_; }
  bool ok() const { return status_ == kStreamOk; }

 protected:
  // Records the first failure; later ones do not overwrite it.
  void Fail(int status, int info);

  // The operations proper; called only while the stream is ok.
  // DoRead returns the number of bytes delivered (may be short at the end).
  virtual size_t DoRead(void* dest, size_t count) = 0;
  virtual void DoWrite(const void* src, size_t count) = 0;
  virtual void DoSeek(int64_t position) = 0;
  virtual int64_t DoGetPos() = 0;
  virtual int64_t DoGetSize() = 0;
  virtual void DoTruncate() = 0;
  virtual void DoFlush() {}

 private:
  int status_ = kStreamOk;
  int error_info_ = 0;
};

// A stream over one open file with a read/write buffer.  The position lives
// in the stream: every read and write of the file names its offset (pread,
// pwrite), so a seek costs no system call.  Before a truncate, at close, and
// before a read or a seek outside the buffer, written bytes still in the
// buffer go to the file; a size query settles them too unless the stream
// keeps the size in memory (KeepSizeInMemory).
class FileStream : public Stream {
 public:
  static constexpr size_t kDefaultBufferSize = 4096;

  // Opens `path` with a mode of platform.h (access code OR sharing mode).
  // When the file can not be opened the stream is failed (kStreamInitError,
  // detail = the file layer's error) and has no handle.  A buffer size of 0
  // is a failure of construction as well.
  FileStream(std::string_view path, uint32_t mode, size_t buffer_size = kDefaultBufferSize);
  ~FileStream() override;

  // True while the stream holds an open file.
  bool is_open() const { return handle_ != platform::kNoHandle; }

  // From now on GetSize answers from what the stream knows, the file's size
  // at the open and its own writes and truncates since, without asking the
  // system.  REQUIRES: no other program changes the size of the file while
  // the stream is open (the caller holds what keeps other writers out, or
  // only reads a file it took as it was at the open).
  void KeepSizeInMemory() { keep_size_ = true; }

  // Reads `count` bytes at `offset` into `dest`, exactly those: bytes the
  // buffer holds come from there, others straight from the file, without
  // reading ahead.  The position stays.  Fails (and zero-fills) as Read.
  void ReadAt(int64_t offset, void* dest, size_t count);

  // The `count` bytes at `offset`, as Seek(offset) and Read would give
  // them (the position moves behind them), without copying them where it
  // can: a view of the buffer when they fit in it, else of `scratch`, which
  // they are read into.  The view lasts until the next operation on the
  // stream or on `scratch`.  Empty (the stream failed) when they can not
  // all be read.
  std::string_view View(int64_t offset, size_t count, std::string* scratch);

  // Stream::CopyFrom, done by the file system (platform::CopyFileData)
  // where it can: the bytes do not pass through this process.
  using Stream::CopyFrom;
  void CopyFrom(FileStream& source, int64_t count);

  // Takes a record lock on bytes of the file (platform::LockRange): shared
  // or exclusive, held until the stream is closed.  False, without failing
  // the stream, when another program holds a conflicting lock.
  bool LockRange(int64_t offset, int64_t length, bool exclusive);

  // Reserves disk space for the first `size` bytes of the file
  // (platform::ReserveSpace).  False, without failing the stream, when the
  // space is not there.
  bool Reserve(int64_t size);

  // The position of the first byte at or after `offset` that holds data,
  // not a hole of a sparse file (platform::NextData); the file size when
  // there is none, -1 (the stream failed) on an error.  The position stays.
  int64_t NextData(int64_t offset);

  // Flushes the buffer and forces the file's data to disk.  Returns false
  // (and fails the stream) when either step failed.
  bool Sync();

  // Flushes and closes the file now; the stream has no handle afterwards.
  // Returns false when any write to the file failed since it was opened
  // (also one whose error status was reset since), or the final flush or
  // the close failed.
  bool Close();

  // True when a write to the file has failed since it was opened; unlike
  // the status, Reset does not clear it.
  bool lost_writes() const { return lost_writes_; }

 protected:
  size_t DoRead(void* dest, size_t count) override;
  void DoWrite(const void* src, size_t count) override;
  void DoSeek(int64_t position) override;
  int64_t DoGetPos() override;
  int64_t DoGetSize() override;
  void DoTruncate() override;
  void DoFlush() override;

 private:
  // Writes pending bytes and gives back read-ahead bytes, so that the
  // buffer is empty and file_pos_ is the stream position.
  bool Settle();
  // Writes `count` bytes at `offset` of the file; false (stream failed,
  // writes lost) when that failed.
  bool WriteThrough(int64_t offset, const void* src, size_t count);
  // Reads bytes into the (empty, settled) buffer so that it holds the
  // position `pos` and what follows it, up to `want` bytes as far as the
  // file has them; buf_pos_ is `pos` afterwards.  False (stream failed) on
  // a read error.
  bool Fill(int64_t pos, size_t want);

  platform::Handle handle_ = platform::kNoHandle;
  std::vector<uint8_t> buffer_;
  int64_t file_pos_ = 0;  // file position of buffer_[0]
  size_t buf_pos_ = 0;    // current position inside the buffer
  size_t buf_end_ = 0;    // valid bytes in the buffer (read-ahead or written)
  bool dirty_ = false;    // buffer holds written bytes not yet in the file
  bool lost_writes_ = false;
  int64_t size_ = 0;      // the file's size as far as this stream knows it
  int64_t last_fill_start_ = -1;  // what the last Fill asked the file for
  int64_t last_fill_end_ = -1;
  bool keep_size_ = false;
};

// A stream held in equal-sized memory blocks.  Writing past the last block
// adds as many blocks as the new end needs; truncating frees the blocks
// behind it.  Only the last block is allocated no larger than its contents
// need (growing by doubling), so a record with a short body stays small.
// Reading past the end fails the stream.
class MemoryStream : public Stream {
 public:
  static constexpr size_t kDefaultBlockSize = 8192;
  static constexpr size_t kMaxBlocks = 134217728;

  // A block size of 0 means kDefaultBlockSize.
  explicit MemoryStream(size_t block_size = kDefaultBlockSize);

  size_t block_count() const { return blocks_.size(); }
  size_t block_size() const { return block_size_; }

  // Empties the stream (status reset, position 0) but keeps the storage of
  // its first block for what is written next: a stream filled and emptied
  // again and again allocates once.
  void Empty();

  // The whole contents as one string (for callers that need them in one
  // piece); the position is unchanged.
  std::string Contents() const;
  // Appends the whole contents to `out`; the position is unchanged.
  void AppendContents(std::string* out) const;

 protected:
  size_t DoRead(void* dest, size_t count) override;
  void DoWrite(const void* src, size_t count) override;
  void DoSeek(int64_t position) override;
  int64_t DoGetPos() override { return position_; }
  int64_t DoGetSize() override { return size_; }
  void DoTruncate() override;

 private:
  // Makes room for `end` bytes; false (stream failed) when a block could not
  // be allocated or the block limit would be passed.
  bool Grow(int64_t end);

  // The smallest allocation of a last block.
  static constexpr size_t kFirstCapacity = 256;

  size_t block_size_;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  size_t last_capacity_ = 0;  // bytes allocated for blocks_.back()
  int64_t size_ = 0;
  int64_t position_ = 0;
};

}  // namespace quil
