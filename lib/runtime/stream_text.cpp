// Lines of message text in streams, and a block search over a stream.
//
// The readers work on chunks rather than single bytes: they learn the size
// once, read a chunk, look for the terminator in memory and then seek to the
// exact byte after what they consumed.  They never read past the end of the
// stream, so reaching the end does not fail it.
#include "runtime/stream_text.h"

#include <algorithm>
#include <cstring>

#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr char kCr = 13;
constexpr char kLf = 10;

// Bytes read at a time by the line readers: one chunk holds a whole kept
// line in the common case.
constexpr size_t kLineChunk = 512;

// Bytes the search looks at per block, besides the pattern's length of
// overlap with the block before.
constexpr size_t kFindBlock = 32768;

bool IsLineEnd(char c) { return c == kCr || c == kLf; }

// The other half of a CR LF or LF CR pair.
char Partner(char c) { return c == kCr ? kLf : kCr; }

// Appends to `line` what still fits of `n` bytes.
void AppendKept(std::string& line, const char* data, size_t n) {
  line.append(data, std::min(n, kMaxString - line.size()));
}

// Reads the byte at `position` (which must lie inside the stream).
char ByteAt(Stream& stream, int64_t position) {
  char c = 0;
  stream.Seek(position);
  stream.Read(&c, 1);
  return c;
}

// What ReadUntil met at its stop.
struct Stop {
  bool found = false;  // a terminator was seen (otherwise the end of the stream)
  int64_t position = 0;  // of the terminator, or the end of the stream
  char terminator = 0;
  int following = -1;  // the byte after the terminator; -1 at the end of the
                       // stream, -2 when it was not read yet
};

// Reads bytes from the position on until a byte for which `is_end` holds,
// keeping at most 255 before it.  Where it stopped is reported in `stop`;
// the stream's position is then unspecified (somewhere behind the stop).
template <typename IsEnd>
std::string ReadUntil(Stream& stream, IsEnd is_end, Stop* stop) {
  std::string line;
  int64_t pos = stream.GetPos();
  int64_t size = stream.GetSize();
  stop->position = pos;
  if (!stream.ok() || pos >= size) return line;
  char chunk[kLineChunk];
  while (pos < size) {
    size_t n = static_cast<size_t>(std::min<int64_t>(kLineChunk, size - pos));
    stream.Read(chunk, n);
    if (!stream.ok()) break;
    size_t k = 0;
    while (k < n && !is_end(chunk[k])) ++k;
    AppendKept(line, chunk, k);
    pos += static_cast<int64_t>(k);
    if (k < n) {
      stop->found = true;
      stop->terminator = chunk[k];
      if (k + 1 < n) {
        stop->following = static_cast<unsigned char>(chunk[k + 1]);
      } else {
        stop->following = pos + 1 < size ? -2 : -1;
      }
      break;
    }
  }
  stop->position = pos;
  return line;
}

}  // namespace

std::string ReadLine(Stream& stream) {
  if (!stream.ok()) return {};
  Stop stop;
  std::string line = ReadUntil(stream, IsLineEnd, &stop);
  if (!stream.ok()) return line;
  int64_t pos = stop.position;
  if (stop.found) {
    ++pos;
    int following = stop.following == -2
                        ? static_cast<unsigned char>(ByteAt(stream, pos))
                        : stop.following;
    if (following == static_cast<unsigned char>(Partner(stop.terminator))) ++pos;
  }
  stream.Seek(pos);
  return line;
}

std::string ReadLineBackwards(Stream& stream, bool* cut) {
  if (cut != nullptr) *cut = false;
  if (!stream.ok()) return {};
  int64_t start = std::min(stream.GetPos(), stream.GetSize());
  if (!stream.ok() || start <= 0) return {};

  // The chunk that ends at the starting position holds every byte that can
  // be kept, since a chunk is longer than the longest kept line.
  static_assert(kLineChunk > kMaxString);
  char chunk[kLineChunk];
  std::string first;

  int64_t chunk_end = start;
  int64_t line_end = -1;  // position of the CR or LF in front of the line
  char end = 0;           // that byte
  int before = -2;        // the byte in front of it; -2 when not read yet
  while (chunk_end > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(kLineChunk, chunk_end));
    int64_t chunk_start = chunk_end - static_cast<int64_t>(n);
    stream.Seek(chunk_start);
    stream.Read(chunk, n);
    if (!stream.ok()) return {};
    if (chunk_end == start) first.assign(chunk, n);
    for (size_t i = n; i > 0; --i) {
      if (IsLineEnd(chunk[i - 1])) {
        line_end = chunk_start + static_cast<int64_t>(i - 1);
        end = chunk[i - 1];
        if (i >= 2) before = static_cast<unsigned char>(chunk[i - 2]);
        break;
      }
    }
    if (line_end >= 0) break;
    chunk_end = chunk_start;
  }

  int64_t line_start = line_end + 1;  // 0 when the line starts the stream
  size_t kept = static_cast<size_t>(std::min<int64_t>(kMaxString, start - line_start));
  if (cut != nullptr) *cut = start - line_start > static_cast<int64_t>(kMaxString);
  std::string line = first.substr(first.size() - kept);

  // The position ends on the first byte of the line end: the CR or LF found,
  // or its partner in front of it when the two form a pair.
  int64_t pos = 0;
  if (line_end >= 0) {
    pos = line_end;
    if (line_end > 0) {
      if (before == -2) before = static_cast<unsigned char>(ByteAt(stream, line_end - 1));
      if (before == static_cast<unsigned char>(Partner(end))) pos = line_end - 1;
    }
  }
  stream.Seek(pos);
  return line;
}

std::string ReadToEndMark(Stream& stream) {
  if (!stream.ok()) return {};
  Stop stop;
  std::string text = ReadUntil(stream, [](char c) { return c == 0 || c == kCr; }, &stop);
  if (!stream.ok()) return text;
  stream.Seek(stop.found ? stop.position + 1 : stop.position);
  return text;
}

void WriteStrings(Stream& stream, std::string_view first, std::string_view second) {
  if (!first.empty()) stream.Write(first);
  if (!second.empty()) stream.Write(second);
}

int64_t Find(Stream& stream, bool case_sensitive, std::string_view pattern) {
  if (!stream.ok()) return -1;
  int64_t start = stream.GetPos();
  int64_t size = stream.GetSize();
  if (!stream.ok() || start < 0 || start > size) return -1;
  if (pattern.empty()) {
    stream.Seek(start);
    return start;
  }
  const size_t m = pattern.size();
  if (static_cast<int64_t>(m) > size - start) return -1;

  // Without case sensitivity both sides are compared in capitals.
  char capital[256];
  for (int c = 0; c < 256; ++c) capital[c] = UpCase(static_cast<char>(c));
  std::string wanted(pattern);
  if (!case_sensitive) {
    for (char& c : wanted) c = capital[static_cast<unsigned char>(c)];
  }

  // Block b covers [start + b * 32768, start + (b + 1) * 32768 + m): every
  // match that begins in the first 32768 bytes of a block lies wholly inside
  // it.  The overlap is carried over in memory instead of being read again.
  std::string block(kFindBlock + m, '\0');
  int64_t block_pos = start;  // stream position of block[0]
  size_t filled = 0;          // valid bytes in block
  stream.Seek(start);
  while (true) {
    size_t want = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(block.size() - filled),
                          size - block_pos - static_cast<int64_t>(filled)));
    stream.Read(block.data() + filled, want);
    if (!stream.ok()) return -1;
    if (!case_sensitive) {
      for (size_t i = filled; i < filled + want; ++i) {
        block[i] = capital[static_cast<unsigned char>(block[i])];
      }
    }
    filled += want;

    size_t at = std::string_view(block.data(), filled).find(wanted);
    if (at != std::string_view::npos) {
      int64_t match = block_pos + static_cast<int64_t>(at);
      stream.Seek(match);
      return match;
    }
    if (block_pos + static_cast<int64_t>(filled) >= size) return -1;

    // Keep the last m bytes as the start of the next block.
    std::memmove(block.data(), block.data() + filled - m, m);
    block_pos += static_cast<int64_t>(filled - m);
    filled = m;
  }
}

}  // namespace quil
