// Fuzz harness: the input is a type 2+ packet.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil::fuzz;
  ClearScratch();
  const std::string path = Scratch() + "/in.pkt";
  PutFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  CheckRoundTrip("p" + path, {path});
  return 0;
}
