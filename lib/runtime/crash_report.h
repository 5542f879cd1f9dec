// The crash reporter and the memory report.
//
// Library start (automatic, during static initialisation, once per process)
// records the heap use at that moment and installs the handler for uncaught
// exceptions.  A program then calls StartOfRun as its first statement and
// EndOfRunReport as its last before a normal end.
//
// The heap counted is what was allocated through the global operator new
// (every form) and not yet given back through operator delete.  This file's
// implementation replaces those operators for the whole program; calling
// StartOfRun is what links it in.
//
// Every way a run-time error ends the program writes the same crash report
// to the report destination (standard output unless SetReportFileName names
// a file), after the console's unfinished line:
//
//   <line break>
//   ----- dd-mm-yy, hh:mm:ss
//   hi, i'm excepted with error number N in [file.cpp] line #L.
//   identifier: <ErrorText(N)>
//   backup your data and report to <contact>!
//
// and ends the process with N as its exit status, after the terminal modes
// are restored.  The second line names the source file (no directories) and
// line for errors raised through RunError; for a fault signal it reads
// "... number N at xxxxxxxx." with the faulting instruction's address
// relative to the program's load address, in eight lower-case hex digits.
// SIGFPE gives 200, SIGSEGV, SIGBUS and SIGILL 216, an uncaught
// std::bad_alloc 203 and any other uncaught exception 217 (both "at
// 00000000": an exception carries no address).  A normal end, and an end by
// Halt with any code, write no crash report.
//
// The exit handlers run once at every end of the process: a normal end, Halt,
// and a run-time error (there before the crash report).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/platform.h"

namespace quil {

// Error numbers the reporter gives to faults of its own.
constexpr int kErrorDivisionByZero = 200;
constexpr int kErrorHeapOverflow = 203;
constexpr int kErrorProtectionFault = 216;
constexpr int kErrorUncaughtException = 217;

// Takes the baseline for the memory report: the heap in use now, relative to
// the heap in use at library start.  Also starts the console (console.h) and
// from now on turns fault signals into crash reports.
void StartOfRun();

// Measures the heap again; when more is in use than at StartOfRun, writes
// through the console a line break, "----- " with the date and time, and
// "memory leak is N byte(s).", N the difference in bytes.  Writes nothing
// otherwise.
void EndOfRunReport();

// Ends the program with exit status `code`: the console's unfinished line
// goes out, the terminal modes are restored, exit handlers and static
// destructors run (std::exit).  Objects on the stack are not destroyed, so
// close open bases first.  No memory report, no crash report.
[[noreturn]] void Halt(int code);

// Where both reports go.  Empty (the default) is standard output; a name is
// a file that the report is appended to, created when missing (before a
// crash report, with every missing directory on its path).  A report that
// can not be written to the file goes to standard output instead, so it is
// never lost.  Cut at 255 characters.  Neither program sets it.
void SetReportFileName(std::string_view name);
std::string_view ReportFileName();

// A procedure for the end of the process.  The handlers are called first to
// last, once, at every end of the process (see above).  Neither program adds
// one.
using ExitHandler = void (*)();
void AddExitHandler(ExitHandler handler);

// The text of a run-time error number ("call to abstract method." for 211);
// "unknown error." for every number not in the table.
const char* ErrorText(int code);

// "----- dd-mm-yy, hh:mm:ss" for `when`: every field two digits with a
// leading "0", the year modulo 100.
std::string ReportStamp(const platform::LocalTime& when);

// Bytes allocated through operator new and not yet freed, in this process.
int64_t HeapInUse();

// The crash path of RunError: writes the crash report for error `code`
// raised in `file` (a path; only its last component is shown) at `line`,
// then ends the process with status `code`.
[[noreturn]] void ReportRunError(int code, const char* file, unsigned line);

}  // namespace quil
