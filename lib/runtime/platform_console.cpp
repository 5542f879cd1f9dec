// POSIX implementation of the console and crash-reporter platform side.
//
// State that a signal handler touches is kept in volatile sig_atomic_t
// flags and plain static storage; nothing here allocates.
#include "runtime/platform_console.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>

namespace quil::platform {
namespace {

constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
constexpr size_t kAltStackSize = 64 * 1024;

// Stop-request states.
constexpr sig_atomic_t kStopNone = 0;
constexpr sig_atomic_t kStopUnseen = 1;
constexpr sig_atomic_t kStopSeen = 2;

volatile sig_atomic_t g_stop_state = kStopNone;
volatile sig_atomic_t g_first_stop_signal = 0;
volatile sig_atomic_t g_stop_installed = 0;

// Terminal modes saved by EnterKeyboardMode.
struct termios g_saved_modes;
volatile sig_atomic_t g_modes_changed = 0;

FaultHandler g_fault_handler = nullptr;
alignas(16) char g_alt_stack[kAltStackSize];

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

void OnStopSignal(int sig) {
  if (g_stop_state == kStopUnseen) {
    // The first request has not been looked at yet: the user insists.
    RestoreTerminal();
    _exit(128 + sig);
  }
  if (g_first_stop_signal == 0) g_first_stop_signal = sig;
  g_stop_state = kStopUnseen;
}

uintptr_t InstructionAddress([[maybe_unused]] const siginfo_t* info, void* context) {
  [[maybe_unused]] const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
  // For SIGILL and SIGFPE this is the instruction; for SIGSEGV and SIGBUS
  // the data address, which is the best there is here.
  return reinterpret_cast<uintptr_t>(info->si_addr);
#endif
}

void OnFaultSignal(int sig, siginfo_t* info, void* context) {
  uintptr_t address = InstructionAddress(info, context);
  // Relative to the object's load address, so that the number matches the
  // program file (and fits in eight hex digits) whatever the load address.
  Dl_info object;
  if (address != 0 && dladdr(reinterpret_cast<void*>(address), &object) != 0 &&
      object.dli_fbase != nullptr) {
    address -= reinterpret_cast<uintptr_t>(object.dli_fbase);
  }
  if (g_fault_handler != nullptr) g_fault_handler(sig, static_cast<uint32_t>(address));
  _exit(128 + sig);
}

}  // namespace

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

void TerminalSize(int* columns, int* rows) {
  struct winsize size = {};
  bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  *columns = known && size.ws_col > 0 ? size.ws_col : kDefaultColumns;
  *rows = known && size.ws_row > 0 ? size.ws_row : kDefaultRows;
}

void WriteStdout(std::string_view bytes, bool flush_stdio) {
  if (flush_stdio) std::fflush(stdout);
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = write(STDOUT_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

void IgnoreWriteSignals() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  // A file-size limit then makes a write fail with a full-disk error that
  // the program reports, instead of killing it.
  sigaction(SIGXFSZ, &action, nullptr);
}

void OpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is taken, which is `fd` itself as the lower
    // ones are open by now; dup2 only guards against the unexpected.
    int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened < 0) continue;  // no /dev/null: nothing better is at hand
    if (opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

bool InputInBackground() {
  if (isatty(STDIN_FILENO) != 1) return false;
  pid_t foreground = tcgetpgrp(STDIN_FILENO);
  // -1: not our controlling terminal, so job control does not stop us.
  return foreground != -1 && foreground != getpgrp();
}

bool EnterKeyboardMode() {
  if (g_modes_changed) return true;
  if (isatty(STDIN_FILENO) != 1 || InputInBackground()) return false;
  struct termios modes;
  if (tcgetattr(STDIN_FILENO, &modes) != 0) return false;
  g_saved_modes = modes;
  modes.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  modes.c_cc[VMIN] = 1;
  modes.c_cc[VTIME] = 0;
  g_modes_changed = 1;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &modes) != 0) {
    g_modes_changed = 0;
    return false;
  }
  return true;
}

void RestoreTerminal() {
  if (!g_modes_changed) return;
  // A process that was moved to the background must still be able to put
  // the modes back; with SIGTTOU blocked the terminal allows it.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTTOU);
  sigprocmask(SIG_BLOCK, &block, &old);
  while (tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_modes) != 0 && errno == EINTR) {
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  g_modes_changed = 0;
}

namespace {

InputState StateOf(const struct pollfd& fd) {
  if (fd.revents & POLLIN) return InputState::kReady;
  if (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) return InputState::kEnd;
  return InputState::kNone;
}

}  // namespace

InputState PollInput(int timeout_ms) {
  struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
  int result = poll(&fd, 1, timeout_ms);
  if (result <= 0) return InputState::kNone;  // timeout or interrupted
  return StateOf(fd);
}

int64_t ReadInput(uint8_t* dest, size_t size) {
  ssize_t got = read(STDIN_FILENO, dest, size);
  if (got > 0) return got;
  if (got == 0) return 0;
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return -1;
  return 0;  // EIO, EBADF and the like do not go away
}

InputState WaitForInputOrStop(bool watch_input, int timeout_ms) {
  sigset_t stops = StopSignalSet();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &stops, &old);
  InputState state = InputState::kNone;
  if (g_stop_state == kStopNone) {
    // ppoll unblocks the stop signals only while it waits, so a request
    // that came in before the wait is seen above and one during it ends it.
    struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
    struct timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    int result = ppoll(&fd, watch_input ? 1 : 0, timeout_ms < 0 ? nullptr : &timeout, &old);
    if (result > 0) state = StateOf(fd);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return state;
}

void InstallStopSignals() {
  if (g_stop_installed) return;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  // Other stop signals wait while one is handled, so two at once count as
  // two.  No SA_RESTART: a blocking wait returns and looks at the request.
  action.sa_mask = StopSignalSet();
  for (int sig : kStopSignals) sigaction(sig, &action, nullptr);
  g_stop_installed = 1;
}

bool StopPending() {
  if (g_stop_state == kStopNone) return false;
  if (g_stop_state == kStopUnseen) g_stop_state = kStopSeen;
  return true;
}

bool TakeStop() {
  sigset_t stops = StopSignalSet();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &stops, &old);
  bool pending = g_stop_state != kStopNone;
  g_stop_state = kStopNone;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return pending;
}

int FirstStopSignal() { return g_first_stop_signal; }

void InstallFaultSignals(FaultHandler handler) {
  g_fault_handler = handler;
  stack_t stack = {};
  stack.ss_sp = g_alt_stack;
  stack.ss_size = sizeof(g_alt_stack);
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_sigaction = OnFaultSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  // A fault inside the handler, of any kind, then ends the process the
  // default way instead of running the handler again.
  sigemptyset(&action.sa_mask);
  for (int sig : kFaultSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kFaultSignals) sigaction(sig, &action, nullptr);
}

void ExitNow(int code) { _exit(code); }

}  // namespace quil::platform
