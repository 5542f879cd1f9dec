#include "sorter.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "bases/base_rebuild.h"
#include "model/dates.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/console.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"

namespace quil {

namespace {

constexpr uint32_t kRedrawMilliseconds = 200;
constexpr int kExitFailure = 1;

using RecordList = std::vector<std::unique_ptr<MessageRecord>>;

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

// The records in order of date written; among equal dates the message read
// later comes first.  Keys are 64-bit seconds, so every valid date from 1901
// to 2099 orders correctly.
void SortByDateWritten(RecordList& records) {
  struct Key {
    int64_t seconds;
    int32_t read_order;
  };
  std::vector<Key> keys;
  keys.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    keys.push_back({DateToSeconds(records[i]->date_written), static_cast<int32_t>(i)});
  }
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.read_order > b.read_order;
  });
  RecordList sorted;
  sorted.reserve(records.size());
  for (const Key& key : keys) {
    sorted.push_back(std::move(records[static_cast<size_t>(key.read_order)]));
  }
  records.swap(sorted);
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
    case BaseRebuild::Failure::kCreate:  // the spec names no base
      return {OpenProblem::kBadSpec, {}};
    default:
      return {};
  }
}

// Reply numbers mean nothing after renumbering; an INTL line that reading
// only derived from the addresses must not be added to the message.
void PrepareForRewrite(MessageRecord& record) {
  record.reply_to = 0;
  record.replies.fill(0);
  if (!record.intl_present) record.intl.clear();
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

  // Reading: every message into a record of its own.
  RecordList sorted;  // to be ordered by date
  RecordList kept;    // sort-unread: the read messages, in reading order
  uint32_t last_redraw = 0;
  Progress progress(&last_redraw);
  progress.Start("reading message... ");
  auto record = std::make_unique<MessageRecord>();
  for (int32_t n = 1; n <= total; ++n) {
    progress.Tick(n);
    if (base->ReadMessage(n, *record)) {
      PrepareForRewrite(*record);
      RecordList& list = mode == SortMode::kUnread && record->times_read > 0 ? kept : sorted;
      list.push_back(std::move(record));
      record = std::make_unique<MessageRecord>();
    }
    if (EscapePressed()) {
      console::WriteLine("terminated!");
      return {true, 0};  // nothing was changed
    }
  }
  progress.Show(total);
  console::WriteLine();
  record.reset();
  SortByDateWritten(sorted);

  // Writing: the new base is built beside the original and replaces it only
  // when it is complete, so no way out can leave a base with messages lost.
  Progress writing(&last_redraw);
  writing.Start("writing message... ");
  if (!rebuild->CreateNewBase(platform::kDenyWrite, *base)) {
    console::WriteLine();
    console::WriteLine("can't create base: [" + spec_text + "]");
    return {true, kExitFailure};
  }
  MessageBase& target = rebuild->new_base();
  const char* stop_text = nullptr;  // set by Escape; honoured once the base is whole
  int32_t written = 0;
  for (RecordList* list : {&kept, &sorted}) {
    for (auto& message : *list) {
      ++written;
      writing.Tick(written);
      if (!target.WriteMessage(written, *message)) {
        console::WriteLine();
        console::WriteLine("can't write base: [" + spec_text + "], it is left as it was");
        return {true, kExitFailure};
      }
      message.reset();  // written: its memory is not needed any more
      // The keyboard is polled at every message, also after a stop was
      // asked for, so that further stop signals are taken as keys and do
      // not force the program to end before the base is whole.
      if (EscapePressed() && !stop_text) {
        stop_text = mode == SortMode::kUnread && list == &sorted ? "... terminated" : "terminated!";
      }
    }
  }

  if (!base->Close()) {
    // Only read, so nothing of it can be lost; the replacement goes on.
  }
  base.reset();
  if (!rebuild->Commit(&failure)) {
    console::WriteLine();
    console::WriteLine(failure == BaseRebuild::Failure::kReplace
                           ? "can't replace base: [" + spec_text +
                                 "], the next run finishes the replacement"
                           : "can't write base: [" + spec_text + "], it is left as it was");
    return {true, kExitFailure};
  }
  if (stop_text) {
    console::WriteLine(stop_text);
    return {true, 0};
  }
  writing.Show(written);
  console::WriteLine();
  console::WriteLine();
  return {};
}

}  // namespace quil
