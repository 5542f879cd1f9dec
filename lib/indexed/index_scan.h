// The skip over an index that holds no message: the search for the next
// record of a Squish or JAM index that points somewhere, passing holes of a
// sparse file without reading them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/stream.h"

namespace quil {

// Records read at a time.
inline constexpr int64_t kIndexRecordsAtOnce = 4096;

// The number of the first record from `n` to `count` of `index` (records of
// `record_size` bytes, record n at (n - 1) * record_size) for which
// `points_somewhere` holds; count + 1 when none does.  A hole of the file
// (zeros, which point nowhere) is passed without reading it.  When the file
// can not be read the answer is n: the caller's reader then looks itself.
template <typename Test>
int64_t NextIndexRecord(FileStream& index, int64_t n, int64_t count, size_t record_size,
                        Test points_somewhere) {
  const auto size = static_cast<int64_t>(record_size);
  n = std::max<int64_t>(n, 1);
  if (n > count) return count + 1;
  // Mostly the record asked for points somewhere: one buffered read, and
  // no question to the system about holes.
  uint8_t first[32];
  if (record_size <= sizeof first) {
    index.Seek((n - 1) * size);
    index.Read(first, record_size);
    if (!index.ok()) {
      index.Reset();
      return n;
    }
    if (points_somewhere(std::span<const uint8_t>(first, record_size))) return n;
  }
  std::vector<uint8_t> block;
  while (n <= count) {
    const int64_t position = (n - 1) * size;
    const int64_t data = index.NextData(position);
    if (data < 0) {
      index.Reset();
      return n;
    }
    const int64_t first = data / size + 1;  // the record the data begins in
    if (first > n) {
      n = first;
      continue;
    }
    const int64_t records = std::min(kIndexRecordsAtOnce, count - n + 1);
    block.resize(static_cast<size_t>(records * size));
    index.Seek(position);
    index.Read(block.data(), block.size());
    if (!index.ok()) {
      index.Reset();
      return n;
    }
    for (int64_t i = 0; i < records; ++i) {
      if (points_somewhere(std::span<const uint8_t>(block).subspan(
              static_cast<size_t>(i * size), record_size))) {
        return n + i;
      }
    }
    n += records;
  }
  return count + 1;
}

}  // namespace quil
