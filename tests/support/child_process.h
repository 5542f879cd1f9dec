// Runs a child process and talks to it through pipes or a pseudo-terminal:
// this test program again with a private switch, which the test's main()
// hands to a child scenario (the console and crash-reporter tests), or
// another program.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quil::testing {

inline constexpr std::string_view kChildSwitch = "--quil-child=";

using Scenario = int (*)();

// For main(): when argv names a child scenario, runs it and returns true
// with its exit status in *status.
inline bool RunChildScenario(int argc, char** argv,
                             const std::map<std::string, Scenario>& scenarios, int* status) {
  if (argc != 2 || !std::string_view(argv[1]).starts_with(kChildSwitch)) return false;
  auto it = scenarios.find(std::string(std::string_view(argv[1]).substr(kChildSwitch.size())));
  *status = it == scenarios.end() ? 99 : it->second();
  return true;
}

// The main() of a test program with child scenarios: runs the scenario
// that argv names, or else the tests.
inline int RunTestsOrScenario(int argc, char** argv,
                              const std::map<std::string, Scenario>& scenarios) {
  int status = 0;
  if (RunChildScenario(argc, argv, scenarios, &status)) return status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

class ChildProcess {
 public:
  // kTerminal: stdin and stdout are a new pseudo-terminal of `columns` x
  // `rows`, the child's controlling terminal; kPipes: two pipes.
  enum class Mode { kPipes, kTerminal };

  ChildProcess(const std::string& scenario, Mode mode, int columns = 80, int rows = 24) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return;
    Start(self, {std::string(kChildSwitch) + scenario}, mode, columns, rows);
  }

  // Runs `scenario` on pipes with `input` waiting on its standard input
  // before it starts, however the two processes are scheduled; Send more or
  // CloseInput as usual.
  ChildProcess(const std::string& scenario, std::string_view input) : initial_input_(input) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return;
    Start(self, {std::string(kChildSwitch) + scenario}, Mode::kPipes, 80, 24);
  }

  // Runs another program with `args` the same way.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, Mode mode,
               int columns = 80, int rows = 24) {
    Start(program, args, mode, columns, rows);
  }

  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    for (int fd : {output_, terminal_}) {
      if (fd >= 0) close(fd);
    }
  }

  bool started() const { return pid_ > 0; }
  // True when the child has ended; it is left to Wait() to reap it.
  bool Ended() const {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }
  const std::string& output() const { return output_text_; }
  void Signal(int sig) { kill(pid_, sig); }

  // Waits until the child has stopped (it is left stopped) while reading
  // its output; false when it ends instead, or after 20 seconds.
  bool WaitUntilStopped() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      siginfo_t info{};
      const int options = WSTOPPED | WEXITED | WNOHANG | WNOWAIT;
      if (waitid(P_PID, static_cast<id_t>(pid_), &info, options) == 0 && info.si_pid == pid_) {
        return info.si_code == CLD_STOPPED;
      }
      ReadSome(10);
    }
    return false;
  }

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = write(input_, bytes.data(), bytes.size());
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  // Closes the child's standard input (pipes only).
  void CloseInput() {
    if (input_ >= 0 && input_ != output_) close(input_);
    input_ = -1;
  }

  // Reads output until it contains `marker`; false after 20 seconds.
  bool ReadUntil(std::string_view marker) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output_text_.find(marker) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || (!ReadSome(50) && closed_)) return false;
    }
    return true;
  }

  // Waits for the end of the child (killing it after 20 seconds) and its
  // output.  Returns the exit status, or minus the signal that ended it.
  int Wait() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      ReadSome(10);
      if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
    }
    reaped_ = true;
    while (ReadSome(50)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

  // The local modes of the child's terminal (kTerminal only).
  tcflag_t LocalModes() const {
    struct termios modes = {};
    tcgetattr(terminal_, &modes);
    return modes.c_lflag;
  }

 private:
  void Start(const std::string& program, const std::vector<std::string>& args, Mode mode,
             int columns, int rows) {
    std::fflush(nullptr);
    signal(SIGPIPE, SIG_IGN);  // a child that ended early must not end the test
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    if (mode == Mode::kPipes) {
      if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return;
      input_ = in_pipe[1];
      output_ = out_pipe[0];
      Send(initial_input_);  // a few bytes: far less than a pipe holds
    } else {
      struct winsize size = {};
      size.ws_col = static_cast<unsigned short>(columns);
      size.ws_row = static_cast<unsigned short>(rows);
      if (openpty(&output_, &terminal_, nullptr, nullptr, &size) != 0) return;
      input_ = output_;
    }
    pid_ = fork();
    if (pid_ == 0) {
      if (mode == Mode::kPipes) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
      } else {
        setsid();
        ioctl(terminal_, TIOCSCTTY, 0);
        dup2(terminal_, STDIN_FILENO);
        dup2(terminal_, STDOUT_FILENO);
      }
      for (int fd = 3; fd < 256; ++fd) close(fd);
      execv(program.c_str(), argv.data());
      _exit(98);
    }
    if (mode == Mode::kPipes) {
      close(in_pipe[0]);
      close(out_pipe[1]);
    }
  }

  // Reads what comes within `timeout_ms`; false when nothing came.
  bool ReadSome(int timeout_ms) {
    struct pollfd fd = {output_, POLLIN, 0};
    if (closed_ || poll(&fd, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(output_, buffer, sizeof(buffer));
    if (n <= 0) closed_ = true;
    if (n > 0) output_text_.append(buffer, static_cast<size_t>(n));
    return n > 0;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int input_ = -1;
  int output_ = -1;
  int terminal_ = -1;  // the child's side, kept open to read the modes
  bool closed_ = false;
  std::string output_text_;
  std::string initial_input_;
};

// Runs `scenario` on pipes, with `input` on a standard input that is then
// closed; returns the exit status and the output in *output.
inline int RunChild(const std::string& scenario, std::string* output, std::string_view input = {}) {
  ChildProcess child(scenario, input);
  child.CloseInput();
  int status = child.started() ? child.Wait() : -1000;
  *output = child.output();
  return status;
}

}  // namespace quil::testing
