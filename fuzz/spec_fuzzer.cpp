// Fuzz harness: the input is a base spec as a user types it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bases/base_opener.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil;
  const std::string spec = NormaliseSpec(std::string_view(reinterpret_cast<const char*>(data), size));
  (void)SpecMark(spec);
  (void)NormaliseSpec(spec);
  return 0;
}
