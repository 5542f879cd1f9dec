// Fuzz harness: the input is the one message file 1.msg of a Fido directory.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil::fuzz;
  ClearScratch();
  const std::string dir = Scratch() + "/in";
  std::filesystem::create_directory(dir);
  const std::string path = dir + "/1.msg";
  PutFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  CheckRoundTrip("f" + dir, {path});
  return 0;
}
