// The scratch directory, input splitting and the base round trip of the fuzz
// harnesses.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <span>
#include <sstream>

#include "bases/base_opener.h"
#include "model/dates.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil::fuzz {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "\n==== round trip check failed ====\n%s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string MakeScratch() {
  fs::path root = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path dir = root / ("quil-fuzz-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(dir, error)) return dir.string();
  }
  Fail("no scratch directory");
}

void RemoveScratch() {
  std::error_code error;
  fs::remove_all(Scratch(), error);
}

// A byte string with everything outside printable ASCII escaped.
std::string Printable(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// What each kind keeps of a message (the carry table of the converter's
// tests, tests/e2e/convert_support.h): every kind keeps the names and the
// subject (up to its limits), the date written, the origin and destination
// net and node, the MSGID, REPLY and PID texts, the FLAGS words, the other
// control lines, the routing lines, tear and origin lines, SEEN-BY, PATH
// and the body bytes.  Below are the ways in which a kind holds them.

struct Kind {
  char mark;
  const char* name;  // of the base in the scratch directory
  size_t name_limit;
  size_t subject_limit;
};

constexpr Kind kKinds[] = {
    {'f', "out_fido", 35, 71},
    {'p', "out.pkt", 35, 71},
    {'s', "out_squish", 35, 71},
    {'j', "out_jam", 255, 255},
};

// A name or subject as `kind` holds it: Fido and Squish fields end at a NUL
// and have a fixed size; a packet leaves out control bytes (below 0x20) and
// holds what tossers accept.
std::string Held(const Kind& kind, std::string_view text, size_t limit) {
  std::string held(text);
  if (kind.mark == 'f' || kind.mark == 's') held = held.substr(0, held.find('\0'));
  if (kind.mark == 'p') {
    std::erase_if(held, [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  }
  return held.substr(0, limit);
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A date every kind stores and gives back: a real calendar day in the years
// the two-digit FTS-0001 year, the MS-DOS stamp and JAM's unsigned seconds
// all hold.
bool Comparable(const DateTime& d) {
  static constexpr int kDays[] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (!IsValidDate(d) || d.year < 1980 || d.year > 2079) return false;
  return d.day <= kDays[d.month] + (d.month == 2 && IsLeapYear(d.year) ? 1 : 0);
}

// Control-line prefixes, as the readers compare them (without regard to
// case).  A record may hold such a line among its other control lines (a
// JAM FTSKLUDGE "MSGID: ...", a Squish "TID: ..."), and a reader of another
// kind then takes it for the field or list it names; so the kludges are
// compared as one multiset, whatever field or list holds each.
constexpr std::string_view kFieldPrefixes[] = {"INTL ",  "TOPT ", "FMPT ", "MSGID: ",
                                               "REPLY: ", "FLAGS ", "PID: ", "TID: "};
constexpr std::string_view kListPrefixes[] = {"Via ", "Recd ", "Forwarded ", "PATH: "};

// A control line without its ^A, a known prefix in its usual case; `known`
// tells whether it had one.
std::string Kludge(std::string_view line, bool* known) {
  if (!line.empty() && line[0] == '\x01') line.remove_prefix(1);
  *known = false;
  for (auto prefixes : {std::span<const std::string_view>(kFieldPrefixes),
                        std::span<const std::string_view>(kListPrefixes)}) {
    for (std::string_view prefix : prefixes) {
      if (StartsWithNoCase(line, prefix)) {
        *known = true;
        return std::string(prefix) + std::string(line.substr(prefix.size()));
      }
    }
  }
  return std::string(line);
}

std::string ListText(const std::vector<std::string>& list) {
  std::string text;
  for (const std::string& line : list) text += "[" + Printable(line) + "]";
  return text;
}

// Where a kind keeps a value of the message's text.
enum class Holder {
  kKludgeLine,   // a line above the body: no CR or LF inside, the reader keeps
                 // the first 255 bytes of the line
  kTailLine,     // a line below the body: no CR or LF inside, the writer cuts
                 // the line to the 255 bytes the reader takes
  kControlInfo,  // the Squish control information: no ^A (but the first) or NUL
  kSubfield,     // a JAM subfield: anything
};

// Where `kind` keeps the kludges (fields and control lines), and the lines
// below the body (routing, SEEN-BY, PATH).
Holder KludgeHolder(const Kind& kind) {
  return kind.mark == 's' ? Holder::kControlInfo
                          : kind.mark == 'j' ? Holder::kSubfield : Holder::kKludgeLine;
}
Holder ListHolder(const Kind& kind) {
  return kind.mark == 'j' ? Holder::kSubfield : Holder::kTailLine;
}

// How one value of the text is written and read back: without the bytes its
// holder can not hold (which would end it, or start another line), cut to
// the `room` its line has for it, and in a packet without NULs (which the
// packet writer leaves out of the written text).  `line` is a whole control
// line (its ^A kept).
std::string Stored(const Kind& kind, Holder holder, std::string value, size_t room,
                   bool line = false) {
  auto no_nul = [&kind](std::string& text) {
    if (kind.mark == 'p') std::erase(text, '\0');
  };
  auto no_line_end = [](std::string& text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  };
  switch (holder) {
    case Holder::kKludgeLine:
      no_nul(value);
      no_line_end(value);
      value.resize(std::min(value.size(), room));
      break;
    case Holder::kTailLine:
      no_line_end(value);
      value.resize(std::min(value.size(), room));
      no_nul(value);
      break;
    case Holder::kControlInfo: {
      no_nul(value);
      const auto first = value.begin() + (line && !value.empty() ? 1 : 0);
      value.erase(std::remove_if(first, value.end(), [](char c) { return c == '\x01' || c == '\0'; }),
                  value.end());
      break;
    }
    case Holder::kSubfield:
      no_nul(value);
      break;
  }
  return value;
}

// The room a value has in a line of at most 255 bytes that starts with
// `prefix` (and ends with `suffix`).
size_t Room(std::string_view prefix, std::string_view suffix = {}) {
  return 255 - std::min<size_t>(255, prefix.size() + suffix.size());
}

// The kludges of a record: its MSGID, REPLY, PID, TID and FLAGS texts, its
// routing and PATH lines and its control lines, each as a line without ^A,
// sorted.  `plain` receives, in order, the control lines no reader takes for
// anything else; `listed` tells whether a control line is a routing or PATH
// line.  With `kind`, each value as that kind stores it.
std::vector<std::string> Kludges(const MessageRecord& r, const Kind* kind,
                                 std::vector<std::string>* plain, bool* listed,
                                 bool* reclassified) {
  auto stored = [kind](Holder holder, std::string value, size_t room, bool line = false) {
    return kind ? Stored(*kind, holder, std::move(value), room, line) : value;
  };
  const Holder kludges = kind ? KludgeHolder(*kind) : Holder::kSubfield;
  const Holder lists = kind ? ListHolder(*kind) : Holder::kSubfield;
  std::vector<std::string> all;
  // A value the kind stores as nothing (a packet's PID of NULs) reads back
  // as no value.
  auto field = [&](std::string_view prefix, std::string_view value) {
    std::string kept = stored(kludges, std::string(value), Room(prefix) - 1);  // and ^A
    if (!kept.empty()) all.push_back(std::string(prefix) + kept);
  };
  field("MSGID: ", r.msgid);
  field("REPLY: ", r.reply);
  field("PID: ", r.pid);
  field("TID: ", r.tid);
  field("FLAGS ", r.flags);
  bool known = false;
  for (const std::string& line : r.routing_lines) {
    all.push_back(Kludge(stored(lists, line, Room(""), true), &known));
  }
  for (const std::string& line : r.path_lines) {
    all.push_back("PATH: " + stored(lists, line, Room("\x01PATH: ")));
  }
  *listed = false;
  *reclassified = false;
  for (const std::string& line : r.control_lines) {
    std::string kept = stored(kludges, line, Room(""), true);
    // The control information has no empty control line (two ^A in a row
    // are one separator).
    if (kludges == Holder::kControlInfo && kept.size() <= 1) continue;
    // A line that the bytes left out turn into another kind of line (a NUL
    // inside "TOPT ") is no control line any more.
    bool known_before = false;
    (void)Kludge(line, &known_before);
    std::string kludge = Kludge(kept, &known);
    // A FLAGS line among the control lines (a JAM kludge subfield) is read
    // by the other kinds as the message's flags, which keep only the words
    // they know as attributes.
    if (StartsWithNoCase(kludge, "FLAGS ")) *reclassified = true;
    // A field's line without a value ("TID: ") is no value where a reader
    // takes it for the field, and a control line where one does not.
    if (std::find(std::begin(kFieldPrefixes), std::end(kFieldPrefixes), kludge) !=
        std::end(kFieldPrefixes)) {
      continue;
    }
    all.push_back(std::move(kludge));
    if (known != known_before) *reclassified = true;
    if (!known) {
      plain->push_back(kept);
    } else {
      for (std::string_view prefix : kListPrefixes) {
        if (StartsWithNoCase(all.back(), prefix)) *listed = true;
      }
    }
  }
  std::sort(all.begin(), all.end());
  return all;
}

// True when the kludges hold a line twice, or a field's line twice (with
// different values): the kinds' readers keep each routing and control line
// once, take the last of a field's lines, and stop their scan of the text
// at a line they do not take, in ways that differ from kind to kind.
bool Repeated(const std::vector<std::string>& kludges) {
  for (size_t i = 1; i < kludges.size(); ++i) {
    if (kludges[i] == kludges[i - 1] && !kludges[i].starts_with("PATH: ")) return true;
  }
  for (std::string_view prefix : kFieldPrefixes) {
    int seen = 0;
    for (const std::string& line : kludges) seen += line.starts_with(prefix) ? 1 : 0;
    if (seen > 1) return true;
  }
  return false;
}

// True when the first or the last line of the body that is not empty starts
// like a control line, or like a tear, origin, SEEN-BY or PATH line.  The
// body's edges are where the text reader stopped, on a line it did not take
// because of what it had found already (a second tear line, a control line
// it holds) or because of a byte a copy leaves out (a NUL in front of ^A,
// in a packet); the copy then has that line where a reader takes it.
bool AmbiguousEdge(std::string_view body) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = body.size();
    if (end > start) lines.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  if (lines.empty()) return false;
  for (std::string_view line : {lines.front(), lines.back()}) {
    if (line.starts_with('\x01')) return true;
    for (std::string_view prefix : {"---", " * Origin: ", "SEEN-BY: "}) {
      if (StartsWithNoCase(line, prefix)) return true;
    }
  }
  return false;
}

// The body as compared: without the line ends and NULs at its end (the text
// readers count blank lines and line ends there to the lines below the body
// and drop trailing NULs).
std::string ComparedBody(std::string body) {
  while (!body.empty() && (body.back() == '\r' || body.back() == '\n' || body.back() == '\0')) {
    body.pop_back();
  }
  return body;
}

// Which parts of a message the check compares: decided on the record about
// to be written, and applied to the one read back alike.
struct Scope {
  bool kludges_and_body = true;  // false: the record is ambiguous (above)
  bool control_lines = true;     // their order (Squish puts TID in front)
  bool lists = true;             // the order of routing and PATH lines
  bool origin_address = true;    // false: an origin 0/0 in a Fido header
  bool date = true;              // false: a date a writer replaces
  bool own_msgid = true;         // false: the reader makes one up
  // Net and node of origin and destination that are set.  A net of 0 or
  // 65535 and a node of 65535 are not: a reader fills them from the text,
  // and a copy's text may give what the source's did not.
  bool nets[2] = {true, true};
  bool nodes[2] = {true, true};
};

// The net and node of the origin (or the destination) as far as `scope`
// compares them.
std::string Address(const Scope& scope, bool origin, const MessageRecord& r) {
  const int side = origin ? 0 : 1;
  std::string text = scope.nets[side] ? std::to_string(origin ? r.orig_net : r.dest_net) : "*";
  text += "/";
  text += scope.nodes[side] ? std::to_string(origin ? r.orig_node : r.dest_node) : "*";
  return text;
}

// The date written a Squish base gives back for `r`: its MS-DOS stamp keeps
// even seconds only, and the seconds of its FTS-0001 date text (the
// record's, or one made from the date written) win where the two agree.
DateTime SquishDateWritten(const MessageRecord& r) {
  DateTime even = r.date_written;
  even.second -= even.second % 2;
  DateText text = r.date_text.empty() ? DateText(FormatDate(r.date_written)) : r.date_text;
  text = text.str().substr(0, 19);
  DateTime parsed;
  NormaliseDate(&text, &parsed);
  DateTime parsed_even = parsed;
  parsed_even.second -= parsed_even.second % 2;
  return parsed_even == even && IsValidDate(parsed) ? parsed : even;
}

// What `kind` keeps of the record `r`, one field a line.  For a record
// about to be written (`expected`), what storing it in the kind changes is
// applied and `scope` is set; a record read back is given in `scope`.
std::string Carried(const Kind& kind, MessageRecord& r, bool expected, Scope* scope) {
  std::ostringstream out;
  auto held = [&](std::string_view text, size_t limit) {
    return Printable(expected ? Held(kind, text, limit) : std::string(text));
  };
  out << "from_name: " << held(r.from_name, kind.name_limit) << "\n";
  out << "to_name: " << held(r.to_name, kind.name_limit) << "\n";
  out << "subject: " << held(r.subject, kind.subject_limit) << "\n";
  if (expected) scope->date = Comparable(r.date_written);
  if (scope->date) {
    DateTime d = r.date_written;
    if (expected && kind.mark == 's') d = SquishDateWritten(r);
    out << "date_written: " << d.year << "-" << d.month << "-" << d.day << " " << d.hour << ":"
        << d.minute << ":" << d.second << "\n";
  }

  const Kind* storing = expected ? &kind : nullptr;
  auto stored = [storing](Holder holder, std::string value, size_t room) {
    return storing ? Stored(*storing, holder, std::move(value), room) : value;
  };
  auto list = [&](const StringList& lines, std::string_view prefix) {
    std::vector<std::string> all;
    for (const std::string& line : lines) {
      all.push_back(stored(ListHolder(kind), line, Room(prefix)));
    }
    return all;
  };
  std::vector<std::string> plain;
  bool listed = false;
  bool reclassified = false;
  std::vector<std::string> kludges = Kludges(r, storing, &plain, &listed, &reclassified);
  r.body.Reset();
  std::string body = r.body.Contents();
  if (expected && kind.mark == 'p') std::erase(body, '\0');
  // In stored text the body follows a kludge line (there is always a MSGID):
  // a LF it starts with pairs with that line's CR to one line end.
  if (expected && (kind.mark == 'f' || kind.mark == 'p') && body.starts_with('\n')) {
    body.erase(0, 1);
  }
  auto is_msgid = [](const std::string& line) { return line.starts_with("MSGID: "); };
  if (expected) {
    // A message stored without a MSGID gets one made up when it is read.
    scope->own_msgid = std::any_of(kludges.begin(), kludges.end(), is_msgid);
  } else if (!scope->own_msgid) {
    std::erase_if(kludges, is_msgid);
  }
  if (expected) {
    scope->kludges_and_body = !Repeated(kludges) && !reclassified && !AmbiguousEdge(body);
    scope->control_lines = !(kind.mark == 's' && !r.tid.empty());
    scope->lists = !listed;
    // A Fido header with the origin 0/0 is echomail from a tosser: the text
    // gives the origin then.
    scope->origin_address = !(kind.mark == 'f' && r.orig_net == 0 && r.orig_node == 0);
    for (int side = 0; side < 2; ++side) {
      const uint16_t net = side == 0 ? r.orig_net : r.dest_net;
      const uint16_t node = side == 0 ? r.orig_node : r.dest_node;
      scope->nets[side] = net != 0 && net != kAddressNotSet;
      scope->nodes[side] = node != kAddressNotSet;
    }
  }
  if (scope->origin_address) out << "orig: " << Address(*scope, true, r) << "\n";
  out << "dest: " << Address(*scope, false, r) << "\n";
  if (!scope->kludges_and_body) {
    out << "(kludges and body not compared)\n";
    return out.str();
  }
  out << "kludges: " << ListText(kludges) << "\n";
  if (scope->control_lines) out << "control_lines: " << ListText(plain) << "\n";
  if (scope->lists) {
    out << "routing_lines: " << ListText(list(r.routing_lines, "")) << "\n";
    out << "path_lines: " << ListText(list(r.path_lines, "\x01PATH: ")) << "\n";
  }
  out << "seenby_lines: " << ListText(list(r.seenby_lines, "SEEN-BY: ")) << "\n";
  // Tear and origin lines are written when they have a text (an echomail
  // origin line also without); a tear or origin line whose text is empty
  // (or left out) reads back with one blank, as every empty one.
  const bool tear = r.has_tear_line && (!expected || !r.tear_line.empty());
  const bool origin = r.has_origin && (!expected || !r.origin.empty() || !r.area.empty());
  std::string tear_text = stored(Holder::kTailLine, r.tear_line.str(), Room("---"));
  if (tear_text.empty()) tear_text = " ";
  const std::string address = "(" + r.FormatOriginAddress() + ")";
  std::string origin_text =
      stored(Holder::kTailLine, r.origin.str(), Room(" * Origin: ", address));
  if (origin_text.empty()) origin_text = " ";
  out << "tear_line: " << (tear ? Printable(tear_text) : "-") << "\n";
  out << "origin: " << (origin ? Printable(origin_text) : "-") << "\n";
  out << "body: " << Printable(ComparedBody(body)) << "\n";
  return out.str();
}

// Every field of a record, for the report of a failed check.
std::string Dump(MessageRecord& r) {
  std::ostringstream out;
  auto address = [](uint16_t zone, uint16_t net, uint16_t node, uint16_t point) {
    return std::to_string(zone) + ":" + std::to_string(net) + "/" + std::to_string(node) + "." +
           std::to_string(point);
  };
  out << "from/to/subject: " << Printable(r.from_name) << " | " << Printable(r.to_name) << " | "
      << Printable(r.subject) << "\n";
  out << "date_text: " << Printable(r.date_text) << "\n";
  out << "orig: " << address(r.orig_zone, r.orig_net, r.orig_node, r.orig_point)
      << " dest: " << address(r.dest_zone, r.dest_net, r.dest_node, r.dest_point) << "\n";
  out << "msgid: " << Printable(r.msgid) << " (" << r.msgid_present << ")\n";
  out << "reply: " << Printable(r.reply) << "\n";
  out << "intl: " << Printable(r.intl) << " (" << r.intl_present << ")\n";
  out << "pid/tid/flags: " << Printable(r.pid) << " | " << Printable(r.tid) << " | "
      << Printable(r.flags) << "\n";
  out << "area: " << Printable(r.area) << "\n";
  out << "tear: " << r.has_tear_line << " " << Printable(r.tear_line) << "\n";
  out << "origin: " << r.has_origin << " " << Printable(r.origin) << "\n";
  auto list = [&out](const char* name, const StringList& lines) {
    out << name << ": ";
    for (const std::string& line : lines) out << "[" << Printable(line) << "]";
    out << "\n";
  };
  list("control", r.control_lines);
  list("routing", r.routing_lines);
  list("seenby", r.seenby_lines);
  list("path", r.path_lines);
  r.body.Reset();
  out << "body: " << Printable(r.body.Contents()) << "\n";
  return out.str();
}

// What the converter does to a record between reading and writing it.
void PrepareForCopy(MessageRecord& r) {
  r.reply_to = 0;
  r.replies.fill(0);
  if (!r.intl_present) r.intl.clear();
}

}  // namespace

const std::string& Scratch() {
  // Never destroyed: the exit handler that removes the directory needs it.
  static const std::string* const dir = [] {
    auto* made = new std::string(MakeScratch());
    std::atexit(RemoveScratch);
    return made;
  }();
  return *dir;
}

void ClearScratch() {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Scratch(), error)) {
    fs::remove_all(entry.path(), error);
  }
}

void PutFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("can not write " + path);
}

std::string GetFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> SplitInput(std::string_view data, size_t parts) {
  std::vector<std::string_view> pieces;
  for (size_t i = 0; i + 1 < parts; ++i) {
    uint32_t length = 0;
    for (size_t b = 0; b < 4 && b < data.size(); ++b) {
      length |= static_cast<uint32_t>(static_cast<unsigned char>(data[b])) << (8 * b);
    }
    data.remove_prefix(std::min<size_t>(4, data.size()));
    size_t n = std::min<size_t>(length, data.size());
    pieces.push_back(data.substr(0, n));
    data.remove_prefix(n);
  }
  pieces.push_back(data);
  return pieces;
}

std::string JoinInput(const std::vector<std::string>& parts) {
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i + 1 < parts.size()) {
      auto n = static_cast<uint32_t>(parts[i].size());
      for (int b = 0; b < 4; ++b) joined += static_cast<char>((n >> (8 * b)) & 0xFF);
    }
    joined += parts[i];
  }
  return joined;
}

void CheckRoundTrip(const std::string& spec, const std::vector<std::string>& inputs) {
  std::vector<std::string> before;
  for (const std::string& file : inputs) before.push_back(GetFile(file));

  std::vector<std::unique_ptr<MessageRecord>> records;
  {
    std::unique_ptr<MessageBase> source = OpenOrCreate(platform::kDenyWrite, spec);
    if (source) {
      for (int64_t n = 1; n <= source->count(); ++n) {
        auto record = std::make_unique<MessageRecord>();
        if (!source->ReadMessage(static_cast<int32_t>(n), *record)) continue;
        PrepareForCopy(*record);
        records.push_back(std::move(record));
      }
      if (!source->Close()) Fail("closing the source failed");
    }
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (GetFile(inputs[i]) != before[i]) Fail("reading changed " + inputs[i]);
  }

  for (const Kind& kind : kKinds) {
    const std::string copy_spec = std::string(1, kind.mark) + Scratch() + "/" + kind.name;
    std::vector<std::string> expected;
    std::vector<std::string> sources;  // the records as written, for a report
    std::vector<Scope> scopes;
    {
      std::unique_ptr<MessageBase> copy = CreateFresh(platform::kDenyWrite, copy_spec);
      if (!copy) Fail("can not create " + copy_spec);
      for (auto& record : records) {
        scopes.emplace_back();
        sources.push_back(Dump(*record));
        expected.push_back(Carried(kind, *record, true, &scopes.back()));
        if (!copy->WriteMessage(copy->count() + 1, *record)) {
          Fail("can not write to " + copy_spec);
        }
      }
      if (!copy->Close()) Fail("closing " + copy_spec + " failed");
    }
    std::unique_ptr<MessageBase> copy = OpenOrCreate(platform::kDenyWrite, copy_spec);
    if (!copy) Fail("can not open " + copy_spec);
    if (copy->count() != static_cast<int32_t>(records.size())) {
      Fail(copy_spec + ": " + std::to_string(records.size()) + " messages written, " +
           std::to_string(copy->count()) + " read back");
    }
    for (int32_t n = 1; n <= copy->count(); ++n) {
      MessageRecord back;
      if (!copy->ReadMessage(n, back)) Fail(copy_spec + ": message " + std::to_string(n) + " does not read");
      std::string got = Carried(kind, back, false, &scopes[static_cast<size_t>(n - 1)]);
      const std::string& want = expected[static_cast<size_t>(n - 1)];
      if (got != want) {
        Fail(copy_spec + ": message " + std::to_string(n) + " differs\n--- written\n" + want +
             "--- read back\n" + got + "--- the message written\n" +
             sources[static_cast<size_t>(n - 1)] + "--- the message read back\n" + Dump(back));
      }
    }
  }
}

}  // namespace quil::fuzz
