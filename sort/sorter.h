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
  bool stop = false;  // a stop was asked for, or writing failed: end now
  int exit_code = 0;  // 1 when the base could not be opened, created or
                      // written; 0 for a stop that was asked for
};

// Sorts the base `spec` and prints its progress.  A base that can not be
// opened (never created: a missing base is reported as such) is reported
// with the reason on a line of its own and skipped (exit code 1, the caller
// may go on); Escape, a write that fails or a base that can not be created
// ask to end the program.  The base on disk is always either the original,
// untouched, or the complete sorted base.
SortOutcome SortBase(std::string_view spec, SortMode mode);

}  // namespace quil
