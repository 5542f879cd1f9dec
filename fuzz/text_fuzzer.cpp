// Fuzz harness: the input is the stored text of a message.  It is split into
// the record as every base kind splits it, completed by Normalise, and
// written back; the leading control lines are parsed alone as well.
#include <cstddef>
#include <cstdint>

#include "model/message_record.h"
#include "model/message_text.h"
#include "runtime/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil;
  MemoryStream text(kBodyBlockSize);
  text.Write(data, size);
  const auto end = static_cast<int64_t>(size);

  MessageRecord record;
  (void)ReadText(text, 0, end, false, record);
  record.ConvertFlags(Direction::kReading);
  record.Normalise();
  MemoryStream written(kBodyBlockSize);
  record.ConvertFlags(Direction::kWriting);
  WriteText(record, written);

  MessageRecord header;
  (void)ReadText(text, 0, end, true, header);
  header.Normalise();
  return 0;
}
