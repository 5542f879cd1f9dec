#include "runtime/run_error.h"

#include <cstdio>
#include <cstdlib>

namespace quil {

void RunError(int code, std::source_location where) {
  std::fflush(stdout);
  std::printf("run-time error %d in [%s] line #%u.\n", code, where.file_name(),
              static_cast<unsigned>(where.line()));
  std::fflush(stdout);
  std::_Exit(code);
}

}  // namespace quil
