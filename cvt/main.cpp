// Quilxfer: copies every message of one message base into another, of any
// of the four storage formats, appending to the destination.
//
//   Quilxfer source destination
//
// Exit status 0 on every path except a destination that can not be written
// (1): the messages written before stay intact.  A write that fails, or last
// writes that can not be stored when the destination is closed, end the run
// with "can't write destination base: [spec]" on a line of its own.
#include <memory>
#include <string>

#include "bases/base_opener.h"
#include "bases/base_rebuild.h"
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

constexpr int kExitWriteFailed = 1;

void PrintUsage() {
  console::WriteLine("Usage: Quilxfer source destination");
  console::WriteLine("Example: Quilxfer fF:\\Fido\\Netmail\\Share jF:\\Fido\\Base\\Netmail");
  console::WriteLine("         Quilxfer sF:\\Fido\\Base\\ fF:\\Fido\\Base\\Test\\");
  console::WriteLine("         f - msg (fido), s - squish, j - jam, p - pkt 2.0+");
}

// A copy does not carry reply links (the numbers mean nothing in the
// destination), nor an INTL line that reading only derived from the header.
void PrepareForDestination(MessageRecord& record) {
  record.reply_to = 0;
  record.replies.fill(0);
  if (!record.intl_present) record.intl.clear();
}

// Disposes of the record, then the destination, then the source.  False
// when the destination's last writes, still buffered, could not be stored.
bool CloseAll(std::unique_ptr<MessageRecord>& record, std::unique_ptr<MessageBase>& destination,
              std::unique_ptr<MessageBase>& source) {
  record.reset();
  const bool stored = destination->Close();
  destination.reset();
  source.reset();
  return stored;
}

// Ends the run after a destination write failed (exit status 1).
[[noreturn]] void StopWriteFailed(const std::string& destination_spec) {
  console::WriteLine("can't write destination base: [" + destination_spec + "]");
  quil::Halt(kExitWriteFailed);
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

  // A base whose replacement could not be finished is not touched.
  auto open = [](const std::string& spec) -> std::unique_ptr<MessageBase> {
    if (quil::RebuildPending(spec)) return nullptr;
    return quil::OpenOrCreate(quil::platform::kDenyWrite, spec);
  };
  std::unique_ptr<MessageBase> source = open(source_spec);
  if (!source) {
    console::WriteLine("can't open source base: [" + source_spec + "]");
    quil::Halt(0);
  }
  console::WriteLine("source base opened");
  std::unique_ptr<MessageBase> destination = open(destination_spec);
  if (!destination) {
    console::WriteLine("can't open destination base: [" + destination_spec + "]");
    source.reset();
    quil::Halt(0);
  }
  console::WriteLine("destination base opened");

  auto record = std::make_unique<MessageRecord>();
  console::WriteLine();
  console::WriteLine("source base - total " + std::to_string(source->count()));
  console::WriteLine("destination base - total " + std::to_string(destination->count()));
  console::WriteLine();
  console::Write("coping message... ");
  console::Flush();
  const int column = console::CursorColumn();
  const int row = console::CursorRow();

  // The counter can not wrap, whatever the source claims, and numbers the
  // source knows to hold no message are passed over.
  const int64_t total = source->count();
  for (int64_t n = source->NextMessage(1); n <= total; n = source->NextMessage(n + 1)) {
    console::PutText("#" + std::to_string(n), column, row);
    if (console::KeyPressed()) {
      console::WriteLine("terminated!");
      if (!CloseAll(record, destination, source)) StopWriteFailed(destination_spec);
      quil::Halt(0);
    }
    if (!source->ReadMessage(static_cast<int32_t>(n), *record)) continue;
    PrepareForDestination(*record);
    if (!destination->WriteMessage(destination->count() + 1, *record)) {
      console::WriteLine();
      CloseAll(record, destination, source);
      StopWriteFailed(destination_spec);
    }
  }
  console::PutText("#" + std::to_string(total), column, row);
  console::WriteLine();

  if (!CloseAll(record, destination, source)) StopWriteFailed(destination_spec);
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
    quil::Halt(0);
  }
  ConvertBases(argv[1], argv[2]);
  quil::EndOfRunReport();
  return 0;
}
