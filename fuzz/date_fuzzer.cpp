// Fuzz harness: the input is a date text as a message header gives it.  It
// is parsed as a read does, and the date it gives goes through every stored
// form, as writers and the sorter use it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/dates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil;
  DateText text = std::string_view(reinterpret_cast<const char*>(data), size);
  DateTime written;
  NormaliseDate(&text, &written);
  (void)FormatDate(written);
  (void)IsValidDate(written);
  (void)UnpackStamp(SwapStamp(PackStamp(written)));
  (void)SecondsToDate(DateToSeconds(written));
  return 0;
}
