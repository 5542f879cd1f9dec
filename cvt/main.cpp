// Quilxfer: copies every message of one message base into another, of any
// of the four storage formats, appending to the destination.
//
//   Quilxfer source destination
//
// The source is only read: it is opened for reading, never created, and
// nothing is written into it.  The destination is created when missing; it
// may not be the source itself under another name.
//
// Exit status: 0 when every message was copied, or a key stopped the run;
// 1 when a base could not be opened or created, or the destination could
// not be written (the messages written before stay intact); 2 for a wrong
// command line; 128 + the signal number when SIGINT, SIGTERM or SIGHUP
// stopped the run.  A write that fails, or last writes that can not be
// stored when the destination is closed, end the run with "can't write
// destination base: [spec]" on a line of its own; a base that can not be
// opened, with "can't open ..." and a line that says why.
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "bases/base_opener.h"
#include "bases/base_rebuild.h"
#include "bases/message_feed.h"
#include "model/dates.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/console.h"
#include "runtime/crash_report.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace {

using quil::MessageBase;
using quil::MessageRecord;
namespace console = quil::console;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void PrintUsage() {
  console::WriteLine("Usage: Quilxfer source destination");
  console::WriteLine("Example: Quilxfer fF:\\Fido\\Netmail\\Share jF:\\Fido\\Base\\Netmail");
  console::WriteLine("         Quilxfer sF:\\Fido\\Base\\ fF:\\Fido\\Base\\Test\\");
  console::WriteLine("         f - msg (fido), s - squish, j - jam, p - pkt 2.0+");
}

// The date and time for a message that has no date received (a packet
// holds none).  The destination would ask the clock for each such message,
// a reading of the clock and of the time zone each time; here the time is
// taken again only once kRefreshMs have passed, which is looked at every
// kCheckEvery messages, so that a stamp is at most about that much older
// than the moment its message is copied.
class ArrivalClock {
 public:
  const quil::DateTime& Now() {
    if (asked_++ % kCheckEvery == 0) {
      const uint32_t tick = quil::platform::TickCount();
      if (asked_ == 1 || tick - taken_at_ >= kRefreshMs) {
        quil::SetNow(&now_);
        taken_at_ = tick;
      }
    }
    return now_;
  }

 private:
  static constexpr uint32_t kRefreshMs = 10;
  static constexpr uint32_t kCheckEvery = 16;

  quil::DateTime now_;
  uint32_t taken_at_ = 0;
  uint64_t asked_ = 0;
};

// A copy does not carry reply links (the numbers mean nothing in the
// destination), nor a MSGID or INTL line that reading only made up: it adds
// no line the source did not carry.  A message without a date received
// gets the time it is copied, as the destination would give it.
void PrepareForDestination(MessageRecord& record, ArrivalClock& clock) {
  record.reply_to = 0;
  record.replies.fill(0);
  // Emptied, not freed: the next message read takes the storage again.
  if (!record.intl_present) record.intl.Empty();
  if (!record.msgid_present) record.msgid.Empty();
  if (!quil::IsValidDate(record.date_arrived)) record.date_arrived = clock.Now();
}

// The source numbers of the messages handed to the destination, in order,
// as runs of consecutive numbers.  The destination may store them later
// (some kinds gather appended messages and write them together); when it
// can not, the number of messages it holds tells which one it lost first.
class HandedOver {
 public:
  void Add(int32_t n) {
    if (!runs_.empty() && runs_.back().second + 1 == n) {
      runs_.back().second = n;
    } else {
      runs_.emplace_back(n, n);
    }
  }

  // The number handed over in place k (from 0); `otherwise` when fewer
  // were.
  int32_t At(int64_t k, int32_t otherwise) const {
    for (const auto& [first, last] : runs_) {
      const int64_t length = int64_t{last} - first + 1;
      if (k < length) return static_cast<int32_t>(first + k);
      k -= length;
    }
    return otherwise;
  }

 private:
  std::vector<std::pair<int32_t, int32_t>> runs_;
};

// Stops the reading of the source, then disposes of the destination, then
// the source.  False when the destination's last writes, still buffered,
// could not be stored.
bool CloseAll(quil::MessageFeed& feed, std::unique_ptr<MessageBase>& destination,
              std::unique_ptr<MessageBase>& source) {
  feed.Stop();
  const bool stored = destination->Close();
  destination.reset();
  source.reset();
  return stored;
}

// Ends the run after a destination write failed (exit status 1).
[[noreturn]] void StopWriteFailed(const std::string& destination_spec) {
  console::WriteLine("can't write destination base: [" + destination_spec + "]");
  quil::Halt(kExitFailure);
}

// Ends the run after a base could not be opened (exit status 1).
[[noreturn]] void StopCantOpen(std::string_view which, const std::string& spec,
                               const quil::OpenFailure& why) {
  console::WriteLine("can't open " + std::string(which) + " base: [" + spec + "]");
  console::WriteLine(quil::DescribeOpenFailure(why));
  quil::Halt(kExitFailure);
}

// The work of a run with two parameters.  Everything it allocates is given
// back when it returns, so the memory report that follows counts only what
// was really lost.
void ConvertBases(const char* source_parameter, const char* destination_parameter) {
  const std::string source_spec = quil::Cut(source_parameter);
  const std::string destination_spec = quil::Cut(destination_parameter);
  console::WriteLine("source base: [" + source_spec + "]");
  console::WriteLine("destination base: [" + destination_spec + "]");
  console::WriteLine();

  // A base that an interrupted sort left behind is made whole first.
  for (const std::string& spec : {source_spec, destination_spec}) {
    std::string recovered = quil::RecoverInterruptedRebuild(spec);
    if (!recovered.empty()) console::WriteLine(recovered);
  }

  // A base whose replacement could not be finished is not touched.  The
  // source is only read; only the destination is created when missing.
  quil::OpenFailure why{quil::OpenProblem::kUnfinishedSort, {}};
  std::unique_ptr<MessageBase> source;
  if (!quil::RebuildPending(source_spec)) {
    source =
        quil::OpenExisting(quil::platform::kDenyWrite, source_spec, quil::Access::kReadOnly, &why);
  }
  if (!source) StopCantOpen("source", source_spec, why);
  console::WriteLine("source base opened");
  // Copied into itself, a base would read its own copies (a *.msg
  // directory doubled); the destination must be another base.
  std::unique_ptr<MessageBase> destination;
  if (quil::SameBase(source_spec, destination_spec)) {
    why = {quil::OpenProblem::kSameBase, {}};
  } else if (!quil::RebuildPending(destination_spec)) {
    destination = quil::OpenOrCreate(quil::platform::kDenyWrite, destination_spec, &why);
  } else {
    why = {quil::OpenProblem::kUnfinishedSort, {}};
  }
  if (!destination) {
    source.reset();
    StopCantOpen("destination", destination_spec, why);
  }
  console::WriteLine("destination base opened");

  console::WriteLine();
  console::WriteLine("source base - total " + std::to_string(source->count()));
  console::WriteLine("destination base - total " + std::to_string(destination->count()));
  console::WriteLine();
  console::ProgressCounter counter;
  counter.Start("coping message... ");

  // The counter can not wrap, whatever the source claims, and numbers the
  // source knows to hold no message are passed over.
  const int64_t total = source->count();
  const bool same_kind = typeid(*source) == typeid(*destination);
  const int32_t held_before = destination->count();
  HandedOver handed;
  ArrivalClock arrival_clock;
  // A base of the same kind takes the message as it is stored, without its
  // reply links, reading the source itself: its header is read in turn.
  // Another kind takes it through the record, read ahead of the writing.
  // A tosser's high-water mark is its bookkeeping, not a message.
  auto read_one = [&source, &arrival_clock, same_kind](int32_t n, MessageRecord& record) {
    if (source->IsHighWaterMark(n)) return false;
    // PrepareForDestination drops what reading would make up.
    record.make_up_kludges = false;
    if (same_kind) return source->ReadMessageHeader(n, record);
    if (!source->ReadMessage(n, record)) return false;
    PrepareForDestination(record, arrival_clock);
    return true;
  };
  quil::MessageFeed feed(
      *source, total, read_one,
      same_kind ? quil::MessageFeed::Mode::kInTurn : quil::MessageFeed::Mode::kReadAhead);
  // The message the destination lost first when a write failed: the one
  // after those it holds.
  auto lost = [&](int32_t otherwise) {
    return handed.At(int64_t{destination->count()} - held_before, otherwise);
  };
  quil::MessageFeed::Message message;
  while (feed.Next(&message)) {
    const int32_t n = message.number;
    counter.Tick(n);
    if (console::KeyPressed()) {
      console::WriteLine("terminated!");
      if (!CloseAll(feed, destination, source)) StopWriteFailed(destination_spec);
      quil::Halt(console::StopExitStatus());
    }
    if (!message.read) continue;
    const bool written = same_kind
                             ? destination->CopyStoredMessage(*source, n, nullptr)
                             : destination->WriteMessage(destination->count() + 1, *message.record);
    handed.Add(n);
    if (!written) {
      counter.Show(lost(n));  // the message that failed, whenever it was last drawn
      console::WriteLine();
      CloseAll(feed, destination, source);
      StopWriteFailed(destination_spec);
    }
  }
  // What the destination still holds back goes to its files now, so that a
  // failure shows at the message it concerns.
  if (!destination->Flush()) {
    counter.Show(lost(static_cast<int32_t>(total)));
    console::WriteLine();
    CloseAll(feed, destination, source);
    StopWriteFailed(destination_spec);
  }
  counter.Show(total);
  console::WriteLine();

  if (!CloseAll(feed, destination, source)) StopWriteFailed(destination_spec);
  console::WriteLine();
}

}  // namespace

int main(int argc, char** argv) {
  quil::StartOfRun();
  console::WriteLine();
  console::WriteLine("Quilxfer - message base converter, v0.04");
  console::WriteLine();
  if (argc != 3) {
    PrintUsage();
    quil::Halt(kExitUsage);
  }
  ConvertBases(argv[1], argv[2]);
  quil::EndOfRunReport();
  return 0;
}
