#include "runtime/run_error.h"

#include "runtime/crash_report.h"

namespace quil {

void RunError(int code, std::source_location where) {
  ReportRunError(code, where.file_name(), static_cast<unsigned>(where.line()));
}

}  // namespace quil
