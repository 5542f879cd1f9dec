// Fuzz harness: the input is a Squish base, split into its .sqd and its
// .sqi (see SplitInput).
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
      SplitInput(std::string_view(reinterpret_cast<const char*>(data), size), 2);
  PutFile(base + ".sqd", parts[0]);
  PutFile(base + ".sqi", parts[1]);
  CheckRoundTrip("s" + base, {base + ".sqd", base + ".sqi"});
  return 0;
}
