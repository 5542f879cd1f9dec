#include "model/message_text.h"

#include <algorithm>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/addresses.h"
#include "runtime/platform.h"
#include "runtime/stream_text.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

using namespace control_line;

constexpr size_t kCutBlockSize = 32768;


// One line under test.  Once a line has matched a fixed prefix its first
// character is dropped, so no later test of the same pass matches it again.
class LineTest {
 public:
  explicit LineTest(std::string line) : line_(std::move(line)) {}

  // True (and the line marked) when the line starts with `prefix`; *value
  // receives the rest of the line.
  bool Match(std::string_view prefix, std::string* value) {
    if (!StartsWithNoCase(line_, prefix)) return false;
    *value = line_.substr(prefix.size());
    return true;
  }
  void Consume() {
    if (!line_.empty()) line_.erase(0, 1);
    recognised_ = true;
  }

  const std::string& line() const { return line_; }
  bool recognised() const { return recognised_; }
  void set_recognised() { recognised_ = true; }

 private:
  std::string line_;
  bool recognised_ = false;
};

enum class Scan { kLeading, kTrailing };

// What one read keeps of the record's lists besides the lists themselves,
// so that every line costs the same however many came before it: the
// routing and other control lines the record holds (each value is taken
// once), and the lines the trailing scan found.  That scan runs backwards,
// so its lines go in front of the lists, in text order, when it ends.
class ScanLists {
 public:
  explicit ScanLists(const MessageRecord& r)
      : routing_(r.routing_lines.begin(), r.routing_lines.end()),
        control_(r.control_lines.begin(), r.control_lines.end()) {}

  bool HasRouting(const std::string& line) const { return routing_.contains(line); }
  bool HasControl(const std::string& line) const { return control_.contains(line); }

  void AddRouting(std::string entry, Scan scan, MessageRecord& r) {
    routing_.insert(entry);
    Add(std::move(entry), scan, r.routing_lines, trailing_routing_);
  }
  void AddControl(const std::string& line, MessageRecord& r) {
    control_.insert(line);
    r.control_lines.Insert(line);
  }
  void AddPath(std::string value, Scan scan, MessageRecord& r) {
    Add(std::move(value), scan, r.path_lines, trailing_path_);
  }
  void AddSeenBy(std::string value, Scan scan, MessageRecord& r) {
    Add(std::move(value), scan, r.seenby_lines, trailing_seenby_);
  }

  // Puts what the trailing scan found in front of the lists.
  void FinishTrailing(MessageRecord& r) {
    for (auto [found, list] : {std::pair{&trailing_routing_, &r.routing_lines},
                               std::pair{&trailing_path_, &r.path_lines},
                               std::pair{&trailing_seenby_, &r.seenby_lines}}) {
      std::reverse(found->begin(), found->end());
      list->InsertAllAt(0, std::move(*found));
      found->clear();
    }
  }

 private:
  static void Add(std::string entry, Scan scan, StringList& list,
                  std::vector<std::string>& trailing) {
    if (scan == Scan::kTrailing) {
      trailing.push_back(std::move(entry));
    } else {
      list.Insert(std::move(entry));
    }
  }

  std::unordered_set<std::string> routing_;
  std::unordered_set<std::string> control_;
  // In the order the backward scan met them: last line first.
  std::vector<std::string> trailing_routing_;
  std::vector<std::string> trailing_path_;
  std::vector<std::string> trailing_seenby_;
};

// The tear, origin, routing, PATH and SEEN-BY rules, shared by both scans.
// Lists keep text order.  (Putting leading-block values in front as well
// would reverse a PATH that stands right below the kludges of a message
// with an empty body, and reverse it again on every later read.)
void TestFramingLines(LineTest& t, const std::string& original, Scan scan, MessageRecord& r,
                      ScanLists& lists) {
  std::string value;
  if (r.tear_line.empty() && t.Match(kTear, &value)) {
    r.tear_line = value.empty() ? std::string(" ") : value;
    r.has_tear_line = true;
    t.Consume();
  }
  if (r.origin.empty() && t.Match(kOrigin, &value)) {
    r.origin = value;
    r.has_origin = true;
    t.Consume();
  }
  for (std::string_view prefix : {kVia, kRecd, kForwarded}) {
    if (t.Match(prefix, &value) && !lists.HasRouting(original)) {
      lists.AddRouting(std::string(prefix) + value, scan, r);
      t.Consume();
    }
  }
  if (t.Match(kPath, &value)) {
    lists.AddPath(std::move(value), scan, r);
    t.Consume();
  }
  if (t.Match(kSeenBy, &value)) {
    lists.AddSeenBy(std::move(value), scan, r);
    t.Consume();
  }
}

// Tests a line of the leading block against every prefix, in order.
bool TestLeadingLine(const std::string& line, MessageRecord& r, ScanLists& lists) {
  LineTest t(line);
  std::string value;
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
  struct TextRule {
    std::string_view prefix;
    ShortString* field;
  };
  for (const TextRule& rule : {TextRule{kMsgid, &r.msgid}, TextRule{kReply, &r.reply},
                               TextRule{kFlags, &r.flags}, TextRule{kPid, &r.pid},
                               TextRule{kTid, &r.tid}}) {
    if (t.Match(rule.prefix, &value)) {
      // A line without a value says nothing: it never takes the place of
      // the value a line above gave.
      if (!value.empty()) *rule.field = value;
      t.Consume();
    }
  }
  TestFramingLines(t, line, Scan::kLeading, r, lists);
  // Any other kludge line is kept whole, each value once.
  if (!t.line().empty() && t.line()[0] == '\x01' && !lists.HasControl(t.line())) {
    lists.AddControl(t.line(), r);
    t.set_recognised();
  }
  return t.recognised();
}

bool TestTrailingLine(const std::string& line, MessageRecord& r, ScanLists& lists) {
  LineTest t(line);
  TestFramingLines(t, line, Scan::kTrailing, r, lists);
  if (line.empty() && r.origin.empty() && r.tear_line.empty()) t.set_recognised();
  return t.recognised();
}

// Drops trailing NUL bytes from the end of the stream.
void DropTrailingNuls(MemoryStream& body) {
  int64_t end = body.GetSize();
  uint8_t chunk[512];
  while (end > 0) {
    int64_t start = std::max<int64_t>(0, end - static_cast<int64_t>(sizeof chunk));
    size_t n = static_cast<size_t>(end - start);
    body.Seek(start);
    body.Read(chunk, n);
    size_t i = n;
    while (i > 0 && chunk[i - 1] == 0) --i;
    end = start + static_cast<int64_t>(i);
    if (i > 0) break;
  }
  body.Seek(end);
  body.Truncate();
}

using Range = std::pair<int64_t, int64_t>;

// Keeps the bytes of `body` outside the ranges.  The ranges use the reader's
// bookkeeping: a range (s, t) removes the bytes from s - 1 (or from the
// previous range's end, when that lies at or beyond s) to t.
void CutRanges(MemoryStream& body, const std::vector<Range>& ranges) {
  if (ranges.empty()) return;
  int64_t size = body.GetSize();
  MemoryStream kept(kCutBlockSize);
  int64_t e = 0;
  for (auto [start, end] : ranges) {
    if (start > end) continue;
    if (end > size) break;
    if (e < start) start -= 1;
    if (start > e) {
      body.Seek(e);
      kept.CopyFrom(body, start - e);
    }
    e = end;
  }
  if (e < size) {
    body.Seek(e);
    kept.CopyFrom(body, size - e);
  }
  if (!kept.ok() || !body.ok()) {
    // Out of memory: the body stays as it was.
    body.Reset();
    return;
  }
  body.Seek(0);
  body.Truncate();
  kept.Seek(0);
  body.CopyFrom(kept, kept.GetSize());
}

// Runs the leading scan over `scan` from its position to `end`; records the
// recognised lines' spans in `ranges` when given.
void LeadingScan(Stream& scan, int64_t end, MessageRecord& r, ScanLists& lists,
                 std::vector<Range>* ranges) {
  while (true) {
    int64_t p = scan.GetPos();
    std::string line = ReadLine(scan);
    int64_t q = scan.GetPos();
    bool recognised = TestLeadingLine(line, r, lists);
    if (recognised && ranges) {
      if (!ranges->empty() && ranges->back().second == p) {
        ranges->back().second = q;
      } else {
        ranges->push_back({p + 1, q});
      }
    }
    if ((!line.empty() && !recognised) || !scan.ok() || q >= end) break;
  }
}

}  // namespace

bool ReadText(Stream& source, int64_t from, int64_t to, bool header_only, MessageRecord& r) {
  if (from < 0 || from >= to || to - from > kMaxMessageText || source.GetSize() < to) {
    return false;
  }
  source.Reset();

  if (header_only) {
    // Only the leading control lines, taken from the stored range.
    MemoryStream text(kBodyBlockSize);
    source.Seek(from);
    text.CopyFrom(source, to - from);
    text.Seek(0);
    ScanLists lists(r);
    LeadingScan(text, text.GetSize(), r, lists, nullptr);
    source.Reset();
    return true;
  }

  MemoryStream& body = r.body;
  body.Reset();
  body.Seek(0);
  body.Truncate();
  source.Seek(from);
  body.CopyFrom(source, to - from);
  source.Reset();
  body.Reset();
  DropTrailingNuls(body);
  int64_t size = body.GetSize();

  std::vector<Range> ranges;
  if (size > 0) {
    ScanLists lists(r);
    body.Seek(0);
    LeadingScan(body, size, r, lists, &ranges);
    body.Reset();

    // Trailing scan, backwards from the end.  It never goes back into the
    // lines the leading scan took already: seeing them twice would store
    // their PATH and SEEN-BY values twice.
    size_t k = ranges.size();
    int64_t leading_end = ranges.empty() ? 0 : ranges.back().second;
    body.Seek(size);
    while (true) {
      int64_t q = body.GetPos();
      if (q <= leading_end) break;
      bool cut = false;
      std::string line = ReadLineBackwards(body, &cut);
      int64_t p = body.GetPos();
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
      if ((!line.empty() && !recognised) || !body.ok() || p <= 1) break;
    }
    lists.FinishTrailing(r);
    body.Reset();
    if (ranges.size() > k) ranges[k].first += 2;
    CutRanges(body, ranges);
  }
  body.Reset();
  body.Seek(0);
  return true;
}

void WriteText(MessageRecord& r, Stream& out) {
  auto line = [&out](std::string_view prefix, std::string_view value) {
    std::string text;
    text.reserve(prefix.size() + value.size() + 1);
    text.append(prefix).append(OneLine(value)).push_back(kCr);
    out.Write(text);
  };
  for (const auto& [prefix, value] : NetmailKludges(r)) line(prefix, value);
  if (!r.msgid.empty()) line(kMsgid, r.msgid);
  if (!r.reply.empty()) line(kReply, r.reply);
  if (!r.flags.empty()) line(kFlags, r.flags);
  if (!r.pid.empty()) line(kPid, r.pid);
  if (!r.tid.empty()) line(kTid, r.tid);
  for (const std::string& kludge : r.control_lines) line({}, kludge);

  r.body.Reset();
  const int64_t size = r.body.GetSize();
  r.body.Seek(0);
  out.CopyFrom(r.body, size);
  // The lines below the body, behind the body's last byte: from it
  // AppendTrailingLines sees whether the body ends inside a line.
  std::string below(size > 0 ? 1 : 0, '\0');
  if (size > 0) {
    r.body.Seek(size - 1);
    r.body.Read(below.data(), 1);
  }
  r.body.Reset();
  AppendTrailingLines(r, below);
  out.Write(std::string_view(below).substr(size > 0 ? 1 : 0));
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
  // address, which the reader takes from the end, stays whole).
  std::string lines;
  auto line = [&lines](std::string_view prefix, std::string_view value,
                       std::string_view suffix = {}) {
    std::string kept = OneLine(value);
    const size_t room = kMaxString - std::min(kMaxString, prefix.size() + suffix.size());
    kept.resize(std::min(kept.size(), room));
    lines.append(prefix).append(kept).append(suffix).push_back(kCr);
  };
  if (!r.tear_line.empty() && r.has_tear_line) line(kTear, r.tear_line);
  if ((!r.origin.empty() || !r.area.empty()) && r.has_origin) {
    line(kOrigin, r.origin, "(" + r.FormatOriginAddress() + ")");
  }
  if (lists) {
    for (const std::string& seen : r.seenby_lines) line(kSeenBy, seen);
    for (const std::string& path : r.path_lines) line(kPath, path);
    for (const std::string& routing : r.routing_lines) line({}, routing);
  }
  if (lines.empty()) return;
  if (!text.empty() && text.back() != kCr && text.back() != '\n') text.push_back(kCr);
  text += lines;
}

std::string OneLine(std::string_view value) {
  std::string kept(value);
  std::erase_if(kept, [](char c) { return c == kCr || c == '\n'; });
  return kept;
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
  if (msgid.empty()) {
    std::string id = std::to_string(orig_zone) + ":" + std::to_string(orig_net) + "/" +
                     std::to_string(orig_node);
    if (orig_point != 0 && orig_point != kAddressNotSet) id += "." + std::to_string(orig_point);
    if (!orig_domain.empty()) id += "@" + orig_domain.str();
    msgid = id + " " + NewMessageSerial();
  }
  if (intl.empty()) {
    intl = std::to_string(dest_zone) + ":" + std::to_string(dest_net) + "/" +
           std::to_string(dest_node) + " " + std::to_string(orig_zone) + ":" +
           std::to_string(orig_net) + "/" + std::to_string(orig_node) + " ";
  }
  NormaliseDate(&date_text, &date_written);
}

}  // namespace quil
