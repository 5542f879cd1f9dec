// The walk over a packet's messages and the index that keeps its results.
#include "fido/packet_index.h"

#include <algorithm>
#include <cstring>

#include "model/message_base.h"

namespace quil {

namespace {

// From a message's type word to its fixed header.
constexpr int64_t kTypeWordSize = 2;

// Bytes a sparse index reads at a time to walk one block again: about the
// bytes of the block's messages, so that the walk reads little beyond them.
constexpr size_t kBlockScan = size_t{64} << 10;

// Bytes a sparse index asks for at a time to walk one message ahead of a
// reader going front to back, and how far behind them the message's start
// may lie for the bytes to be asked for from there: a walk that asks for
// its message from its start keeps the message in the stream's buffer for
// the reader, which then reads it from there.
constexpr size_t kMessageScan = size_t{4} << 10;
constexpr int64_t kMessageReach = int64_t{32} << 10;

// Walks the messages of a packet of `size` bytes (more than an empty
// packet's 60) from the message that starts at `start`, handing the span of
// each to `found`; stops after `limit` messages or at the end of the packet.
// Each message is a type word, the fixed header, then to name, from name,
// subject and text, each ended by a NUL.  What follows the NUL that ends a
// text decides how the walk goes on:
//   02 00         the next message;
//   nothing, or one byte, or 00 00 at the end of the file: the packet ends;
//   00 00 and more: the terminator, then bytes that are no message; the walk
//                 goes on at the next boundary 00 02 00 behind them, if any;
//   other bytes   the message is damaged (a NUL inside its text, say): it
//                 runs on to the next boundary, so that none of its bytes is
//                 lost, or to the end of the file when there is none.
// The search for the boundary pattern is only this resynchronisation: a
// pattern that stands inside names or a header never splits a message.
// Message 1 starts behind the packet header whatever its type word says; a
// message cut short by the end of the file runs to the end.  A walk from a
// message found by an earlier walk finds what that walk found behind it.
// When `next` is given, *next receives where the message behind the last
// one found starts, or -1 when the packet has no message there.  False on
// a read error.
template <typename Found>
bool WalkMessages(PacketScan& scan, int64_t size, int64_t start, size_t limit, Found&& found,
                  int64_t* next = nullptr) {
  if (next != nullptr) *next = -1;
  size_t walked = 0;
  // A message needs a byte beyond its type word.
  while (start + kTypeWordSize < size) {
    if (walked == limit) {
      if (next != nullptr) *next = start;
      break;
    }
    ++walked;
    int64_t nul = start + kTypeWordSize + static_cast<int64_t>(kPackedHeaderSize) - 1;
    for (size_t k = 0; k < kClosingNuls && nul >= 0 && nul < size; ++k) {
      nul = scan.FindNul(nul + 1);
    }
    if (nul < 0) return false;
    if (nul >= size) {
      found(PacketSpan{start, size});
      break;
    }
    if (nul + 2 >= size) {
      found(PacketSpan{start, nul});
      break;
    }
    const int first = scan.ByteAt(nul + 1);
    const int second = scan.ByteAt(nul + 2);
    if (scan.failed()) return false;
    if (first == kPackedMessageType && second == 0) {
      found(PacketSpan{start, nul});
      start = nul + 1;
      continue;
    }
    const bool terminator = first == 0 && second == 0;
    if (terminator) {
      found(PacketSpan{start, nul});
      if (nul + 3 == size) break;
    }
    const int64_t boundary = scan.FindBoundary(nul + 1);
    if (scan.failed()) return false;
    if (!terminator) found(PacketSpan{start, boundary < 0 ? size : boundary});
    if (boundary < 0) break;
    start = boundary + 1;
  }
  return true;
}

// Walks up to `limit` messages from the one at `start` of the packet as its
// file now is, into *spans (emptied first), reading `capacity` bytes at a
// time.  False on a read error.
bool WalkInto(FileStream& stream, int64_t start, size_t limit, size_t capacity,
              std::vector<PacketSpan>* spans) {
  spans->clear();
  const int64_t size = stream.GetSize();
  bool read = stream.ok();
  if (read) {
    PacketScan scan(stream, size, capacity);
    read = WalkMessages(scan, size, start, limit,
                        [spans](const PacketSpan& span) { spans->push_back(span); });
  }
  stream.Reset();
  return read;
}

}  // namespace

// ---------------------------------------------------------------------------
// PacketScan

PacketScan::PacketScan(FileStream& stream, int64_t size, size_t capacity, int64_t anchor)
    : stream_(stream),
      size_(size),
      capacity_(static_cast<size_t>(std::clamp<int64_t>(size, 1, static_cast<int64_t>(capacity)))),
      anchor_(anchor) {}

int PacketScan::ByteAt(int64_t pos) {
  if (!Hold(pos)) return -1;
  return static_cast<unsigned char>(block_[static_cast<size_t>(pos - block_pos_)]);
}

int64_t PacketScan::FindNul(int64_t pos) {
  while (pos < size_) {
    if (!Hold(pos)) return -1;
    const char* from = block_ + (pos - block_pos_);
    const size_t n = held_ - static_cast<size_t>(pos - block_pos_);
    if (const void* nul = std::memchr(from, 0, n)) {
      return pos + (static_cast<const char*>(nul) - from);
    }
    pos += static_cast<int64_t>(n);
  }
  return size_;
}

// It looks for the 02, which is rare where NULs are everywhere (filler),
// and then at the bytes around it.
int64_t PacketScan::FindBoundary(int64_t pos) {
  int64_t at = pos + 1;
  while (at + 1 < size_) {
    if (!Hold(at)) return -1;
    const char* from = block_ + (at - block_pos_);
    const size_t n = held_ - static_cast<size_t>(at - block_pos_);
    const void* two = std::memchr(from, kPackedMessageType, n);
    if (two == nullptr) {
      at += static_cast<int64_t>(n);
      continue;
    }
    const int64_t p = at + (static_cast<const char*>(two) - from);
    if (p + 1 >= size_) return -1;
    const int before = ByteAt(p - 1);
    const int after = ByteAt(p + 1);
    if (failed_) return -1;
    if (before == 0 && after == 0) return p - 1;
    at = p + 1;
  }
  return -1;
}

bool PacketScan::Hold(int64_t pos) {
  if (failed_ || pos < 0 || pos >= size_) return false;
  if (pos >= block_pos_ && pos < block_pos_ + static_cast<int64_t>(held_)) return true;
  // From the anchor, when it lies a little in front.
  const int64_t from = anchor_ >= 0 && anchor_ <= pos && pos - anchor_ <= kMessageReach ? anchor_
                                                                                        : pos;
  const size_t want = static_cast<size_t>(
      std::min<int64_t>(static_cast<int64_t>(capacity_) + (pos - from), size_ - from));
  pos = from;
  const std::string_view bytes = stream_.View(pos, want, &scratch_);
  block_ = bytes.data();
  if (!stream_.ok() || want == 0 || bytes.size() != want) {
    failed_ = true;
    held_ = 0;
    return false;
  }
  block_pos_ = pos;
  held_ = want;
  return true;
}

// ---------------------------------------------------------------------------
// PacketIndex

void PacketIndex::Clear(bool dense) {
  dense_ = dense;
  count_ = 0;
  spans_.clear();
  block_starts_.clear();
  window_.clear();
  window_block_ = SIZE_MAX;
}

void PacketIndex::Append(const PacketSpan& span) {
  if (!dense_ && count_ % kBlock == 0) {
    block_starts_.push_back(span.start);
    spans_.clear();
  }
  spans_.push_back(span);
  ++count_;
}

bool PacketIndex::Build(FileStream& stream, int64_t size, bool dense) {
  Clear(dense);
  PacketScan scan(stream, size);
  const bool read = WalkMessages(scan, size, static_cast<int64_t>(kPacketHeaderSize),
                                 static_cast<size_t>(kMaxMessageCount),
                                 [this](const PacketSpan& span) { Append(span); });
  stream.Reset();
  if (!read) Clear(dense);
  return read;
}

bool PacketIndex::MakeDense(FileStream& stream) {
  if (dense_ || count_ == 0) {
    dense_ = true;
    return true;
  }
  std::vector<PacketSpan> all;
  all.reserve(count_);
  const bool read = WalkInto(stream, static_cast<int64_t>(kPacketHeaderSize), count_,
                             PacketScan::kWholeFile, &all);
  // The last block is kept as known: the walk must have found its messages.
  const size_t tail = TailFirst();
  if (!read || all.size() != count_ || all[tail].start != spans_.front().start) return false;
  std::copy(spans_.begin(), spans_.end(), all.begin() + static_cast<ptrdiff_t>(tail));
  spans_ = std::move(all);
  block_starts_ = {};
  window_ = {};
  window_block_ = SIZE_MAX;
  dense_ = true;
  return true;
}

bool PacketIndex::WalkNext(FileStream& stream) {
  bool read = window_size_ >= 0 && window_next_ >= 0;
  const size_t walked = window_.size();
  int64_t next = -1;
  if (read) {
    const int64_t size = window_size_;
    PacketScan scan(stream, size, kMessageScan, window_next_);
    read = WalkMessages(
        scan, size, window_next_, 1, [this](const PacketSpan& span) { window_.push_back(span); },
        &next);
  }
  stream.Reset();
  // One message, and one behind it: where the next block starts, behind
  // the block's last.
  const bool last = walked + 1 == kBlock;
  if (!read || window_.size() != walked + 1 || next < 0 ||
      (last && next != block_starts_[window_block_ + 1])) {
    window_.clear();
    window_block_ = SIZE_MAX;
    return false;
  }
  window_next_ = next;
  return true;
}

bool PacketIndex::Find(FileStream& stream, size_t i, PacketSpan* span) {
  if (i >= count_) return false;
  if (dense_) {
    *span = spans_[i];
    return true;
  }
  const size_t tail = TailFirst();
  if (i >= tail) {
    *span = spans_[i - tail];
    return true;
  }
  const size_t block = i / kBlock;
  if (block != window_block_) {
    // Front to back, block after block: walk the next one.  Anything else
    // is a reader that jumps about.
    const bool onward = window_block_ == SIZE_MAX ? block == 0 : block == window_block_ + 1;
    if (!onward && MakeDense(stream)) {
      *span = spans_[i];
      return true;
    }
    window_.clear();
    window_block_ = block;
    window_next_ = block_starts_[block];
    // The size is asked for once a block: the block lies in the file whole.
    window_size_ = stream.GetSize();
    stream.Reset();
  }
  // The block is walked a message at a time, as far as asked, so that the
  // walk stays one message ahead of a reader going front to back.
  while (window_.size() <= i % kBlock) {
    if (!WalkNext(stream)) return false;
  }
  *span = window_[i % kBlock];
  return true;
}

bool PacketIndex::Shrink(FileStream& stream, size_t count) {
  if (count >= count_) return true;
  if (dense_) {
    spans_.resize(count);
    count_ = count;
    return true;
  }
  const size_t tail = TailFirst();
  if (count > tail) {
    spans_.resize(count - tail);
    count_ = count;
    return true;
  }
  // The new last block was walked over before: walk it again from the file,
  // which now ends behind it.
  window_.clear();
  window_block_ = SIZE_MAX;
  if (count == 0) {
    Clear(false);
    return true;
  }
  const size_t block = (count - 1) / kBlock;
  const size_t in_block = count - block * kBlock;
  block_starts_.resize(block + 1);
  if (!WalkInto(stream, block_starts_[block], in_block, kBlockScan, &spans_) ||
      spans_.size() != in_block) {
    Clear(false);
    return false;
  }
  count_ = count;
  return true;
}

}  // namespace quil
