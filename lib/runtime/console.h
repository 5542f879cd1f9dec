// The console of the two programs: line output on standard output, a
// progress counter rewritten in place, and a keyboard poll on standard input.
//
// Positions are 1-based, column first.  Columns and rows are those of the
// text written through this layer since the program started: the row goes up
// by one for every line break (and, on a terminal, for every line that wraps
// at the right edge), so a row number may be larger than the screen is high;
// keep it in an int.  Only positions taken from CursorColumn and CursorRow
// mean anything to PutText.
//
// On a terminal, text goes out as it is written, and PutText redraws the
// cells in place with ANSI save-cursor, cursor-up, column and restore-cursor
// sequences in one write: the cursor does not move.  The text is clipped at
// the right edge, and a row that has scrolled off the top is not drawn.
//
// When standard output is not a terminal (a file, a pipe), the current line
// is kept as a row of cells and a cursor column, and goes out only when the
// line ends, reading exactly as the finished screen line would.  Example:
// "reading message... " followed by PutText("#120") at the column after it
// and a line break gives "reading message... #120"; writing "terminated!" at
// the cursor after that label, over the counter, gives
// "reading message... terminated!".  No escape sequence is ever written
// there.  Every line ends with a single line feed.
//
// Keyboard: when standard input is a terminal it is switched to
// non-canonical, no-echo mode at Start and put back on every way out (normal
// end, Halt, run-time error, fault, stop signal).  Otherwise every byte that
// can be read from standard input is a key, and once it reports its end no
// key is ever waiting again.  SIGINT, SIGTERM and SIGHUP arrive as an Escape
// key (see platform_console.h for a second signal).
#pragma once

#include <cstdint>
#include <string_view>

namespace quil::console {

// The key code of Escape, as ReadKey returns it.
constexpr int kEscape = 27;

// Sets the console up: opens /dev/null on each of the standard descriptors
// 0, 1 and 2 that is not open (so that no base file opened later can take
// their place), finds out whether standard input and output are terminals,
// switches the keyboard mode, turns stop signals into Escape, makes a closed
// output pipe harmless (SIGPIPE ignored), and arranges for EndOfProcess to
// run at the normal end of the process.  Runs once; every other function of
// this layer calls it first, and StartOfRun does too.
void Start();

// Writes `text` at the cursor.  Line feed (10) ends the line, carriage
// return (13) goes back to column 1, backspace (8) one column left, tab (9)
// to the next multiple of eight plus one; bell (7) is dropped when standard
// output is not a terminal.  Every other byte takes one cell and moves the
// cursor right (on a terminal, UTF-8 continuation bytes take none).
void Write(std::string_view text);

// Write(text), then ends the line with a line feed.
void WriteLine(std::string_view text = {});

// Forces what was written so far out.  A line that is not finished is held
// back while standard output is not a terminal (a counter may still be drawn
// into it); it goes out when it ends or at the end of the process.
void Flush();

// The cursor position (see the top of this file).
int CursorColumn();
int CursorRow();

// Writes `text` into the cells from (column, row) on without moving the
// cursor.  Control bytes show as "?".  Nothing is drawn for a row below the
// cursor's; on a terminal nothing either for a row that scrolled off, and the
// text is cut at the right edge; otherwise only the cursor's row can change
// (earlier lines are out already) and columns beyond kMaxLineCells are cut.
void PutText(std::string_view text, int column, int row);

// As PutText, in the colours of a PC text attribute: low four bits the
// foreground, high four bits the background (bit 3 of each: bright).  The
// colours show on a terminal only.
void PutTextColoured(uint8_t attribute, std::string_view text, int column, int row);

// The widest line that PutText fills when standard output is not a terminal.
constexpr int kMaxLineCells = 1024;

// True when a key is waiting (or the second half of an extended key, or a
// stop request).  Never waits, never takes the key.
bool KeyPressed();

// The next key, 0 to 255, waiting for one when none is waiting.  A pending
// stop request comes first, as kEscape.  On a terminal a cursor, editing or
// function key arrives as 0 and then its PC scan code on the next call
// (Up 72, Down 80, Left 75, Right 77, Home 71, End 79, PgUp 73, PgDn 81,
// Ins 82, Del 83, F1-F10 59-68, F11 133, F12 134; an unknown sequence 0), so
// it never reads as Escape; Escape alone is kEscape.  From a non-terminal
// every byte is returned as it is.
int ReadKey();

// The exit status of a run that ended because a stop was asked for: 128 +
// the number of the first stop signal (SIGINT, SIGTERM, SIGHUP) that
// arrived, so that cron and service managers see the work unfinished; 0
// when none did and a key stopped the run.
int StopExitStatus();

// A progress counter after a label: "#" and a number at the cell where the
// label ended, redrawn in place.  Drawing costs a terminal write, so Tick
// redraws at most every kRedrawMilliseconds; Show always draws (the final
// value, once the work is done).
class ProgressCounter {
 public:
  static constexpr uint32_t kRedrawMilliseconds = 200;

  // Writes `label` and remembers where the counter goes.
  void Start(std::string_view label);
  // Shows `n` unless the counter was drawn less than kRedrawMilliseconds ago.
  void Tick(int64_t n);
  // Shows `n` now.
  void Show(int64_t n);

 private:
  int column_ = 1;
  int row_ = 1;
  bool drawn_ = false;
  uint32_t last_redraw_ = 0;
};

// The ways out, used by the crash reporter.
//
// EndOfProcess: sends out a held line (with a line feed) and restores the
// terminal modes.  Runs at the normal end of the process and from Halt; safe
// to run more than once.
void EndOfProcess();

// BeforeCrashReport: sends out a held line as it stands, without a line
// feed, so that a report written next comes after it.  Does not allocate.
void BeforeCrashReport();

}  // namespace quil::console
