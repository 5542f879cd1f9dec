#include "model/link_map.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "runtime/coding.h"

namespace quil {

void LinkMap::Add(uint32_t from, uint32_t to) { pairs_.emplace_back(from, to); }

void LinkMap::SetNext(uint32_t source_next, uint32_t copy_next) {
  source_next_ = source_next;
  copy_next_ = copy_next;
}

void LinkMap::Seal() {
  // Stable, so that of two equal source ids the one added first answers.
  std::stable_sort(pairs_.begin(), pairs_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  lowest_after_.resize(pairs_.size());
  uint32_t lowest = std::numeric_limits<uint32_t>::max();
  highest_to_ = 0;
  for (size_t i = pairs_.size(); i-- > 0;) {
    lowest = std::min(lowest, pairs_[i].second);
    lowest_after_[i] = lowest;
    highest_to_ = std::max(highest_to_, pairs_[i].second);
  }
}

uint32_t LinkMap::Map(uint32_t from) const {
  if (from == 0) return 0;
  auto at = std::lower_bound(pairs_.begin(), pairs_.end(), from,
                             [](const auto& pair, uint32_t id) { return pair.first < id; });
  return at != pairs_.end() && at->first == from ? at->second : 0;
}

uint32_t LinkMap::MapPointer(uint32_t pointer) const {
  auto above = std::upper_bound(pairs_.begin(), pairs_.end(), pointer,
                                [](uint32_t id, const auto& pair) { return id < pair.first; });
  if (above != pairs_.end()) {
    uint32_t lowest = lowest_after_[static_cast<size_t>(above - pairs_.begin())];
    uint32_t below = lowest > 0 ? lowest - 1 : 0;
    // A reader who has read nothing yet keeps his pointer, while it stays
    // below every message.
    return above == pairs_.begin() ? std::min(pointer, below) : below;
  }
  int64_t moved = static_cast<int64_t>(pointer) + copy_next_ - source_next_;
  moved = std::max<int64_t>(moved, highest_to_);
  return static_cast<uint32_t>(
      std::clamp<int64_t>(moved, 0, std::numeric_limits<uint32_t>::max()));
}

bool CopyLastreadRecords(Stream& in, Stream& out, size_t record_size,
                         std::initializer_list<size_t> pointers, const LinkMap& links) {
  constexpr size_t kRecordsAtATime = 1024;
  std::vector<uint8_t> block(record_size * kRecordsAtATime);
  int64_t left = in.GetSize() - in.GetPos();
  while (left > 0 && in.ok() && out.ok()) {
    size_t length = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(block.size())));
    in.Read(block.data(), length);
    for (size_t record = 0; record + record_size <= length; record += record_size) {
      for (size_t at : pointers) {
        uint8_t* field = block.data() + record + at;
        PutU32LE(field, links.MapPointer(GetU32LE(field)));
      }
    }
    out.Write(block.data(), length);
    left -= static_cast<int64_t>(length);
  }
  return in.ok() && out.ok();
}

}  // namespace quil
