// Fuzz harness: the input is an area file (AREAS.BBS).  Every base spec it
// lists is one word of at most 255 characters, and normalises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bases/area_file.h"
#include "bases/base_opener.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quil;
  const std::vector<std::string> specs =
      ParseAreaFile(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const std::string& spec : specs) {
    if (spec.empty() || spec.size() > 255 || spec.find_first_of(" \t\r\n;") != std::string::npos) {
      std::fprintf(stderr, "area file gave the base spec [%s]\n", spec.c_str());
      std::abort();
    }
    (void)NormaliseSpec(spec);
  }
  return 0;
}
