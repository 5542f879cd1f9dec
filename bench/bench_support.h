// Shared by the benchmarks: running one of the programs as a user does.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace quil::bench {

struct ProgramRun {
  int exit_code = -1;  // 128 + the signal when a signal ended it
  double seconds = 0;
  long peak_kb = 0;  // its largest resident memory
};

// Runs `program` with `args`, standard input and output /dev/null.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::fflush(stdout);  // or the child writes what is buffered a second time
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "r", stdin)) _exit(127);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
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

}  // namespace quil::bench
