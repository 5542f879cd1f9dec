// The crash reporter, the memory report, and the global operator new and
// operator delete that count the heap.
//
// The crash report is put together in a fixed buffer and written with one
// raw write, so that it goes out from a fault handler too, where the heap
// and the C library's stdout may be in any state.
#include "runtime/crash_report.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/console.h"
#include "runtime/path_ops.h"
#include "runtime/platform_console.h"

namespace quil {
namespace {

// ---------------------------------------------------------------------------
// Heap accounting.  Every block carries a header in front of what the caller
// gets: the distance back to the start of the malloc'ed block and the size
// asked for, so that every form of operator delete can count exactly.

constexpr size_t kHeaderSize = alignof(std::max_align_t);
static_assert(kHeaderSize >= 2 * sizeof(size_t), "the block header needs two words");

std::atomic<int64_t> g_heap_in_use{0};

void* Allocate(size_t size, size_t alignment) noexcept {
  size_t offset = alignment > kHeaderSize ? alignment : kHeaderSize;
  if (size > SIZE_MAX - 2 * offset) return nullptr;
  size_t total = size + offset;
  void* block;
  if (alignment > kHeaderSize) {
    total = (total + alignment - 1) / alignment * alignment;
    block = std::aligned_alloc(alignment, total);
  } else {
    block = std::malloc(total);
  }
  if (block == nullptr) return nullptr;
  char* user = static_cast<char*>(block) + offset;
  size_t* header = reinterpret_cast<size_t*>(user) - 2;
  header[0] = offset;
  header[1] = size;
  g_heap_in_use.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed);
  return user;
}

void* AllocateOrThrow(size_t size, size_t alignment) {
  for (;;) {
    if (void* user = Allocate(size, alignment)) return user;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void Release(void* user) noexcept {
  if (user == nullptr) return;
  const size_t* header = static_cast<const size_t*>(user) - 2;
  size_t offset = header[0];
  g_heap_in_use.fetch_sub(static_cast<int64_t>(header[1]), std::memory_order_relaxed);
  std::free(static_cast<char*>(user) - offset);
}

// ---------------------------------------------------------------------------
// Error texts

struct ErrorEntry {
  int code;
  const char* text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {1, "invalid function number."},
    {2, "file not found."},
    {3, "path not found."},
    {4, "too many open files."},
    {5, "file access denied."},
    {6, "invalid file handle."},
    {12, "invalid file access code."},
    {15, "invalid drive number."},
    {16, "cannot remove current directory."},
    {17, "cannot rename across drives."},
    {18, "no more files."},
    {100, "disk read error."},
    {101, "disk write error."},
    {102, "file not assigned."},
    {103, "file not open."},
    {104, "file not open for input."},
    {105, "file not open for output."},
    {106, "invalid numeric format."},
    {150, "disk is write-protected."},
    {151, "unknown unit."},
    {152, "drive not ready."},
    {153, "unknown command."},
    {154, "crc error in data."},
    {155, "bad drive request structure length."},
    {156, "disk seek error."},
    {157, "unknown media type."},
    {158, "sector not found."},
    {159, "printer out of paper."},
    {160, "device write fault."},
    {161, "device read fault."},
    {162, "hardware failure."},
    {200, "division by zero."},
    {201, "range check error."},
    {202, "stack overflow error."},
    {203, "heap overflow error."},
    {204, "invalid pointer operation."},
    {205, "floating point overflow."},
    {206, "floating point underflow."},
    {207, "invalid floating point operation."},
    {208, "overlay manager not installed."},
    {209, "overlay file read error."},
    {210, "object not initialized."},
    {211, "call to abstract method."},
    {212, "stream registration error."},
    {213, "collection index out of range."},
    {214, "collection overflow error."},
    {215, "arithmetic overflow error."},
    {216, "general protection fault."},
};

constexpr const char* kUnknownError = "unknown error.";
constexpr std::string_view kRequestLine = "backup your data and report to the Quil issue tracker!";

// ---------------------------------------------------------------------------
// Report text, built without the heap.

class ReportText {
 public:
  void Append(std::string_view text) {
    for (char c : text) {
      if (size_ < sizeof(data_)) data_[size_++] = c;
    }
  }
  void AppendDecimal(int64_t value) {
    char digits[24];
    int n = 0;
    bool negative = value < 0;
    uint64_t rest = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
      digits[n++] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0);
    if (negative) Append("-");
    while (n > 0) Append(std::string_view(&digits[--n], 1));
  }
  void AppendTwoDigits(int value) {
    int v = value < 0 ? 0 : value % 100;
    char pair[2] = {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
    Append(std::string_view(pair, 2));
  }
  void AppendHex8(uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char hex[8];
    for (int i = 7; i >= 0; --i) {
      hex[i] = kDigits[value & 0xF];
      value >>= 4;
    }
    Append(std::string_view(hex, 8));
  }
  void AppendStamp(const platform::LocalTime& when) {
    Append("----- ");
    AppendTwoDigits(when.day);
    Append("-");
    AppendTwoDigits(when.month);
    Append("-");
    AppendTwoDigits(when.year % 100);
    Append(", ");
    AppendTwoDigits(when.hour);
    Append(":");
    AppendTwoDigits(when.minute);
    Append(":");
    AppendTwoDigits(when.second);
  }
  std::string_view View() const { return std::string_view(data_, size_); }

 private:
  char data_[1024];
  size_t size_ = 0;
};

std::string_view BaseName(const char* path) {
  std::string_view name(path == nullptr ? "" : path);
  size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

// ---------------------------------------------------------------------------
// Report destination and exit handlers

constexpr size_t kReportFileNameMax = 255;
char g_report_file_name[kReportFileNameMax];
size_t g_report_file_name_size = 0;

// Room for this many handlers is taken at library start, and more in steps
// of as many, so that adding a handler does not show in the memory report.
constexpr size_t kExitHandlerStep = 16;
std::vector<ExitHandler> g_exit_handlers;
volatile std::sig_atomic_t g_exit_handlers_ran = 0;

void RunExitHandlers() {
  if (g_exit_handlers_ran) return;
  g_exit_handlers_ran = 1;
  for (ExitHandler handler : g_exit_handlers) handler();
}

// Appends `text` to the report file: the existing file opened for writing,
// else a new one.  False when it could not be written.
bool AppendToReportFile(std::string_view text, bool make_directories) {
  std::string_view name = ReportFileName();
  if (make_directories) CreateDirectories(name);
  int error = 0;
  platform::Handle file = platform::OpenFile(name, platform::kModeReadWrite, &error);
  if (file == platform::kNoHandle) file = platform::OpenFile(name, platform::kModeCreate, &error);
  if (file == platform::kNoHandle) return false;
  int64_t size = platform::FileSize(file, &error);
  bool ok = size >= 0 && platform::SeekFile(file, size, &error) &&
            platform::WriteFile(file, text.data(), text.size(), &error);
  return platform::CloseFile(file) == platform::kOk && ok;
}

volatile std::sig_atomic_t g_crashing = 0;

// Writes the crash report and ends the process.  `file` null: the report
// gives `address` instead of a source location.
[[noreturn]] void CrashExit(int code, const char* file, unsigned line, uint32_t address) {
  if (g_crashing) platform::ExitNow(code);  // a fault while reporting one
  g_crashing = 1;
  console::BeforeCrashReport();
  RunExitHandlers();
  ReportText report;
  report.Append("\n");
  report.AppendStamp(platform::Now());
  report.Append("\nhi, i'm excepted with error number ");
  report.AppendDecimal(code);
  if (file != nullptr) {
    report.Append(" in [");
    report.Append(BaseName(file));
    report.Append("] line #");
    report.AppendDecimal(line);
    report.Append(".");
  } else {
    report.Append(" at ");
    report.AppendHex8(address);
    report.Append(".");
  }
  report.Append("\nidentifier: ");
  report.Append(ErrorText(code));
  report.Append("\n");
  report.Append(kRequestLine);
  report.Append("\n");
  if (ReportFileName().empty() || !AppendToReportFile(report.View(), true)) {
    platform::WriteStdout(report.View(), false);
  }
  platform::RestoreTerminal();
  platform::ExitNow(code);
}

void OnFault(int signal, uint32_t address) {
  CrashExit(signal == SIGFPE ? kErrorDivisionByZero : kErrorProtectionFault, nullptr, 0, address);
}

void OnTerminate() {
  std::fflush(stdout);
  int code = kErrorUncaughtException;
  if (std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
      code = kErrorHeapOverflow;
    } catch (...) {
    }
  }
  CrashExit(code, nullptr, 0, 0);
}

// Library start.
int64_t g_initial_heap = 0;
int64_t g_baseline = 0;

struct LibraryStart {
  LibraryStart() {
    g_exit_handlers.reserve(kExitHandlerStep);
    std::atexit(RunExitHandlers);
    g_initial_heap = HeapInUse();
    g_baseline = 0;
    std::set_terminate(OnTerminate);
  }
};

LibraryStart g_library_start;

}  // namespace

void SetReportFileName(std::string_view name) {
  g_report_file_name_size = std::min(name.size(), kReportFileNameMax);
  name.copy(g_report_file_name, g_report_file_name_size);
}

std::string_view ReportFileName() {
  return std::string_view(g_report_file_name, g_report_file_name_size);
}

void AddExitHandler(ExitHandler handler) {
  if (g_exit_handlers.size() == g_exit_handlers.capacity()) {
    g_exit_handlers.reserve(g_exit_handlers.capacity() + kExitHandlerStep);
  }
  g_exit_handlers.push_back(handler);
}

int64_t HeapInUse() { return g_heap_in_use.load(std::memory_order_relaxed); }

const char* ErrorText(int code) {
  for (const ErrorEntry& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return kUnknownError;
}

std::string ReportStamp(const platform::LocalTime& when) {
  ReportText text;
  text.AppendStamp(when);
  return std::string(text.View());
}

void StartOfRun() {
  console::Start();
  platform::InstallFaultSignals(OnFault);
  g_baseline = HeapInUse() - g_initial_heap;
}

void EndOfRunReport() {
  int64_t leak = HeapInUse() - g_initial_heap - g_baseline;
  if (leak <= 0) return;
  const std::string stamp = ReportStamp(platform::Now());
  const std::string line = "memory leak is " + std::to_string(leak) + " byte(s).";
  if (!ReportFileName().empty() && AppendToReportFile("\n" + stamp + "\n" + line + "\n", false)) {
    return;
  }
  console::WriteLine();
  console::WriteLine(stamp);
  console::WriteLine(line);
  console::Flush();
}

void Halt(int code) {
  console::EndOfProcess();
  std::exit(code);
}

void ReportRunError(int code, const char* file, unsigned line) {
  std::fflush(stdout);
  CrashExit(code, file, line, 0);
}

}  // namespace quil

// ---------------------------------------------------------------------------
// The replaced global allocation functions.

void* operator new(std::size_t size) { return quil::AllocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return quil::AllocateOrThrow(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return quil::Allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return quil::Allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return quil::AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return quil::AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return quil::Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return quil::Allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept { quil::Release(block); }
void operator delete[](void* block) noexcept { quil::Release(block); }
void operator delete(void* block, std::size_t) noexcept { quil::Release(block); }
void operator delete[](void* block, std::size_t) noexcept { quil::Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { quil::Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { quil::Release(block); }
void operator delete(void* block, std::align_val_t) noexcept { quil::Release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { quil::Release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { quil::Release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  quil::Release(block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  quil::Release(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  quil::Release(block);
}
