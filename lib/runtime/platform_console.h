// The operating-system side of the console and of the crash reporter:
// terminal detection and size, raw writes to standard output, the keyboard
// mode of a terminal on standard input, polling and reading standard input,
// stop signals (SIGINT, SIGTERM, SIGHUP), fault signals and process exit.
//
// Functions marked "signal-safe" may be called from a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quil::platform {

// True when standard output (fd 1) / standard input (fd 0) is a terminal.
bool StdoutIsTerminal();
bool StdinIsTerminal();

// The size of the terminal on standard output in character cells.  When the
// size can not be had (not a terminal, or the terminal reports 0), 80 columns
// and 24 rows are assumed.
void TerminalSize(int* columns, int* rows);

// Writes all of `bytes` to standard output, retrying interrupted calls and
// looping over partial writes.  Any other error (a closed pipe, a full disk)
// drops the rest silently: console output never ends a run.  With
// `flush_stdio` the C library's stdout buffer is flushed first, so that
// anything printed through it keeps its place.  Signal-safe when
// `flush_stdio` is false.
void WriteStdout(std::string_view bytes, bool flush_stdio = true);

// Makes writes to a closed pipe, and writes past a file-size limit, fail
// with an error instead of killing the process (SIGPIPE and SIGXFSZ are
// ignored from then on).
void IgnoreWriteSignals();

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is
// not open, so that no file opened later can become standard input, output
// or error: a base file read as key presses or written with console text.
// Runs before anything else of the console.
void OpenStandardDescriptors();

// ---------------------------------------------------------------------------
// Keyboard

// When standard input is a terminal and this process is in the terminal's
// foreground, switches it to non-canonical, no-echo mode (one byte at a
// time, signals from the keyboard still generated) and remembers the modes
// it had.  Returns true when the mode is set now or was set before; false
// when standard input is no terminal or the process runs in the background
// (reading would stop it).  The remembered modes are put back by
// RestoreTerminal.
bool EnterKeyboardMode();

// Puts back the terminal modes remembered by EnterKeyboardMode; nothing when
// they were never changed.  Safe to call any number of times.  Signal-safe.
void RestoreTerminal();

// True when standard input is a terminal whose foreground process group is
// not ours: reading it would stop the process.
bool InputInBackground();

enum class InputState {
  kNone,   // nothing to read yet
  kReady,  // a read will return at least one byte, or report the end
  kEnd,    // standard input is closed, ended or unusable
};

// Waits at most `timeout_ms` milliseconds (0: does not wait) for standard
// input to become readable.
InputState PollInput(int timeout_ms);

// Reads at most `size` bytes that are available on standard input.
// Returns the number of bytes read (> 0); 0 at the end of input or on an
// error that will not go away (a closed descriptor, a hung-up terminal); -1
// when nothing could be read just now (interrupted, would block).
int64_t ReadInput(uint8_t* dest, size_t size);

// Waits until a stop request is pending or, when `watch_input` is true,
// standard input becomes readable; at most `timeout_ms` milliseconds when
// that is not negative.  A stop request that arrives just before the wait is
// not missed.  Returns the input state (kNone when the wait ended because of
// a stop request or the timeout).
InputState WaitForInputOrStop(bool watch_input, int timeout_ms);

// ---------------------------------------------------------------------------
// Stop requests: SIGINT, SIGTERM and SIGHUP turn into a pending stop request
// instead of ending the process.  A second one that arrives while the first
// has not been seen by StopPending or taken by TakeStop ends the process at
// once: the terminal modes are restored and the exit status is 128 + the
// signal number.

// Installs the handlers.  Safe to call more than once.
void InstallStopSignals();

// True when a stop request is pending; marks it as seen (a later signal no
// longer ends the process but makes a new, unseen request).
bool StopPending();

// True when a stop request was pending; it is taken (no longer pending).
bool TakeStop();

// The number of the first stop signal that arrived in this process, 0 when
// none has.  Signal-safe.
int FirstStopSignal();

// ---------------------------------------------------------------------------
// Fault signals and process exit

// Called on SIGSEGV, SIGBUS, SIGILL or SIGFPE with the signal number and the
// faulting instruction's address relative to the load address of the
// program (or shared object) that holds it, cut to 32 bits.  It runs on an
// alternate stack (so a stack overflow is reported too) and must not return.
using FaultHandler = void (*)(int signal, uint32_t address);

// Installs `handler` for the four fault signals.  A second fault while the
// handler runs ends the process the default way.
void InstallFaultSignals(FaultHandler handler);

// Ends the process at once with `code` as its exit status: no destructors,
// no exit handlers, no buffer flushing.  Signal-safe.
[[noreturn]] void ExitNow(int code);

}  // namespace quil::platform
