#include "model/message_text.h"

#include <algorithm>
#include <random>
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

// The tear, origin, routing, PATH and SEEN-BY rules, shared by both scans.
// In the trailing scan lists fill from the front (the scan runs backwards,
// so they end up in text order).
void TestFramingLines(LineTest& t, const std::string& original, Scan scan, MessageRecord& r) {
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
    if (t.Match(prefix, &value) && r.routing_lines.Search(original) < 0) {
      std::string entry = std::string(prefix) + value;
      if (scan == Scan::kTrailing) {
        r.routing_lines.InsertAt(0, entry);
      } else {
        r.routing_lines.Insert(entry);
      }
      t.Consume();
    }
  }
  // Lists keep text order.  (Putting leading-block values in front as well
  // would reverse a PATH that stands right below the kludges of a message
  // with an empty body, and reverse it again on every later read.)
  for (auto [prefix, list] : {std::pair{kPath, &r.path_lines}, std::pair{kSeenBy, &r.seenby_lines}}) {
    if (t.Match(prefix, &value)) {
      if (scan == Scan::kTrailing) {
        list->InsertAt(0, value);
      } else {
        list->Insert(value);
      }
      t.Consume();
    }
  }
}

// Tests a line of the leading block against every prefix, in order.
bool TestLeadingLine(const std::string& line, MessageRecord& r) {
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
      *rule.field = value;
      t.Consume();
    }
  }
  TestFramingLines(t, line, Scan::kLeading, r);
  // Any other kludge line is kept whole, each value once.
  if (!t.line().empty() && t.line()[0] == '\x01' && r.control_lines.Search(t.line()) < 0) {
    r.control_lines.Insert(t.line());
    t.set_recognised();
  }
  return t.recognised();
}

bool TestTrailingLine(const std::string& line, MessageRecord& r) {
  LineTest t(line);
  TestFramingLines(t, line, Scan::kTrailing, r);
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
void LeadingScan(Stream& scan, int64_t end, MessageRecord& r, std::vector<Range>* ranges) {
  while (true) {
    int64_t p = scan.GetPos();
    std::string line = ReadLine(scan);
    int64_t q = scan.GetPos();
    bool recognised = TestLeadingLine(line, r);
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
  if (from < 0 || from >= to || source.GetSize() < to) return false;
  source.Reset();

  if (header_only) {
    // Only the leading control lines, taken from the stored range.
    MemoryStream text(kBodyBlockSize);
    source.Seek(from);
    text.CopyFrom(source, to - from);
    text.Seek(0);
    LeadingScan(text, text.GetSize(), r, nullptr);
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
    body.Seek(0);
    LeadingScan(body, size, r, &ranges);
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
      std::string line = ReadLineBackwards(body);
      int64_t p = body.GetPos();
      bool recognised = TestTrailingLine(line, r);
      if (recognised) {
        if (k < ranges.size() && ranges[k].first == q) {
          ranges[k].first = p;
        } else {
          ranges.insert(ranges.begin() + static_cast<ptrdiff_t>(k), {p, q});
        }
      }
      if ((!line.empty() && !recognised) || !body.ok() || p <= 1) break;
    }
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
    text.append(prefix).append(value).push_back(kCr);
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
  r.body.Seek(0);
  out.CopyFrom(r.body, r.body.GetSize());
  r.body.Reset();

  std::string trailing;
  AppendTrailingLines(r, trailing);
  out.Write(trailing);
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

void AppendTrailingLines(const MessageRecord& r, std::string& text) {
  auto line = [&text](std::string_view prefix, std::string_view value) {
    text.append(prefix).append(value).push_back(kCr);
  };
  if (!r.tear_line.empty() && r.has_tear_line) line(kTear, r.tear_line);
  if ((!r.origin.empty() || !r.area.empty()) && r.has_origin) {
    line(kOrigin, r.origin.str() + "(" + r.FormatOriginAddress() + ")");
  }
  for (const std::string& seen : r.seenby_lines) line(kSeenBy, seen);
  for (const std::string& path : r.path_lines) line(kPath, path);
  for (const std::string& routing : r.routing_lines) line({}, routing);
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
