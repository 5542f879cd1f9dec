#include "runtime/stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quil {

// ---------------------------------------------------------------------------
// Stream: the sticky error status wraps every operation.

void Stream::Fail(int status, int info) {
  if (status_ != kStreamOk) return;
  status_ = status;
  error_info_ = info;
}

void Stream::Read(void* dest, size_t count) {
  if (count == 0) return;
  if (!ok()) {
    std::memset(dest, 0, count);
    return;
  }
  size_t got = DoRead(dest, count);
  if (got < count) {
    std::memset(static_cast<uint8_t*>(dest) + got, 0, count - got);
    Fail(kStreamReadError, 0);
  }
}

void Stream::Write(const void* src, size_t count) {
  if (count == 0 || !ok()) return;
  DoWrite(src, count);
}

void Stream::Seek(int64_t position) {
  if (!ok()) return;
  if (position < 0) {
    Fail(kStreamSeekError, platform::kInvalid);
    return;
  }
  DoSeek(position);
}

int64_t Stream::GetPos() { return ok() ? DoGetPos() : -1; }

int64_t Stream::GetSize() { return ok() ? DoGetSize() : -1; }

void Stream::Truncate() {
  if (ok()) DoTruncate();
}

void Stream::Flush() {
  if (ok()) DoFlush();
}

void Stream::CopyFrom(Stream& source, int64_t count) {
  constexpr size_t kPiece = 16384;
  uint8_t buffer[kPiece];
  while (count > 0 && ok() && source.ok()) {
    size_t n = static_cast<size_t>(std::min<int64_t>(count, kPiece));
    source.Read(buffer, n);
    if (!source.ok()) break;
    Write(buffer, n);
    count -= static_cast<int64_t>(n);
  }
}

// ---------------------------------------------------------------------------
// FileStream

FileStream::FileStream(std::string_view path, uint32_t mode, size_t buffer_size) {
  if (buffer_size == 0) {
    Fail(kStreamInitError, platform::kInvalid);
    return;
  }
  int error = 0;
  handle_ = platform::OpenFile(path, mode, &error, &size_);
  if (handle_ == platform::kNoHandle) {
    Fail(kStreamInitError, error);
    return;
  }
  buffer_.resize(buffer_size);
}

FileStream::~FileStream() { Close(); }

bool FileStream::Close() {
  if (!is_open()) return true;
  bool settled = !dirty_ || Settle();
  int error = platform::CloseFile(handle_);
  handle_ = platform::kNoHandle;
  if (error != platform::kOk) {
    lost_writes_ = true;
    Fail(kStreamWriteError, error);
  }
  return settled && !lost_writes_;
}

bool FileStream::WriteThrough(int64_t offset, const void* src, size_t count) {
  int error = 0;
  if (!platform::WriteFileAt(handle_, offset, src, count, &error)) {
    lost_writes_ = true;
    Fail(kStreamWriteError, error);
    return false;
  }
  size_ = std::max(size_, offset + static_cast<int64_t>(count));
  return true;
}

void FileStream::CopyFrom(FileStream& source, int64_t count) {
  if (count <= 0 || !ok() || !source.ok()) return;
  // Both files as the streams stand: this one's pending bytes written, the
  // source's read-ahead given back.
  if (!Settle() || !source.Settle()) return;
  int error = 0;
  const int64_t copied =
      platform::CopyFileData(source.handle_, source.file_pos_, handle_, file_pos_, count, &error);
  if (copied < 0 && error == platform::kNotSupported) {
    Stream::CopyFrom(source, count);
    return;
  }
  if (copied < 0) {
    lost_writes_ = true;
    Fail(kStreamWriteError, error);
    return;
  }
  source.file_pos_ += copied;
  file_pos_ += copied;
  size_ = std::max(size_, file_pos_);
  if (copied < count) source.Fail(kStreamReadError, 0);
}

bool FileStream::Settle() {
  if (!is_open()) return false;
  if (dirty_) {
    // The buffer holds written bytes from buf_pos_ == 0 up to buf_end_.
    dirty_ = false;
    if (!WriteThrough(file_pos_, buffer_.data(), buf_end_)) {
      buf_pos_ = buf_end_ = 0;
      return false;
    }
  }
  file_pos_ += static_cast<int64_t>(buf_pos_);
  buf_pos_ = buf_end_ = 0;
  return true;
}

size_t FileStream::DoRead(void* dest, size_t count) {
  if (!is_open()) return 0;
  auto* out = static_cast<uint8_t*>(dest);
  size_t done = 0;
  if (dirty_ && !Settle()) return 0;
  while (done < count) {
    if (buf_pos_ < buf_end_) {
      size_t n = std::min(count - done, buf_end_ - buf_pos_);
      std::memcpy(out + done, buffer_.data() + buf_pos_, n);
      buf_pos_ += n;
      done += n;
      continue;
    }
    // The buffer is used up: move past it.
    file_pos_ += static_cast<int64_t>(buf_end_);
    buf_pos_ = buf_end_ = 0;
    int error = 0;
    size_t want = count - done;
    if (want >= buffer_.size()) {
      // A large read goes straight to the caller's memory.
      int64_t got = platform::ReadFileAt(handle_, file_pos_, out + done, want, &error);
      if (got < 0) {
        Fail(kStreamReadError, error);
        return done;
      }
      file_pos_ += got;
      done += static_cast<size_t>(got);
      if (static_cast<size_t>(got) < want) return done;
      continue;
    }
    if (!Fill(file_pos_, want)) return done;
    if (buf_pos_ >= buf_end_) return done;  // the end of the file
  }
  return done;
}

bool FileStream::Fill(int64_t pos, size_t want) {
  // How the last reads went decides where the buffer's bytes come from:
  // behind `pos` when reading goes forward, in front of it when it goes
  // backward (a base read in reverse order), and only about as many as are
  // wanted when it jumps about, where bytes read ahead would be wasted.
  const auto span = static_cast<int64_t>(buffer_.size());
  size_t length = buffer_.size();
  int64_t start = pos;
  if (last_fill_end_ >= 0 && (pos < last_fill_start_ || pos >= last_fill_end_)) {
    if (pos < last_fill_start_ && pos >= last_fill_start_ - span) {
      // Mostly in front, and a little behind: a record read backwards
      // may be read in pieces from its start.
      const int64_t behind = span / 8;
      start = std::max<int64_t>(0, pos + static_cast<int64_t>(want) + behind - span);
      start = std::min(start, pos);
    } else if (pos < last_fill_end_ || pos >= last_fill_end_ + span) {
      constexpr size_t kJumpFill = 4096;
      length = std::min(length, (want + kJumpFill - 1) / kJumpFill * kJumpFill);
    }
  }
  // A file whose size the stream keeps is read up to its end and no
  // further: a read past it would only find that end again.
  if (keep_size_ && !dirty_ && size_ > start) {
    length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), size_ - start));
  }
  int error = 0;
  const int64_t got = platform::ReadFileAt(handle_, start, buffer_.data(), length, &error);
  if (got < 0) {
    file_pos_ = pos;
    buf_pos_ = buf_end_ = 0;
    Fail(kStreamReadError, error);
    return false;
  }
  if (got < pos - start) {
    // The file ends before `pos`: nothing is there, and the buffer must not
    // pass off the old bytes behind the end as the file's.
    file_pos_ = pos;
    buf_pos_ = buf_end_ = 0;
  } else {
    file_pos_ = start;
    buf_pos_ = static_cast<size_t>(pos - start);
    buf_end_ = static_cast<size_t>(got);
  }
  last_fill_start_ = start;
  last_fill_end_ = start + static_cast<int64_t>(length);
  return true;
}

void FileStream::ReadAt(int64_t offset, void* dest, size_t count) {
  if (count == 0) return;
  if (!ok() || offset < 0) {
    std::memset(dest, 0, count);
    if (ok()) Fail(kStreamSeekError, platform::kInvalid);
    return;
  }
  if (!is_open()) {
    std::memset(dest, 0, count);
    Fail(kStreamReadError, platform::kBadHandle);
    return;
  }
  const auto end = offset + static_cast<int64_t>(count);
  if (offset >= file_pos_ && end <= file_pos_ + static_cast<int64_t>(buf_end_)) {
    std::memcpy(dest, buffer_.data() + (offset - file_pos_), count);
    return;
  }
  // Written bytes the range overlaps go to the file first.
  if (dirty_ && offset < file_pos_ + static_cast<int64_t>(buf_end_) && end > file_pos_ &&
      !Settle()) {
    std::memset(dest, 0, count);
    return;
  }
  int error = 0;
  int64_t got = platform::ReadFileAt(handle_, offset, dest, count, &error);
  if (got < 0 || static_cast<size_t>(got) < count) {
    const size_t kept = got < 0 ? 0 : static_cast<size_t>(got);
    std::memset(static_cast<uint8_t*>(dest) + kept, 0, count - kept);
    Fail(kStreamReadError, got < 0 ? error : 0);
  }
}

std::string_view FileStream::View(int64_t offset, size_t count, std::string* scratch) {
  if (!ok() || offset < 0 || !is_open()) {
    if (ok()) Fail(kStreamSeekError, platform::kInvalid);
    return {};
  }
  const auto end = offset + static_cast<int64_t>(count);
  if (dirty_ || count > buffer_.size() || offset < file_pos_ ||
      end > file_pos_ + static_cast<int64_t>(buf_end_)) {
    if (dirty_ && !Settle()) return {};
    if (count > buffer_.size()) {
      scratch->resize(count);
      Seek(offset);
      Read(scratch->data(), count);
      return ok() ? std::string_view(*scratch) : std::string_view();
    }
    if (!Fill(offset, count)) return {};
    if (end > file_pos_ + static_cast<int64_t>(buf_end_)) {
      buf_pos_ = buf_end_;
      Fail(kStreamReadError, 0);
      return {};
    }
  }
  buf_pos_ = static_cast<size_t>(end - file_pos_);
  return std::string_view(reinterpret_cast<const char*>(buffer_.data()) + (offset - file_pos_),
                          count);
}

void FileStream::DoWrite(const void* src, size_t count) {
  if (!is_open()) {
    Fail(kStreamWriteError, platform::kBadHandle);
    return;
  }
  const auto* in = static_cast<const uint8_t*>(src);
  // Read-ahead bytes in the buffer are given back before writing.
  if (!dirty_ && buf_end_ != 0 && !Settle()) return;
  while (count > 0) {
    if (buf_pos_ == 0 && count >= buffer_.size()) {
      // A large write goes straight to the file.
      if (WriteThrough(file_pos_, in, count)) file_pos_ += static_cast<int64_t>(count);
      return;
    }
    size_t n = std::min(count, buffer_.size() - buf_pos_);
    std::memcpy(buffer_.data() + buf_pos_, in, n);
    buf_pos_ += n;
    buf_end_ = std::max(buf_end_, buf_pos_);
    dirty_ = true;
    in += n;
    count -= n;
    if (buf_pos_ == buffer_.size() && !Settle()) return;
  }
}

void FileStream::DoSeek(int64_t position) {
  if (!is_open()) {
    Fail(kStreamSeekError, platform::kBadHandle);
    return;
  }
  // A seek inside read-ahead bytes just moves within the buffer.
  if (!dirty_ && position >= file_pos_ &&
      position <= file_pos_ + static_cast<int64_t>(buf_end_)) {
    buf_pos_ = static_cast<size_t>(position - file_pos_);
    return;
  }
  if (!Settle()) return;
  file_pos_ = position;
}

int64_t FileStream::DoGetPos() { return file_pos_ + static_cast<int64_t>(buf_pos_); }

int64_t FileStream::DoGetSize() {
  if (!is_open()) return -1;
  if (keep_size_) {
    return dirty_ ? std::max(size_, file_pos_ + static_cast<int64_t>(buf_end_)) : size_;
  }
  if (dirty_ && !Settle()) return -1;
  int error = 0;
  int64_t size = platform::FileSize(handle_, &error);
  if (size < 0) {
    Fail(kStreamReadError, error);
  } else {
    size_ = size;
  }
  return size;
}

void FileStream::DoTruncate() {
  if (!Settle()) return;
  int error = 0;
  if (!platform::TruncateFile(handle_, file_pos_, &error)) {
    lost_writes_ = true;
    Fail(kStreamWriteError, error);
    return;
  }
  size_ = file_pos_;
}

void FileStream::DoFlush() {
  if (dirty_) Settle();
}

bool FileStream::LockRange(int64_t offset, int64_t length, bool exclusive) {
  int error = 0;
  return is_open() && platform::LockRange(handle_, offset, length, exclusive, &error);
}

bool FileStream::Reserve(int64_t size) {
  int error = 0;
  return is_open() && platform::ReserveSpace(handle_, size, &error);
}

int64_t FileStream::NextData(int64_t offset) {
  if (!ok() || !is_open()) return -1;
  // Bytes written but not yet in the file would be taken for a hole.
  if (dirty_ && !Settle()) return -1;
  int error = 0;
  int64_t data = platform::NextData(handle_, offset, &error);
  if (data < 0) Fail(kStreamSeekError, error);
  return data;
}

bool FileStream::Sync() {
  if (!ok() || !is_open()) return false;
  if (!Settle()) return false;
  int error = 0;
  if (!platform::SyncFile(handle_, &error)) {
    lost_writes_ = true;
    Fail(kStreamWriteError, error);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// MemoryStream

MemoryStream::MemoryStream(size_t block_size)
    : block_size_(block_size == 0 ? kDefaultBlockSize : block_size) {}

bool MemoryStream::Grow(int64_t end) {
  size_t needed = static_cast<size_t>((end + static_cast<int64_t>(block_size_) - 1) /
                                      static_cast<int64_t>(block_size_));
  if (needed > kMaxBlocks) {
    Fail(kStreamNoMemory, 0);
    return false;
  }
  size_t last_used = static_cast<size_t>(end - static_cast<int64_t>(needed - 1) *
                                                   static_cast<int64_t>(block_size_));
  if (needed < blocks_.size() || (needed == blocks_.size() && last_used <= last_capacity_)) {
    return true;
  }
  // The last block is allocated only as large as it needs to be (a short
  // body costs little), and grows by doubling up to the block size.
  auto allocate = [](size_t n) { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[n]); };
  size_t old_count = blocks_.size();
  std::unique_ptr<uint8_t[]> widened;  // the old last block at its new size
  size_t widened_capacity = 0;
  if (old_count > 0) {
    widened_capacity = needed > old_count
                           ? block_size_
                           : std::min(block_size_, std::max(last_used, 2 * last_capacity_));
    widened = allocate(widened_capacity);
    if (!widened) {
      Fail(kStreamNoMemory, 0);
      return false;
    }
  }
  std::vector<std::unique_ptr<uint8_t[]>> added;
  size_t new_last_capacity = widened_capacity;
  for (size_t i = old_count; i < needed; ++i) {
    size_t capacity = i + 1 < needed ? block_size_ : std::max<size_t>(last_used, kFirstCapacity);
    capacity = std::min(capacity, block_size_);
    std::unique_ptr<uint8_t[]> block = allocate(capacity);
    if (!block) {
      Fail(kStreamNoMemory, 0);
      return false;  // the old blocks stay as they were
    }
    added.push_back(std::move(block));
    new_last_capacity = capacity;
  }
  // The block table grows geometrically, so that a stream written block by
  // block copies its table a logarithmic number of times, not once a block.
  try {
    if (needed > blocks_.capacity()) blocks_.reserve(std::min(kMaxBlocks, std::max(needed, 2 * blocks_.capacity())));
  } catch (const std::bad_alloc&) {
    Fail(kStreamNoMemory, 0);
    return false;
  }
  if (widened) {
    std::memcpy(widened.get(), blocks_.back().get(), last_capacity_);
    blocks_.back() = std::move(widened);
  }
  for (auto& block : added) blocks_.push_back(std::move(block));
  last_capacity_ = new_last_capacity;
  return true;
}

size_t MemoryStream::DoRead(void* dest, size_t count) {
  auto* out = static_cast<uint8_t*>(dest);
  size_t available = position_ < size_ ? static_cast<size_t>(size_ - position_) : 0;
  size_t todo = std::min(count, available);
  size_t done = 0;
  while (done < todo) {
    size_t block = static_cast<size_t>(position_ / static_cast<int64_t>(block_size_));
    size_t offset = static_cast<size_t>(position_ % static_cast<int64_t>(block_size_));
    size_t n = std::min(todo - done, block_size_ - offset);
    std::memcpy(out + done, blocks_[block].get() + offset, n);
    done += n;
    position_ += static_cast<int64_t>(n);
  }
  return done;
}

void MemoryStream::DoWrite(const void* src, size_t count) {
  int64_t end = position_ + static_cast<int64_t>(count);
  if (end == 0) return;
  if (!Grow(end)) return;
  const auto* in = static_cast<const uint8_t*>(src);
  // Bytes between the old end and a position set past it read as zeros.
  if (position_ > size_) {
    int64_t gap_pos = size_;
    while (gap_pos < position_) {
      size_t block = static_cast<size_t>(gap_pos / static_cast<int64_t>(block_size_));
      size_t offset = static_cast<size_t>(gap_pos % static_cast<int64_t>(block_size_));
      size_t n = std::min(static_cast<size_t>(position_ - gap_pos), block_size_ - offset);
      std::memset(blocks_[block].get() + offset, 0, n);
      gap_pos += static_cast<int64_t>(n);
    }
  }
  size_t done = 0;
  while (done < count) {
    size_t block = static_cast<size_t>(position_ / static_cast<int64_t>(block_size_));
    size_t offset = static_cast<size_t>(position_ % static_cast<int64_t>(block_size_));
    size_t n = std::min(count - done, block_size_ - offset);
    std::memcpy(blocks_[block].get() + offset, in + done, n);
    done += n;
    position_ += static_cast<int64_t>(n);
  }
  size_ = std::max(size_, position_);
}

void MemoryStream::DoSeek(int64_t position) { position_ = position; }

void MemoryStream::DoTruncate() {
  if (position_ > size_) {
    // Making a position past the end the end: the gap reads as zeros.
    DoWrite(nullptr, 0);
    return;
  }
  size_ = position_;
  size_t keep = static_cast<size_t>((size_ + static_cast<int64_t>(block_size_) - 1) /
                                    static_cast<int64_t>(block_size_));
  if (keep < blocks_.size()) {
    blocks_.resize(keep);
    last_capacity_ = keep > 0 ? block_size_ : 0;  // blocks before the last are whole
  }
}

void MemoryStream::Empty() {
  Reset();
  position_ = 0;
  size_ = 0;
  if (blocks_.size() > 1) {
    blocks_.resize(1);
    last_capacity_ = block_size_;  // blocks before the last are whole
  }
}

std::string MemoryStream::Contents() const {
  std::string out;
  AppendContents(&out);
  return out;
}

void MemoryStream::AppendContents(std::string* out) const {
  size_t left = static_cast<size_t>(size_);
  // With room for the few lines callers put behind a body.
  constexpr size_t kRoomBehind = 512;
  if (out->capacity() < out->size() + left) out->reserve(out->size() + left + kRoomBehind);
  for (size_t block = 0; left > 0; ++block) {
    size_t n = std::min(left, block_size_);
    out->append(reinterpret_cast<const char*>(blocks_[block].get()), n);
    left -= n;
  }
}

}  // namespace quil
