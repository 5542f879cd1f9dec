#include "model/message_text.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/addresses.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

using namespace control_line;

// One line under test.  Once a line has matched a fixed prefix its first
// character is dropped, so no later test of the same pass matches it again.
class LineTest {
 public:
  explicit LineTest(std::string_view line) : line_(line) { FoldHead(); }

  // True (and the line marked) when the line starts with `prefix`; *value
  // receives the rest of the line.
  bool Match(std::string_view prefix, std::string_view* value) {
    // Most tests fail at one of the first two bytes, folded once for all
    // the tests of the line.  The prefixes are ASCII, so ASCII case folding
    // decides for them as the full rule does.
    if (line_.size() < prefix.size() || head_[0] != AsciiUpCase(prefix[0]) ||
        (prefix.size() > 1 && head_[1] != AsciiUpCase(prefix[1])) ||
        !StartsWithNoCase(line_, prefix)) {
      return false;
    }
    *value = line_.substr(prefix.size());
    return true;
  }
  void Consume() {
    if (!line_.empty()) line_.remove_prefix(1);
    FoldHead();
    recognised_ = true;
  }

  std::string_view line() const { return line_; }
  // The line's first byte, folded (0 for an empty line).  A group of
  // tests whose prefixes all start with one byte is passed over when the
  // line does not: none of them could match, and only a match changes it.
  char head() const { return head_[0]; }
  // The line's second byte, folded (0 past its end).
  char second() const { return head_[1]; }
  bool recognised() const { return recognised_; }
  void set_recognised() { recognised_ = true; }

 private:
  // The first two bytes of the line, folded (0 past its end).
  void FoldHead() {
    head_[0] = line_.size() > 0 ? AsciiUpCase(line_[0]) : '\0';
    head_[1] = line_.size() > 1 ? AsciiUpCase(line_[1]) : '\0';
  }

  std::string_view line_;
  char head_[2] = {0, 0};
  bool recognised_ = false;
};

// Lookups of a string_view in a set of strings without making a string.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The record's lists as one read fills them.  Routing and other control
// lines are taken once each: a line is looked for in the list itself while
// the list is short, and in a set of its values once it is long, so that
// every line costs the same however many came before it.  The trailing scan
// runs backwards: its lines go to the ends of the lists as it finds them
// and are put in front of the lists, in text order, when it ends.
class ScanLists {
 public:
  explicit ScanLists(MessageRecord& r) : r_(r) {}

  bool HasRouting(std::string_view line) { return Has(r_.routing_lines, routing_, line); }
  bool HasControl(std::string_view line) { return Has(r_.control_lines, control_, line); }

  void AddRouting(std::string entry) {
    if (routing_) routing_->insert(entry);
    r_.routing_lines.Insert(std::move(entry));
  }
  void AddControl(std::string_view line) {
    if (control_) control_->emplace(line);
    r_.control_lines.Insert(line);
  }
  void AddPath(std::string_view value) { r_.path_lines.Insert(value); }
  void AddSeenBy(std::string_view value) { r_.seenby_lines.Insert(value); }

  // Marks where the trailing scan's lines begin in each list.
  void StartTrailing() {
    trailing_from_[0] = r_.routing_lines.count();
    trailing_from_[1] = r_.path_lines.count();
    trailing_from_[2] = r_.seenby_lines.count();
  }
  // Puts what the trailing scan found in front of the lists.
  void FinishTrailing() {
    StringList* lists[] = {&r_.routing_lines, &r_.path_lines, &r_.seenby_lines};
    for (size_t i = 0; i < 3; ++i) {
      auto from = lists[i]->begin() + trailing_from_[i];
      std::reverse(from, lists[i]->end());
      std::rotate(lists[i]->begin(), from, lists[i]->end());
    }
  }

 private:
  // Lists up to this long are searched line by line.
  static constexpr int32_t kSearchedInPlace = 16;

  static bool Has(const StringList& list, std::optional<TextSet>& set, std::string_view line) {
    if (!set) {
      if (list.count() <= kSearchedInPlace) {
        return std::find(list.begin(), list.end(), line) != list.end();
      }
      set.emplace(list.begin(), list.end());
    }
    return set->contains(line);
  }

  MessageRecord& r_;
  std::optional<TextSet> routing_;
  std::optional<TextSet> control_;
  int32_t trailing_from_[3] = {0, 0, 0};
};

static_assert(AsciiUpCase(kVia[1]) == 'V' && AsciiUpCase(kRecd[1]) == 'R' &&
              AsciiUpCase(kForwarded[1]) == 'F' && AsciiUpCase(kPath[1]) == 'P');

// The tear, origin, routing, PATH and SEEN-BY rules, shared by both scans.
// Lists keep text order.  (Putting leading-block values in front as well
// would reverse a PATH that stands right below the kludges of a message
// with an empty body, and reverse it again on every later read.)
void TestFramingLines(LineTest& t, std::string_view original, MessageRecord& r,
                      ScanLists& lists) {
  std::string_view value;
  if (r.tear_line.empty() && t.Match(kTear, &value)) {
    r.tear_line = value.empty() ? std::string_view(" ") : value;
    r.has_tear_line = true;
    t.Consume();
  }
  if (r.origin.empty() && t.Match(kOrigin, &value)) {
    r.origin = value;
    r.has_origin = true;
    t.Consume();
  }
  // Via, Recd, Forwarded and PATH, by the letter behind their ^A.
  const char letter = t.second();
  if (t.head() == '\x01' && (letter == 'V' || letter == 'R' || letter == 'F' || letter == 'P')) {
    for (std::string_view prefix : {kVia, kRecd, kForwarded}) {
      if (t.Match(prefix, &value) && !lists.HasRouting(original)) {
        lists.AddRouting(std::string(prefix).append(value));
        t.Consume();
      }
    }
    if (t.Match(kPath, &value)) {
      lists.AddPath(value);
      t.Consume();
    }
  }
  if (t.Match(kSeenBy, &value)) {
    lists.AddSeenBy(value);
    t.Consume();
  }
}

// The text fields the kludges of the leading block go to, in order.
struct TextRule {
  std::string_view prefix;
  ShortString MessageRecord::*field;
};
constexpr TextRule kTextRules[] = {
    {kMsgid, &MessageRecord::msgid}, {kReply, &MessageRecord::reply},
    {kFlags, &MessageRecord::flags}, {kPid, &MessageRecord::pid},
    {kTid, &MessageRecord::tid},
};

// True when `c` is the second byte of one of the kludges TestKludgeLine
// knows (INTL, TOPT, FMPT, MSGID, REPLY, FLAGS, PID, TID): only a line
// whose second byte is one of them can match any.
constexpr bool IsKludgeLetter(char c) {
  return c == 'I' || c == 'T' || c == 'F' || c == 'M' || c == 'R' || c == 'P';
}
static_assert([] {
  for (const TextRule& rule : kTextRules) {
    if (!IsKludgeLetter(AsciiUpCase(rule.prefix[1]))) return false;
  }
  for (std::string_view prefix : {kIntl, kTopt, kFmpt}) {
    if (!IsKludgeLetter(AsciiUpCase(prefix[1]))) return false;
  }
  return true;
}());

// The kludges of the leading block that go to fields, in order.
void TestKludgeLine(LineTest& t, MessageRecord& r) {
  if (!IsKludgeLetter(t.second())) return;
  std::string_view value;
  if (t.Match(kIntl, &value)) {
    r.intl = value;
    t.Consume();
  }
  if (t.Match(kTopt, &value)) {
    r.dest_point = static_cast<uint16_t>(TextToNumber(value));
    t.Consume();
  }
  if (t.Match(kFmpt, &value)) {
    r.orig_point = static_cast<uint16_t>(TextToNumber(value));
    t.Consume();
  }
  for (const TextRule& rule : kTextRules) {
    if (t.Match(rule.prefix, &value)) {
      // A line without a value says nothing: it never takes the place of
      // the value a line above gave.
      if (!value.empty()) r.*rule.field = value;
      t.Consume();
    }
  }
}

// Tests a line of the leading block against every prefix, in order.
bool TestLeadingLine(std::string_view line, MessageRecord& r, ScanLists& lists) {
  LineTest t(line);
  if (t.head() == '\x01') TestKludgeLine(t, r);
  TestFramingLines(t, line, r, lists);
  // Any other kludge line is kept whole, each value once.
  if (!t.line().empty() && t.line()[0] == '\x01' && !lists.HasControl(t.line())) {
    lists.AddControl(t.line());
    t.set_recognised();
  }
  return t.recognised();
}

bool TestTrailingLine(std::string_view line, MessageRecord& r, ScanLists& lists) {
  LineTest t(line);
  TestFramingLines(t, line, r, lists);
  if (line.empty() && r.origin.empty() && r.tear_line.empty()) t.set_recognised();
  return t.recognised();
}

bool IsLineEnd(char c) { return c == kCr || c == '\n'; }

// The position of the last CR or LF of `text`, -1 (as size_t) when it has
// none.  Eight bytes at a time: a long line costs little to step over.
size_t LastLineEnd(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighs = 0x8080808080808080;
  auto has_zero_byte = [](uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
  size_t end = text.size();
  while (end >= 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + end - 8, sizeof word);
    if (has_zero_byte(word ^ (kOnes * static_cast<uint8_t>(kCr))) ||
        has_zero_byte(word ^ (kOnes * static_cast<uint8_t>('\n')))) {
      break;  // one of these eight bytes is a line end
    }
    end -= 8;
  }
  while (end > 0 && !IsLineEnd(text[end - 1])) --end;
  return end - 1;
}

// The other half of a CR LF or LF CR pair.
char Partner(char c) { return c == kCr ? '\n' : kCr; }

// The line at *pos of `text` (at most its first 255 bytes), *pos moved
// past it and its line end (CR, LF, or a CR LF or LF CR pair).  At the end
// of the text the line is empty and *pos stays.
std::string_view LineAt(std::string_view text, size_t* pos) {
  const size_t start = *pos;
  if (start >= text.size()) return {};
  // The first CR or LF: a CR first, then an LF in front of it.
  const char* from = text.data() + start;
  size_t end = text.size();
  if (const void* cr = std::memchr(from, kCr, end - start)) {
    end = static_cast<size_t>(static_cast<const char*>(cr) - text.data());
  }
  if (const void* lf = std::memchr(from, '\n', end - start)) {
    end = static_cast<size_t>(static_cast<const char*>(lf) - text.data());
  }
  std::string_view line = text.substr(start, std::min(end - start, kMaxString));
  if (end < text.size()) {
    const char terminator = text[end++];
    if (end < text.size() && text[end] == Partner(terminator)) ++end;
  }
  *pos = end;
  return line;
}

// The mirror image: the line in front of *pos (at most the 255 bytes
// nearest *pos, and *cut set when it is longer), *pos moved to the first
// byte of the line end in front of it (0 when the line starts the text).
// At the start the line is empty and *pos stays.
std::string_view LineBefore(std::string_view text, size_t* pos, bool* cut) {
  *cut = false;
  const size_t start = std::min(*pos, text.size());
  if (start == 0) return {};
  // Behind the last CR or LF in front of `start`.
  const size_t line_start = LastLineEnd(text.substr(0, start)) + 1;
  const size_t kept = std::min(start - line_start, kMaxString);
  *cut = start - line_start > kMaxString;
  std::string_view line = text.substr(start - kept, kept);
  size_t back = 0;
  if (line_start > 0) {
    back = line_start - 1;
    if (back > 0 && text[back - 1] == Partner(text[back])) --back;
  }
  *pos = back;
  return line;
}

using Range = std::pair<int64_t, int64_t>;

// Appends to the body the bytes of `text` outside the ranges.  The ranges
// use the reader's bookkeeping: a range (s, t) removes the bytes from s - 1
// (or from the previous range's end, when that lies at or beyond s) to t.
void KeepOutsideRanges(std::string_view text, const std::vector<Range>& ranges,
                       MemoryStream& body) {
  const auto size = static_cast<int64_t>(text.size());
  int64_t e = 0;
  auto keep = [&](int64_t from, int64_t to) {
    body.Write(text.data() + from, static_cast<size_t>(to - from));
  };
  for (auto [start, end] : ranges) {
    if (start > end) continue;
    if (end > size) break;
    if (e < start) start -= 1;
    if (start > e) keep(e, start);
    e = end;
  }
  if (e < size) keep(e, size);
}

// Runs the leading scan over `text` from its start; records the recognised
// lines' spans in `ranges` when given.
void LeadingScan(std::string_view text, MessageRecord& r, ScanLists& lists,
                 std::vector<Range>* ranges) {
  size_t pos = 0;
  while (true) {
    const auto p = static_cast<int64_t>(pos);
    std::string_view line = LineAt(text, &pos);
    const auto q = static_cast<int64_t>(pos);
    bool recognised = TestLeadingLine(line, r, lists);
    if (recognised && ranges) {
      if (!ranges->empty() && ranges->back().second == p) {
        ranges->back().second = q;
      } else {
        ranges->push_back({p + 1, q});
      }
    }
    if ((!line.empty() && !recognised) || pos >= text.size()) break;
  }
}

}  // namespace

bool ReadText(Stream& source, int64_t from, int64_t to, bool header_only, MessageRecord& r,
              std::string* buffer) {
  if (from < 0 || from >= to || to - from > kMaxMessageText || source.GetSize() < to) {
    return false;
  }
  source.Reset();
  // The stored text in one piece, as it is; the lines are taken from it.
  std::string own;
  std::string& stored = buffer != nullptr ? *buffer : own;
  stored.resize(static_cast<size_t>(to - from));
  source.Seek(from);
  source.Read(stored.data(), stored.size());
  source.Reset();
  return ReadText(stored, header_only, r);
}

bool ReadText(std::string_view stored, bool header_only, MessageRecord& r) {
  if (stored.empty() || static_cast<int64_t>(stored.size()) > kMaxMessageText) return false;
  if (header_only) {
    // Only the leading control lines.
    ScanLists lists(r);
    LeadingScan(stored, r, lists, nullptr);
    return true;
  }

  MemoryStream& body = r.body;
  body.Empty();
  // Trailing NUL bytes are no text.
  std::string_view text(stored);
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  const auto size = static_cast<int64_t>(text.size());

  std::vector<Range>& ranges = r.text_ranges;
  ranges.clear();
  if (size > 0) {
    ScanLists lists(r);
    LeadingScan(text, r, lists, &ranges);

    // Trailing scan, backwards from the end.  It never goes back into the
    // lines the leading scan took already: seeing them twice would store
    // their PATH and SEEN-BY values twice.
    size_t k = ranges.size();
    int64_t leading_end = ranges.empty() ? 0 : ranges.back().second;
    lists.StartTrailing();
    size_t pos = text.size();
    while (true) {
      const auto q = static_cast<int64_t>(pos);
      if (q <= leading_end) break;
      bool cut = false;
      std::string_view line = LineBefore(text, &pos, &cut);
      const auto p = static_cast<int64_t>(pos);
      // A line longer than a reader keeps has lost its start: it is body
      // text, whatever its end looks like.
      bool recognised = !cut && TestTrailingLine(line, r, lists);
      if (recognised) {
        if (k < ranges.size() && ranges[k].first == q) {
          ranges[k].first = p;
        } else {
          ranges.insert(ranges.begin() + static_cast<ptrdiff_t>(k), {p, q});
        }
      }
      if ((!line.empty() && !recognised) || p <= 1) break;
    }
    lists.FinishTrailing();
    if (ranges.size() > k) ranges[k].first += 2;
  }
  KeepOutsideRanges(text, ranges, body);
  // Kept for the next text, unless a text of very many lines grew it.
  constexpr size_t kRangesKept = 1024;
  if (ranges.capacity() > kRangesKept) std::vector<Range>().swap(ranges);
  body.Reset();
  body.Seek(0);
  return true;
}

namespace {

// Appends one line of stored text to `text`: `prefix`, OneLine(value) cut
// to its first `room` bytes, `suffix` and CR.  Put together in place and
// appended at once: a message has a dozen such lines.
void AppendLine(std::string& text, std::string_view prefix, std::string_view value,
                std::string_view suffix = {}, size_t room = std::string_view::npos) {
  char line[2 * kMaxString + 32];
  if (prefix.size() + value.size() + suffix.size() + 1 > sizeof line) {
    text.append(prefix);
    const size_t value_start = text.size();
    AppendOneLine(text, value);
    if (text.size() - value_start > room) text.resize(value_start + room);
    text.append(suffix);
    text.push_back(kCr);
    return;
  }
  size_t size = prefix.copy(line, prefix.size());
  const size_t value_start = size;
  if (std::memchr(value.data(), kCr, value.size()) == nullptr &&
      std::memchr(value.data(), '\n', value.size()) == nullptr) {
    size += value.copy(line + size, value.size());
  } else {
    for (char c : value) {
      if (c != kCr && c != '\n') line[size++] = c;
    }
  }
  if (size - value_start > room) size = value_start + room;
  size += suffix.copy(line + size, suffix.size());
  line[size++] = kCr;
  text.append(line, size);
}

}  // namespace

void WriteText(MessageRecord& r, std::string* out) {
  auto line = [out](std::string_view prefix, std::string_view value) {
    AppendLine(*out, prefix, value);
  };
  for (const auto& [prefix, value] : NetmailKludges(r)) line(prefix, value);
  if (!r.msgid.empty()) line(kMsgid, r.msgid);
  if (!r.reply.empty()) line(kReply, r.reply);
  if (!r.flags.empty()) line(kFlags, r.flags);
  if (!r.pid.empty()) line(kPid, r.pid);
  if (!r.tid.empty()) line(kTid, r.tid);
  for (const std::string& kludge : r.control_lines) line({}, kludge);
  r.body.Reset();
  AppendBodyAndTrailingLines(r, *out);
}

void AppendBodyAndTrailingLines(const MessageRecord& r, std::string& text, bool lists) {
  // AppendTrailingLines sees from the body's last byte whether it ends
  // inside a line.  (What stands in front of the body does not count there:
  // an empty body ends no line.)
  const size_t body_start = text.size();
  r.body.AppendContents(&text);
  if (text.size() == body_start) {
    std::string below;
    AppendTrailingLines(r, below, lists);
    text.append(below);
  } else {
    AppendTrailingLines(r, text, lists);
  }
}

void WriteText(MessageRecord& r, Stream& out) {
  std::string text;
  WriteText(r, &text);
  out.Write(text);
}

std::vector<std::pair<std::string_view, std::string>> NetmailKludges(const MessageRecord& r) {
  std::vector<std::pair<std::string_view, std::string>> kludges;
  if (r.IsEchomail()) return kludges;
  // A point that is not set (65535) is no point.
  auto is_point = [](uint16_t point) { return point != 0 && point != kAddressNotSet; };
  if (!r.intl.empty()) kludges.emplace_back(kIntl, r.intl.str());
  if (is_point(r.orig_point)) kludges.emplace_back(kFmpt, std::to_string(r.orig_point));
  if (is_point(r.dest_point)) kludges.emplace_back(kTopt, std::to_string(r.dest_point));
  return kludges;
}

void AppendTrailingLines(const MessageRecord& r, std::string& text, bool lists) {
  // A line read backwards keeps only its last 255 bytes, which would lose
  // its prefix: the value is cut so that the whole line fits (the origin's
  // address, which the reader takes from the end, stays whole).  The lines
  // go straight behind the text; a CR in front of them, when the text ends
  // inside a line, is put in once it is known that there are any.
  const size_t start = text.size();
  const bool open_line = !text.empty() && text.back() != kCr && text.back() != '\n';
  if (open_line) text.push_back(kCr);
  const size_t first = text.size();
  auto line = [&text](std::string_view prefix, std::string_view value,
                      std::string_view suffix = {}) {
    const size_t room = kMaxString - std::min(kMaxString, prefix.size() + suffix.size());
    AppendLine(text, prefix, value, suffix, room);
  };
  if (!r.tear_line.empty() && r.has_tear_line) line(kTear, r.tear_line);
  if ((!r.origin.empty() || !r.area.empty()) && r.has_origin) {
    char address[kMaxAddressText + 2];  // "(" FormatOriginAddress ")"
    address[0] = '(';
    size_t size = 1 + PutAddressText(address + 1, r.orig_zone, r.orig_net, r.orig_node,
                                     r.orig_point);
    address[size++] = ')';
    line(kOrigin, r.origin, std::string_view(address, size));
  }
  if (lists) {
    for (const std::string& seen : r.seenby_lines) line(kSeenBy, seen);
    for (const std::string& path : r.path_lines) line(kPath, path);
    for (const std::string& routing : r.routing_lines) line({}, routing);
  }
  if (text.size() == first) text.resize(start);  // no lines: no CR either
}

std::string OneLine(std::string_view value) {
  std::string kept;
  AppendOneLine(kept, value);
  return kept;
}

void AppendOneLine(std::string& out, std::string_view value) {
  AppendWithout(out, value, kCr, '\n');
}

std::string NewMessageSerial() {
  static std::minstd_rand random(static_cast<uint32_t>(platform::TickCount()) ^
                                 static_cast<uint32_t>(platform::Now().hundredths * 7919));
  static uint32_t last = 0;
  static bool any = false;
  platform::LocalTime now = platform::Now();
  uint32_t v = static_cast<uint32_t>(now.year) * 31536000u +
               static_cast<uint32_t>(now.month) * 2592000u +
               static_cast<uint32_t>(now.day) * 86400u + static_cast<uint32_t>(now.hour) * 3600u +
               static_cast<uint32_t>(now.minute) * 60u + static_cast<uint32_t>(now.second);
  v = (v << 7) | (static_cast<uint32_t>(now.hundredths) & 0x7F);
  v += static_cast<uint32_t>(random() % 65535u);
  // Serials handed out by one run never repeat, even within one hundredth.
  if (any && v - last - 1 > 0x7FFFFFFFu) v = last + 1;
  last = v;
  any = true;
  return HexLong(v);
}

void MessageRecord::Normalise() {
  msgid_present = !msgid.empty();
  intl_present = !intl.empty();
  CompleteAddresses(*this);
  if (msgid.empty() && make_up_kludges) {
    std::string id = std::to_string(orig_zone) + ":" + std::to_string(orig_net) + "/" +
                     std::to_string(orig_node);
    if (orig_point != 0 && orig_point != kAddressNotSet) id += "." + std::to_string(orig_point);
    if (!orig_domain.empty()) id += "@" + orig_domain.str();
    msgid = id + " " + NewMessageSerial();
  }
  if (intl.empty() && make_up_kludges) {
    // "destination origin ", put together in place.
    char text[2 * kMaxAddressText + 2];
    size_t size = PutAddressText(text, dest_zone, dest_net, dest_node, 0);
    text[size++] = ' ';
    size += PutAddressText(text + size, orig_zone, orig_net, orig_node, 0);
    text[size++] = ' ';
    intl = std::string_view(text, size);
  }
  NormaliseDate(&date_text, &date_written);
}

}  // namespace quil
