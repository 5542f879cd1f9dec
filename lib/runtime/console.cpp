// The console layer: a model of the cursor (and, off a terminal, of the
// current line), positioned writes, and keyboard decoding.
//
// The layer's own storage comes from malloc and lives in static storage with
// no destructor: it is not counted by the memory report (a growing line
// buffer is no leak of the program's), and it is still usable from exit
// handlers that run after static destructors.
#include "runtime/console.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/platform.h"
#include "runtime/platform_console.h"

namespace quil::console {
namespace {

constexpr size_t kInputSize = 64;
// How long an Escape byte from a terminal waits for the rest of a key
// sequence; terminals send a sequence in one piece, a person is slower.
constexpr int kSequenceWaitMs = 50;
constexpr size_t kMaxSequenceLength = 16;
constexpr int kBackgroundRecheckMs = 200;
constexpr int kTabWidth = 8;
constexpr std::string_view kSaveCursor = "\0337";
constexpr std::string_view kRestoreCursor = "\0338";

// A byte buffer on malloc that is never given back.
struct Bytes {
  char* data;
  size_t size;
  size_t capacity;

  bool Reserve(size_t wanted) {
    if (wanted <= capacity) return true;
    size_t grown = capacity < 128 ? 128 : capacity * 2;
    if (grown < wanted) grown = wanted;
    void* moved = std::realloc(data, grown);
    if (moved == nullptr) return false;
    data = static_cast<char*>(moved);
    capacity = grown;
    return true;
  }
  void Append(std::string_view bytes) {
    if (bytes.empty() || !Reserve(size + bytes.size())) return;
    std::memcpy(data + size, bytes.data(), bytes.size());
    size += bytes.size();
  }
  void AppendNumber(int value) {
    char digits[12];
    int n = 0;
    unsigned rest = value < 0 ? 0u : static_cast<unsigned>(value);
    do {
      digits[n++] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0);
    while (n > 0) Append(std::string_view(&digits[--n], 1));
  }
  std::string_view View() const { return std::string_view(data, size); }
};

struct State {
  bool started;
  bool out_terminal;
  bool in_terminal;
  // Cursor, 1-based.  On a terminal `wrap_pending` says the last column was
  // just written: the next printable byte goes to the start of a new row.
  int column;
  int row;
  bool wrap_pending;
  Bytes line;  // off a terminal: the cells of the current line
  Bytes out;   // on a terminal: one positioned write being put together
  // Keyboard.
  uint8_t input[kInputSize];
  size_t input_begin;
  size_t input_end;
  bool input_ended;
  int pending_scan;  // second half of an extended key, or -1
};

State g;  // zero-initialised before any code runs; Start fills in the rest

// ---------------------------------------------------------------------------
// Output

bool IsControl(uint8_t c) { return c < 0x20 || c == 0x7F; }
bool IsContinuation(uint8_t c) { return (c & 0xC0) == 0x80; }

void PutCell(size_t index, char c) {
  if (index > g.line.size) {
    if (!g.line.Reserve(index + 1)) return;
    std::memset(g.line.data + g.line.size, ' ', index - g.line.size);
    g.line.size = index;
  }
  if (index == g.line.size) {
    g.line.Append(std::string_view(&c, 1));
  } else {
    g.line.data[index] = c;
  }
}

void EndHeldLine() {
  g.line.Append("\n");
  platform::WriteStdout(g.line.View());
  g.line.size = 0;
  g.column = 1;
  ++g.row;
}

int NextTabColumn(int column) { return (column - 1) / kTabWidth * kTabWidth + kTabWidth + 1; }

// Off a terminal: apply `text` to the held line.
void WriteToLine(std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\n':
        EndHeldLine();
        break;
      case '\r':
        g.column = 1;
        break;
      case '\b':
        if (g.column > 1) --g.column;
        break;
      case '\t':
        g.column = NextTabColumn(g.column);
        break;
      case '\a':
        break;
      default:
        PutCell(static_cast<size_t>(g.column - 1), c);
        ++g.column;
    }
  }
}

// On a terminal: follow the cursor through `text` as the terminal moves it.
void TrackTerminalCursor(std::string_view text, int width) {
  for (char ch : text) {
    uint8_t c = static_cast<uint8_t>(ch);
    if (c == '\n') {
      ++g.row;
      g.column = 1;
      g.wrap_pending = false;
    } else if (c == '\r') {
      g.column = 1;
      g.wrap_pending = false;
    } else if (c == '\b') {
      if (g.column > 1) --g.column;
      g.wrap_pending = false;
    } else if (c == '\t') {
      int next = NextTabColumn(g.column);
      g.column = next > width ? width : next;
    } else if (IsControl(c) || IsContinuation(c)) {
      // No cell of its own.
    } else {
      if (g.wrap_pending) {
        ++g.row;
        g.column = 1;
        g.wrap_pending = false;
      }
      if (g.column >= width) {
        g.column = width;
        g.wrap_pending = true;
      } else {
        ++g.column;
      }
    }
  }
}

// The first bytes of `text` that fill at most `cells` cells.
std::string_view ClipToCells(std::string_view text, int cells, bool utf8) {
  int used = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (utf8 && IsContinuation(c) && i > 0) continue;
    if (used == cells) break;
    ++used;
  }
  return text.substr(0, i);
}

// Off a terminal, "attribute" < 0: plain.
void PutAt(int attribute, std::string_view text, int column, int row) {
  Start();
  if (column < 1 || row < 1 || row > g.row) return;
  if (!g.out_terminal) {
    if (row != g.row || column > kMaxLineCells) return;
    text = ClipToCells(text, kMaxLineCells - column + 1, false);
    for (size_t i = 0; i < text.size(); ++i) {
      uint8_t c = static_cast<uint8_t>(text[i]);
      PutCell(static_cast<size_t>(column - 1) + i, IsControl(c) ? '?' : text[i]);
    }
    return;
  }
  int width, height;
  platform::TerminalSize(&width, &height);
  int up = g.row - row;
  if (up >= height || column > width) return;
  text = ClipToCells(text, width - column + 1, true);

  g.out.size = 0;
  g.out.Append(kSaveCursor);
  if (up > 0) {
    g.out.Append("\x1b[");
    g.out.AppendNumber(up);
    g.out.Append("A");
  }
  g.out.Append("\x1b[");
  g.out.AppendNumber(column);
  g.out.Append("G");
  if (attribute >= 0) {
    // PC colour numbers run blue-green-red; ANSI ones red-green-blue.
    static constexpr int kAnsiColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    int foreground = attribute & 0x0F;
    int background = (attribute >> 4) & 0x0F;
    g.out.Append("\x1b[0;");
    g.out.AppendNumber((foreground & 8 ? 90 : 30) + kAnsiColour[foreground & 7]);
    g.out.Append(";");
    g.out.AppendNumber((background & 8 ? 100 : 40) + kAnsiColour[background & 7]);
    g.out.Append("m");
  }
  for (char c : text) {
    char shown = IsControl(static_cast<uint8_t>(c)) ? '?' : c;
    g.out.Append(std::string_view(&shown, 1));
  }
  if (attribute >= 0) g.out.Append("\x1b[0m");
  g.out.Append(kRestoreCursor);
  platform::WriteStdout(g.out.View());
}

// ---------------------------------------------------------------------------
// Keyboard

size_t Buffered() { return g.input_end - g.input_begin; }

// Reads what standard input has, waiting at most `timeout_ms`.
void FillInput(int timeout_ms) {
  if (g.input_ended) return;
  if (g.in_terminal) {
    if (platform::InputInBackground()) return;
    platform::EnterKeyboardMode();
  }
  if (g.input_begin > 0) {
    std::memmove(g.input, g.input + g.input_begin, Buffered());
    g.input_end -= g.input_begin;
    g.input_begin = 0;
  }
  if (g.input_end == kInputSize) return;
  platform::InputState state = platform::PollInput(timeout_ms);
  if (state == platform::InputState::kEnd) {
    g.input_ended = true;
  } else if (state == platform::InputState::kReady) {
    int64_t got = platform::ReadInput(g.input + g.input_end, kInputSize - g.input_end);
    if (got > 0) g.input_end += static_cast<size_t>(got);
    if (got == 0) g.input_ended = true;
  }
}

int TakeByte() { return g.input[g.input_begin++]; }

// The next byte of a key sequence, waiting briefly for it; -1 if none came.
int SequenceByte() {
  if (Buffered() == 0) FillInput(kSequenceWaitMs);
  return Buffered() == 0 ? -1 : TakeByte();
}

// PC scan codes of the keys that send CSI <n> "~", by n: Home, Ins, Del,
// End, PgUp, PgDn, Home, End, F1-F5, F6-F10, F11, F12.
constexpr uint8_t kTildeKeyScan[] = {0,  71, 82, 83, 79, 73, 81, 71, 79, 0, 0,   59, 60,
                                     61, 62, 63, 0,  64, 65, 66, 67, 68, 0, 133, 134};

int TildeKeyScan(int number) {
  bool known = number >= 0 && number < static_cast<int>(sizeof(kTildeKeyScan));
  return known ? kTildeKeyScan[number] : 0;
}

// Keys that send CSI or SS3 and one letter: Up, Down, Right, Left, keypad 5,
// Home, End, F1-F4.
constexpr std::string_view kKeyLetters = "ABCDEHFPQRS";
constexpr uint8_t kLetterKeyScan[] = {72, 80, 77, 75, 76, 71, 79, 59, 60, 61, 62};
static_assert(sizeof(kLetterKeyScan) == kKeyLetters.size());

int LetterKeyScan(int letter) {
  size_t at = kKeyLetters.find(static_cast<char>(letter));
  return letter > 0 && at != std::string_view::npos ? kLetterKeyScan[at] : 0;
}

// After ESC and "[" or "O": reads the rest of the sequence and returns the
// key's scan code (0 when the sequence is unknown or cut short).
int DecodeSequence(int introducer) {
  if (introducer == 'O') {
    int letter = SequenceByte();
    return letter < 0 ? 0 : LetterKeyScan(letter);
  }
  int first = SequenceByte();
  if (first == '[') {  // Linux console F1-F5: ESC [ [ A .. ESC [ [ E
    int letter = SequenceByte();
    return letter >= 'A' && letter <= 'E' ? 59 + letter - 'A' : 0;
  }
  int number = 0;
  bool in_first_parameter = true;
  int c = first;
  for (size_t length = 0; length < kMaxSequenceLength; ++length) {
    if (c < 0) return 0;
    if (c >= 0x40 && c <= 0x7E) {  // final byte
      return c == '~' ? TildeKeyScan(number) : LetterKeyScan(c);
    }
    if (c < 0x20 || c > 0x3F) return 0;  // not part of a key sequence
    if (c == ';') in_first_parameter = false;
    if (in_first_parameter && c >= '0' && c <= '9' && number < 1000) {
      number = number * 10 + (c - '0');
    }
    c = SequenceByte();
  }
  return 0;
}

// The next key from the buffer (which holds at least one byte).
int DecodeKey() {
  int c = TakeByte();
  if (!g.in_terminal) return c;
  if (c == 0) {  // Ctrl-@: keep the promise that 0 is followed by a scan code
    g.pending_scan = 3;
    return 0;
  }
  if (c != kEscape) return c;
  if (Buffered() == 0) FillInput(kSequenceWaitMs);
  if (Buffered() == 0) return kEscape;
  int next = g.input[g.input_begin];
  if (next != '[' && next != 'O') return kEscape;
  TakeByte();
  g.pending_scan = DecodeSequence(next);
  return 0;
}

}  // namespace

void Start() {
  if (g.started) return;
  g.started = true;
  platform::OpenStandardDescriptors();
  g.out_terminal = platform::StdoutIsTerminal();
  g.in_terminal = platform::StdinIsTerminal();
  g.column = 1;
  g.row = 1;
  g.pending_scan = -1;
  platform::IgnoreWriteSignals();
  platform::InstallStopSignals();
  if (g.in_terminal) platform::EnterKeyboardMode();
  std::atexit(EndOfProcess);
}

void Write(std::string_view text) {
  Start();
  if (!g.out_terminal) {
    WriteToLine(text);
    return;
  }
  int width, height;
  platform::TerminalSize(&width, &height);
  TrackTerminalCursor(text, width);
  platform::WriteStdout(text);
}

void WriteLine(std::string_view text) {
  Start();
  if (!g.out_terminal) {
    WriteToLine(text);
    EndHeldLine();
    return;
  }
  g.out.size = 0;
  g.out.Append(text);
  g.out.Append("\n");
  int width, height;
  platform::TerminalSize(&width, &height);
  TrackTerminalCursor(g.out.View(), width);
  platform::WriteStdout(g.out.View());
}

void Flush() {
  Start();
  platform::WriteStdout({});
}

int CursorColumn() {
  Start();
  return g.column;
}

int CursorRow() {
  Start();
  return g.row;
}

void PutText(std::string_view text, int column, int row) { PutAt(-1, text, column, row); }

void PutTextColoured(uint8_t attribute, std::string_view text, int column, int row) {
  PutAt(attribute, text, column, row);
}

bool KeyPressed() {
  Start();
  if (g.pending_scan >= 0) return true;
  if (platform::StopPending()) return true;
  if (Buffered() == 0) FillInput(0);
  return Buffered() > 0;
}

int ReadKey() {
  Start();
  if (g.pending_scan >= 0) {
    int scan = g.pending_scan;
    g.pending_scan = -1;
    return scan;
  }
  for (;;) {
    if (platform::TakeStop()) return kEscape;
    if (Buffered() == 0) FillInput(0);
    if (Buffered() > 0) return DecodeKey();
    // A background process may not read its terminal; it looks again now
    // and then, in case it was brought to the foreground.
    bool background = g.in_terminal && platform::InputInBackground();
    platform::InputState state = platform::WaitForInputOrStop(
        !g.input_ended && !background, background ? kBackgroundRecheckMs : -1);
    if (state == platform::InputState::kEnd) g.input_ended = true;
  }
}

int StopExitStatus() {
  int signal = platform::FirstStopSignal();
  return signal == 0 ? 0 : 128 + signal;
}

void ProgressCounter::Start(std::string_view label) {
  Write(label);
  Flush();
  column_ = CursorColumn();
  row_ = CursorRow();
  drawn_ = false;
}

void ProgressCounter::Tick(int64_t n) {
  uint32_t now = platform::TickCount();
  // Unsigned difference: right also when the tick count wraps.
  if (drawn_ && now - last_redraw_ < kRedrawMilliseconds) return;
  Show(n);
}

void ProgressCounter::Show(int64_t n) {
  PutText("#" + std::to_string(n), column_, row_);
  drawn_ = true;
  last_redraw_ = platform::TickCount();
}

void EndOfProcess() {
  if (!g.started) return;
  if (!g.out_terminal && g.line.size > 0) EndHeldLine();
  platform::RestoreTerminal();
  platform::WriteStdout({});
}

void BeforeCrashReport() {
  if (!g.started) return;
  if (!g.out_terminal && g.line.size > 0) {
    platform::WriteStdout(g.line.View(), false);
    g.line.size = 0;
  }
}

}  // namespace quil::console
