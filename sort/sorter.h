// Sorting one message base by date written: all of it, or only the unread
// messages behind the read ones.
#pragma once

#include <string_view>

namespace quil {

enum class SortMode {
  kAll,     // every message in order of date written
  kUnread,  // read messages first, as they are; then the unread, by date
};

// What the caller does after one base.
struct SortOutcome {
  bool stop = false;  // end the program now
  int exit_code = 0;  // with this status
};

// Sorts the base `spec` and prints its progress.  A base that can not be
// opened is reported and skipped (the caller goes on); Escape, a write that
// fails or a base that can not be created end the program.  The base on disk
// is always either the original, untouched, or the complete sorted base.
SortOutcome SortBase(std::string_view spec, SortMode mode);

}  // namespace quil
