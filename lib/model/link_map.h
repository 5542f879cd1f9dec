// The renumbering of messages copied from one base into another: what the
// reply links and the lastread pointers of the copies hold.
//
// A base names its messages in reply links and lastread pointers by a link
// id (MessageBase::LinkId): a JAM message number, a Squish unique id, the
// number of a *.msg file.  A link map holds, for every message of the new
// base, the id it had in the source and the id it has in the new base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "runtime/stream.h"

namespace quil {

class LinkMap {
 public:
  // Adds one message of the new base: `from` its id in the source, `to` its
  // id in the new base.
  void Add(uint32_t from, uint32_t to);

  // The ids the next message appended would get in the source and in the
  // new base: what a pointer beyond every message is measured against.
  void SetNext(uint32_t source_next, uint32_t copy_next);

  // Prepares the lookups.  REQUIRES: called after the last Add and before
  // Map and MapPointer.
  void Seal();

  // The new id of the source's message `from`; 0 for 0 and for an id that
  // names no message of the new base (a reply to a message left out).
  // Source ids that occur twice (a damaged base) give the first one's.
  uint32_t Map(uint32_t from) const;

  // A lastread pointer (the id of the last message read): it becomes the id
  // just below the lowest new id among the messages that lay above it, so
  // no message that was unread before counts as read after.  A pointer below
  // every message (nothing read) stays while it is below every new id.  A
  // pointer with
  // no message above it keeps its distance to the next id, but never falls
  // below the highest new id: every message is read, and exactly as many
  // future messages as before count as read.  With no message at all the
  // pointer moves with the next id.
  uint32_t MapPointer(uint32_t pointer) const;

  size_t size() const { return pairs_.size(); }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> pairs_;  // (from, to), by from after Seal
  // lowest_after_[i]: the lowest new id among pairs_[i..].
  std::vector<uint32_t> lowest_after_;
  uint32_t highest_to_ = 0;
  uint32_t source_next_ = 0;
  uint32_t copy_next_ = 0;
};

// Copies a lastread file of `record_size`-byte records from `in` (from its
// position to its end) to `out` (at its position), the 32-bit little-endian
// pointers at the offsets `pointers` of each record renumbered by
// links.MapPointer and every other byte as it is; a last record cut short is
// copied as it is.  False when a read or a write failed.
[[nodiscard]] bool CopyLastreadRecords(Stream& in, Stream& out, size_t record_size,
                                       std::initializer_list<size_t> pointers,
                                       const LinkMap& links);

}  // namespace quil
