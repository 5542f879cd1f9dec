// Where the messages of a packet lie: the walk over a packet's fields that
// finds them, and the index that keeps what the walk found.
//
// A packet has no index of its own; its messages are found by walking their
// fields.  Keeping a span for every message costs 16 bytes a message, which
// a reader that goes through a large packet once does not need.  The index
// therefore keeps either every span ("dense"), or only where every
// kBlock-th message starts and the spans of the last block ("sparse"): a
// message of another block is found by walking its block again, and a
// reader going front to back walks each block once more, a message at a
// time as it reads them.  A sparse index becomes dense the first time it is
// asked for a block other than the one it walked last or the one behind
// it, so that a reader that jumps about pays for one walk of the file, not
// one a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fido/packet_format.h"
#include "runtime/stream.h"

namespace quil {

// Reads a packet front to back through one block of memory: the bytes,
// NULs and message boundaries a walk asks for.  A read error makes every
// answer "none" and sets failed().
class PacketScan {
 public:
  // Bytes read at a time when walking a whole packet.  Large reads keep a
  // walk over filler (a file with a hole, say) fast.
  static constexpr size_t kWholeFile = size_t{1} << 20;

  // The block is at most `capacity` bytes and no larger than the file.
  // With an `anchor` (a file position), the bytes wanted a little behind it
  // are asked for from the anchor on, the block then also holding those in
  // between: the stream's buffer holds them from the anchor.
  PacketScan(FileStream& stream, int64_t size, size_t capacity = kWholeFile,
             int64_t anchor = -1);

  // The byte at `pos` (below the size), or -1.
  int ByteAt(int64_t pos);
  // The first NUL at or after `pos`; the size when there is none, -1 on a
  // read error.
  int64_t FindNul(int64_t pos);
  // The position of the first boundary 00 02 00 at or after `pos`, or -1.
  int64_t FindBoundary(int64_t pos);

  bool failed() const { return failed_; }

 private:
  // Makes the block hold the byte at `pos`; false on a read error.
  bool Hold(int64_t pos);

  FileStream& stream_;
  const int64_t size_;
  const size_t capacity_;
  const int64_t anchor_;
  // The bytes held: a view of the stream's buffer, or of scratch_.
  const char* block_ = nullptr;
  std::string scratch_;
  int64_t block_pos_ = 0;  // file position of block_[0]
  size_t held_ = 0;        // valid bytes in block_
  bool failed_ = false;
};

class PacketIndex {
 public:
  // Messages a sparse index walks together.
  static constexpr size_t kBlock = 64;

  // Empty, dense or sparse as asked.
  void Clear(bool dense);

  // Walks the whole packet of `size` bytes, keeping every span when `dense`
  // is true; false on a read error (the index is then empty).
  bool Build(FileStream& stream, int64_t size, bool dense);

  // Turns a sparse index dense by walking the packet again; the file must
  // hold every message the index counts.  False on a read error, or when
  // the walk does not find the messages counted (the index stays sparse).
  bool MakeDense(FileStream& stream);

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool dense() const { return dense_; }

  // The last message.  The index must not be empty.
  const PacketSpan& back() const { return spans_.back(); }
  // Moves the end of the last message (when a message appended behind it
  // completes it).
  void SetBackEnd(int64_t end) { spans_.back().end = end; }

  // Counts a message appended behind the last one.
  void Append(const PacketSpan& span);

  // Where message i (from 0, below size()) lies; a sparse index may walk
  // its block.  False on a read error, or when the walk does not find the
  // block the index counts (the file changed under it).
  bool Find(FileStream& stream, size_t i, PacketSpan* span);

  // Forgets the messages from `count` on, after the file has been cut back
  // to the ones before.  False when a sparse index could not walk the block
  // of its new last message again (it then counts no message).
  bool Shrink(FileStream& stream, size_t count);

 private:
  // Index of the first message of the last block.
  size_t TailFirst() const { return count_ == 0 ? 0 : (count_ - 1) / kBlock * kBlock; }
  // Walks the next message of the block window_ holds, from window_next_,
  // into window_; after the block's last message, checks that the message
  // behind it starts where the index says the next block does.  False (the
  // window emptied) on a read error or a packet that is not as the index
  // says.
  bool WalkNext(FileStream& stream);

  bool dense_ = true;
  size_t count_ = 0;
  // Dense: every span.  Sparse: the spans of the last block.
  std::vector<PacketSpan> spans_;
  // Sparse: where message k * kBlock starts, for every block.
  std::vector<int64_t> block_starts_;
  // Sparse: the spans of the block walked last, as far as it was walked,
  // where its next message starts, and the size of the file it lies in.
  std::vector<PacketSpan> window_;
  size_t window_block_ = SIZE_MAX;
  int64_t window_next_ = -1;
  int64_t window_size_ = -1;
};

}  // namespace quil
