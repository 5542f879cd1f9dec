// Messages that other programs append to a Squish or JAM base while the
// write-back of a rebuilt base into it is cut short, and how they are kept.
//
// A sort holds the base's write lock (byte 0 of the .jhr or the .sqd) from
// before it reads the base until the write-back is complete, so a tosser or
// a reader waits.  A run killed during the write-back frees the lock, and a
// tosser may append to the half-written base before the next run finishes
// the write-back, which would write over what it appended.
//
// Its messages are told apart by their place in the index.  The journal's
// boundary starts as the original's message count, and the new base never
// has more messages than that, so the write-back writes no index entry at
// or beyond it.  Other programs append behind every message they see: JAM
// writers at the end of the .jdx, which the write-back does not shorten
// before the end; Squish writers at the num_msg of the header, which the
// write-back does not touch before the end.  So every entry at or beyond
// the boundary that is not empty is another program's message, except
// those the journal lists as known (index records a damaged Squish base
// held behind its count).  Once the write-back has emptied the index
// behind the new base's entries, the boundary becomes the new base's count
// and only then may the header or the end of the index change.
//
// A rescue copies each such message, as stored (JAM: header, subfields and
// text; Squish: message header, control information and text), to the end
// of the new base, with its reply links cleared, as their numbers belong
// to the half-written base.  The new base's files are first cut back to
// the journal's sizes and header, so a rescue cut short is simply done
// again; then the journal takes the new sizes and header, and a boundary
// behind every entry rescued, and the write-back copies the new base,
// rescued messages included, into the original.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "bases/rebuild_journal.h"
#include "bases/rebuild_layout.h"

namespace quil {

// Stores a changed journal for good; false when that failed.
using SaveJournalFunction = std::function<bool(const WriteBackJournal&)>;

// The index of a Squish or JAM base.
struct IndexFacts {
  std::string_view index_extension;   // ".jdx", ".sqi"
  size_t entry_size;                  // 8, 12
  uint8_t empty_byte;                 // an entry of these bytes is empty
  std::string_view header_extension;  // the file that starts with the base header
  size_t header_size;                 // 1024, 256
};

// The index facts of the kind `mark`; null for kinds without an index.
const IndexFacts* IndexFactsOf(char mark);

// At the commit point: the boundary, the known entries and the new base's
// header of a write-back whose journal lists the new base's files.  False
// when the original or the new base can not be read, or the new base has
// more index entries than the original has messages.
[[nodiscard]] bool StartIndexedJournal(const RebuildLayout& layout, WriteBackJournal* journal);

// Finds the messages other programs appended to the original since the
// journal was written and copies them to the new base, then saves the
// changed journal.  Nothing to do: true, and nothing changes.  False when
// a file could not be read or written or the journal not saved; nothing
// is lost then, and a later call goes on.  A message that is not whole in
// the files (a writer cut short) is not copied.
[[nodiscard]] bool RescueAddedMessages(const RebuildLayout& layout, WriteBackJournal* journal,
                                       const SaveJournalFunction& save);

}  // namespace quil
