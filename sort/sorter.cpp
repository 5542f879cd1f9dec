#include "sorter.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "bases/base_rebuild.h"
#include "model/dates.h"
#include "model/link_map.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/console.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"

namespace quil {

namespace {

constexpr uint32_t kRedrawMilliseconds = 200;
constexpr int kExitFailure = 1;

// The progress counter after a label, redrawn at most every 200 ms.
class Progress {
 public:
  explicit Progress(uint32_t* last_redraw) : last_redraw_(last_redraw) {}

  void Start(std::string_view label) {
    console::Write(label);
    console::Flush();
    column_ = console::CursorColumn();
    row_ = console::CursorRow();
  }
  void Tick(int64_t n) {
    uint32_t now = platform::TickCount();
    int32_t elapsed = static_cast<int32_t>(now - *last_redraw_);
    if (elapsed > static_cast<int32_t>(kRedrawMilliseconds) ||
        elapsed < -static_cast<int32_t>(kRedrawMilliseconds)) {
      *last_redraw_ = now;
      Show(n);
    }
  }
  void Show(int64_t n) { console::PutText("#" + std::to_string(n), column_, row_); }

 private:
  uint32_t* last_redraw_;
  int column_ = 1;
  int row_ = 1;
};

// True when Escape is waiting; other keys are read and dropped.
bool EscapePressed() {
  while (console::KeyPressed()) {
    if (console::ReadKey() == console::kEscape) return true;
  }
  return false;
}

// What the sorter holds of one message: its sort key, where it is and how
// links name it.  Sixteen bytes, whatever the size of the message.
struct Key {
  int64_t seconds;   // date written; kReadFirst for a read message of sort-unread
  int32_t number;    // its number in the base
  uint32_t link_id;  // the id links and lastread pointers name it by
};

// Sorts before every date, so that the read messages of sort-unread come
// first, among themselves in base order.
constexpr int64_t kReadFirst = std::numeric_limits<int64_t>::min();

// The new order of a base.
struct Plan {
  bool high_water_mark = false;  // message 1 is a *.msg high-water mark: it stays first
  uint32_t mark_id = 0;          // the high-water mark's link id
  std::vector<Key> keys;         // the messages that read, in their new order
  int32_t read_first = 0;        // sort-unread: how many of them are kept in front
  std::vector<Key> unreadable;   // messages that do not read, in base order
  bool keep_unreadable = false;  // they are kept behind the sorted ones (else left out)

  // The number of messages the new base holds.
  int32_t size() const {
    size_t kept = keep_unreadable ? unreadable.size() : 0;
    return static_cast<int32_t>(keys.size() + kept) + (high_water_mark ? 1 : 0);
  }

  // Calls visit(number, link_id, in_front) for every message of the new
  // base in its new order; in_front is false from the sorted messages of
  // sort-unread on.
  template <typename Visit>
  bool ForEach(Visit visit) const {
    if (high_water_mark && !visit(1, mark_id, true)) return false;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (!visit(keys[i].number, keys[i].link_id, static_cast<int32_t>(i) < read_first)) {
        return false;
      }
    }
    if (!keep_unreadable) return true;
    for (const Key& key : unreadable) {
      if (!visit(key.number, key.link_id, false)) return false;
    }
    return true;
  }
};

// Reads the keys of every message of `base`.  False when Escape stopped it.
bool ReadKeys(MessageBase& base, SortMode mode, Progress& progress, Plan* plan) {
  const int32_t total = base.count();
  plan->high_water_mark = base.IsHighWaterMark(1);
  plan->mark_id = base.LinkId(1);
  plan->keep_unreadable = base.CopiesUnreadable();
  // No room is reserved by the count: a *.msg directory's count is its
  // highest file number, however few files it holds.
  MessageRecord record;  // one for all: only the keys are kept
  for (int32_t n = 1; n <= total; ++n) {
    progress.Tick(n);
    if (n > 1 || !plan->high_water_mark) {
      SortKey sort_key;
      if (base.ReadSortKey(n, record, &sort_key)) {
        Key key{sort_key.written, n, base.LinkId(n)};
        if (mode == SortMode::kUnread && sort_key.times_read > 0) {
          key.seconds = kReadFirst;
          ++plan->read_first;
        }
        plan->keys.push_back(key);
      } else if (base.MessageExists(n)) {
        // A number without a message (a deleted JAM entry, a gap between
        // *.msg files) is no message that could be lost.
        plan->unreadable.push_back({0, n, base.LinkId(n)});
      }
    }
    if (EscapePressed()) return false;
  }
  // By date written; equal dates keep their order in the base, so a sorted
  // base sorts into itself.
  std::sort(plan->keys.begin(), plan->keys.end(), [](const Key& a, const Key& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.number < b.number;
  });
  return true;
}

// Why the base can not be opened when its rebuild lock was refused.
OpenFailure WhyNotLocked(BaseRebuild::Failure failure, std::string_view spec,
                         const std::string& failed_file) {
  switch (failure) {
    case BaseRebuild::Failure::kMissing:
      return {OpenProblem::kNoBase, {}};
    case BaseRebuild::Failure::kBusy:
      return {OpenProblem::kInUse, failed_file.empty() ? std::string(spec) : failed_file};
    case BaseRebuild::Failure::kNoAccess:
      // The lock file's folder, or a base file that may not be written.
      return {OpenProblem::kAccessDenied, failed_file};
    case BaseRebuild::Failure::kReplace:
      return {OpenProblem::kUnfinishedSort, {}};
    case BaseRebuild::Failure::kCreate:  // a bare type mark names no base
      return {OpenProblem::kBadSpec, {}};
    default:
      return {};
  }
}

// Where each message goes: the ids of the new base for the ids of the old.
void MapLinks(MessageBase& base, MessageBase& target, const Plan& plan, LinkMap* links) {
  int32_t position = target.count();
  plan.ForEach([&](int32_t, uint32_t link_id, bool) {
    links->Add(link_id, target.LinkId(++position));
    return true;
  });
  links->SetNext(base.LinkId(base.count() + 1), target.LinkId(position + 1));
  links->Seal();
}

// The text that a stop asked for in the writing phase prints, once the
// base is whole.
const char* StopText(SortMode mode, bool in_front) {
  return mode == SortMode::kUnread && !in_front ? "... terminated" : "terminated!";
}

// True when the new base would hold every message of `base` in its place,
// with the same numbers and links: then nothing is to be written.  A stop
// asked for meanwhile sets *stop_text.
bool AlreadySorted(MessageBase& base, MessageBase& target, const Plan& plan,
                   const LinkMap& links, SortMode mode, Progress& progress,
                   const char** stop_text) {
  int32_t position = target.count();  // the numbers below the first stay free
  if (position + plan.size() != base.count()) return false;
  return plan.ForEach([&](int32_t number, uint32_t, bool in_front) {
    ++position;
    progress.Tick(position);
    if (EscapePressed() && !*stop_text) *stop_text = StopText(mode, in_front);
    return number == position && !target.CopyRenumbers(base, number, links);
  });
}

// The line that says what became of the messages that do not read, and of
// their bytes: `kept` names the copy of the original base that holds them.
std::string UnreadableLine(const Plan& plan, const std::string& kept) {
  const size_t n = plan.unreadable.size();
  const std::string what = std::to_string(n) + (n == 1 ? " message could not be read and was "
                                                       : " messages could not be read and were ");
  if (plan.keep_unreadable) return what + "kept after the sorted ones";
  return what + "left out" + (kept.empty() ? "" : "; the original base is kept as [" + kept + "]");
}

}  // namespace

SortOutcome SortBase(std::string_view spec, SortMode mode) {
  const std::string spec_text(spec);
  console::WriteLine(mode == SortMode::kAll ? "mode: [sorting all base]"
                                            : "mode: [sorting unreaded messages]");
  console::WriteLine("source base: [" + spec_text + "]");

  std::string recovered;
  std::string failed_file;
  BaseRebuild::Failure failure = BaseRebuild::Failure::kNone;
  std::unique_ptr<BaseRebuild> rebuild = BaseRebuild::Lock(spec, &recovered, &failure, &failed_file);
  if (!recovered.empty()) console::WriteLine(recovered);
  // The base is sorted where it is: a base that is not there is not made.
  OpenFailure why = WhyNotLocked(failure, spec, failed_file);
  std::unique_ptr<MessageBase> base;
  if (rebuild) {
    base = OpenExisting(rebuild->original_sharing(), spec, Access::kReadWrite, &why);
  }
  if (!base) {
    console::WriteLine("can't open source base: [" + spec_text + "]");
    console::WriteLine(DescribeOpenFailure(why));
    return {false, kExitFailure};
  }
  console::WriteLine("source base opened");
  const int32_t total = base->count();
  console::WriteLine("source base - total " + std::to_string(total));

  // Reading: the keys of every message, never the messages themselves.
  uint32_t last_redraw = 0;
  Progress progress(&last_redraw);
  progress.Start("reading message... ");
  Plan plan;
  if (!ReadKeys(*base, mode, progress, &plan)) {
    console::WriteLine("terminated!");
    return {true, 0};  // nothing was changed
  }
  progress.Show(total);
  console::WriteLine();

  // Writing: the new base is built beside the original and replaces it only
  // when it is complete, so no way out can leave a base with messages lost.
  // Each message is copied as it is stored; only its numbers and links
  // follow the new order.
  Progress writing(&last_redraw);
  writing.Start("writing message... ");
  if (!rebuild->CreateNewBase(platform::kDenyWrite, *base) ||
      !rebuild->new_base().StartNumberingAt(base->FirstRebuiltNumber())) {
    console::WriteLine();
    console::WriteLine("can't create base: [" + spec_text + "]");
    return {true, kExitFailure};
  }
  MessageBase& target = rebuild->new_base();
  LinkMap links;
  MapLinks(*base, target, plan, &links);
  auto cant_write = [&spec_text]() -> SortOutcome {
    console::WriteLine();
    console::WriteLine("can't write base: [" + spec_text + "], it is left as it was");
    return {true, kExitFailure};
  };
  const char* stop_text = nullptr;  // set by Escape; honoured once the base is whole
  std::string kept;                 // the copy of a base whose damaged messages go
  // The end of the writing line: the counter, or what a stop asked for;
  // then what became of the messages that do not read.
  auto finish = [&plan, &stop_text, &writing, &kept](int32_t written) -> SortOutcome {
    if (stop_text) {
      console::WriteLine(stop_text);
    } else {
      writing.Show(written);
      console::WriteLine();
    }
    if (!plan.unreadable.empty()) console::WriteLine(UnreadableLine(plan, kept));
    if (stop_text) return {true, 0};
    console::WriteLine();
    return {};
  };

  if (AlreadySorted(*base, target, plan, links, mode, writing, &stop_text)) {
    rebuild->Abandon();
    return finish(plan.size());
  }

  int32_t written = 0;
  const bool copied = plan.ForEach([&](int32_t number, uint32_t, bool in_front) {
    ++written;
    writing.Tick(written);
    if (!target.CopyStoredMessage(*base, number, &links)) return false;
    // The keyboard is polled at every message, also after a stop was asked
    // for, so that further stop signals are taken as keys and do not force
    // the program to end before the base is whole.
    if (EscapePressed() && !stop_text) stop_text = StopText(mode, in_front);
    return true;
  });
  if (!copied || !target.CopyLastreadFrom(*base, links)) return cant_write();
  // The sorted base leaves damaged messages out; their bytes are not
  // destroyed with the original's: the original is kept beside it first.
  if (!plan.unreadable.empty() && !plan.keep_unreadable && !rebuild->KeepOriginal(&kept)) {
    return cant_write();
  }

  if (!base->Close()) {
    // Only read, so nothing of it can be lost; the replacement goes on.
  }
  base.reset();
  // The keys and links are written into the new base: their memory goes to
  // the write-back, which for a large *.msg directory needs it.
  plan.keys = std::vector<Key>();
  links = LinkMap();
  if (!rebuild->Commit(&failure)) {
    if (failure != BaseRebuild::Failure::kReplace) return cant_write();
    console::WriteLine();
    console::WriteLine("can't replace base: [" + spec_text +
                       "], the next run finishes the replacement");
    return {true, kExitFailure};
  }
  return finish(written);
}

}  // namespace quil
