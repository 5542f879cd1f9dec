// Fuzz harness: the input is a JAM base, split into its .jhr, .jdt and .jdx
// (see SplitInput).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil::fuzz;
  ClearScratch();
  const std::string base = Scratch() + "/in";
  std::vector<std::string_view> parts =
      SplitInput(std::string_view(reinterpret_cast<const char*>(data), size), 3);
  PutFile(base + ".jhr", parts[0]);
  PutFile(base + ".jdt", parts[1]);
  PutFile(base + ".jdx", parts[2]);
  CheckRoundTrip("j" + base, {base + ".jhr", base + ".jdt", base + ".jdx"});
  return 0;
}
