// Shared by the parts of the benchmark: running one of the programs (or cp)
// as a user does, the median of several runs, and the hostile files.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace quil::bench {

struct ProgramRun {
  int exit_code = -1;  // 128 + the signal when a signal ended it
  double seconds = 0;
  long peak_kb = 0;  // its largest resident memory (getrusage of the child)
};

// Runs `program` with `args`, standard input and output /dev/null, and
// waits for it.  The child's peak memory is only its own as long as this
// process is small when it forks (a forked child starts out as large as its
// parent), which the benchmark sees to.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::fflush(stdout);  // or the child writes what is buffered a second time
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  ProgramRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.peak_kb = usage.ru_maxrss;
  return run;
}

// The median of `values` (not empty).
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// One line of the hostile-files table.
struct HostileResult {
  std::string name;
  double seconds = 0;
  double peak_mib = 0;
  int exit_code = 0;
  int messages = 0;  // in the destination afterwards
  bool ok = false;   // under the bars, and every message there once
};

// Copies hostile and damaged files with the converter `xfer`, each made in
// a scratch directory under `root` (removed afterwards): the bar for each is
// under a second, under 64 MiB, and every message that is there arrives
// once (a destination that is full refuses the copy).
std::vector<HostileResult> RunHostileFiles(const std::string& xfer, const std::string& root);

}  // namespace quil::bench
