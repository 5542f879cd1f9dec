// Building and parsing the JAM subfield area of a message.
#include "indexed/jam_subfields.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <unordered_set>

#include "indexed/jam_format.h"
#include "model/addresses.h"
#include "runtime/coding.h"
#include "runtime/string_ops.h"

namespace quil::jam {

namespace {

constexpr char kControlMark = '\x01';
constexpr std::string_view kTraceSuffix = " from jam area by Quil";
// A TRACE subfield starts with a fourteen-digit date-time stamp.
constexpr size_t kTraceStampLength = 14;
constexpr size_t kTraceDateLength = 8;

constexpr std::string_view kIntl = "\x01INTL ";
constexpr std::string_view kTopt = "\x01TOPT ";
constexpr std::string_view kFmpt =
    "\x01"
    "FMPT ";
constexpr std::string_view kVia = "\x01Via ";
constexpr std::string_view kRecd = "\x01Recd ";
constexpr std::string_view kForwarded =
    "\x01"
    "Forwarded ";
constexpr std::string_view kArea = "AREA:";
constexpr std::string_view kTid = "TID: ";

// Control lines that JAM gives a subfield kind of their own, by the prefix
// of the line after its ^A.  The prefix is matched as written, so that the
// line comes back exactly.
struct KludgeSubfield {
  uint32_t id;
  std::string_view prefix;
};
constexpr KludgeSubfield kKludgeSubfields[] = {
    {kSubTzutc, "TZUTC: "},
};

// The subfield for a control line (its ^A removed): its own kind when it
// has one, else FTSKLUDGE.
void AppendKludge(std::string* area, std::string_view line) {
  for (const KludgeSubfield& kind : kKludgeSubfields) {
    if (line.starts_with(kind.prefix)) {
      AppendSubfield(area, kind.id, line.substr(kind.prefix.size()));
      return;
    }
  }
  AppendSubfield(area, kSubFtsKludge, line);
}

// A control line as a subfield stores it: without its leading ^A.
std::string_view WithoutControlMark(std::string_view line) {
  if (!line.empty() && line.front() == kControlMark) line.remove_prefix(1);
  return line;
}

void AppendIfSet(std::string* area, uint32_t id, std::string_view data) {
  if (!data.empty()) AppendSubfield(area, id, data);
}

// The other control lines a record holds, for filing each new one once:
// searched in the list itself while it is short, and through a set of its
// values once it is long, so that a message of many kludges costs no
// search of the whole list for each.
class KeptLines {
 public:
  explicit KeptLines(const StringList& list) : list_(list) {}

  // What ApplyKludge takes: null while the list is short.
  std::unordered_set<std::string>* For() {
    if (!set_ && list_.count() > kSearchedInPlace) set_.emplace(list_.begin(), list_.end());
    return set_ ? &*set_ : nullptr;
  }

 private:
  static constexpr int32_t kSearchedInPlace = 16;

  const StringList& list_;
  std::optional<std::unordered_set<std::string>> set_;
};

void ApplyOne(uint32_t id, std::string_view data, MessageRecord& r, KeptLines& kept) {
  switch (id) {
    case kSubSenderName:
      r.from_name = data;
      break;
    case kSubReceiverName:
      r.to_name = data;
      break;
    case kSubMsgid:
      r.msgid = data;
      break;
    case kSubReplyId:
      r.reply = data;
      break;
    case kSubSubject:
      r.subject = data;
      break;
    case kSubPid:
      r.pid = data;
      break;
    case kSubTrace:
      r.routing_lines.Insert(TraceToRoutingLine(data));
      break;
    case kSubEnclosedFile:
    case kSubEnclosedFileAlias:
    case kSubEnclosedFileWildcard:
    case kSubEnclosedIndirectFile:
      if (r.HasAttribute(kAttrFileAttached)) r.subject = data;
      break;
    case kSubEnclosedFreq:
      if (r.HasAttribute(kAttrFileRequest)) r.subject = data;
      break;
    case kSubEmbeddedData:
    case kSubFtsKludge:
      ApplyKludge(data, r, kept.For());
      break;
    case kSubSeenBy:
      r.seenby_lines.Insert(data);
      break;
    case kSubPath:
      r.path_lines.Insert(data);
      break;
    case kSubTzutc:
      for (const KludgeSubfield& kind : kKludgeSubfields) {
        if (kind.id != id) continue;
        // The line as its kludge: the prefix in front of the data.
        char line[kMaxString];
        const size_t prefix = std::min(kind.prefix.size(), sizeof line);
        kind.prefix.copy(line, prefix);
        const size_t size = prefix + data.copy(line + prefix, sizeof line - prefix);
        ApplyKludge(std::string_view(line, size), r, kept.For());
      }
      break;
    case kSubFlags:
      // The words of the subfield join those the Attribute field gave, so
      // that neither source is lost; the record's conversion makes them
      // canonical afterwards.
      r.flags = Trim(std::string(data) + " " + r.flags.str(), kBlanks);
      break;
    default:
      break;
  }
}

}  // namespace

void AppendSubfield(std::string* area, uint32_t id, std::string_view data) {
  SubfieldHeader header;
  header.lo_id = static_cast<uint16_t>(id);
  header.hi_id = static_cast<uint16_t>(id >> 16);
  header.length = static_cast<uint32_t>(data.size());
  auto bytes = header.Encode();
  area->append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  area->append(data);
}

std::string BuildSubfields(const MessageRecord& r) {
  std::string area;
  BuildSubfields(r, &area);
  return area;
}

void BuildSubfields(const MessageRecord& r, std::string* area_out) {
  std::string& area = *area_out;
  area.clear();
  area.reserve(512);
  char address[kMaxAddressText];
  AppendSubfield(&area, kSubOriginAddress,
                 std::string_view(address, PutAddressText(address, r.orig_zone, r.orig_net,
                                                          r.orig_node, r.orig_point)));
  AppendSubfield(&area, kSubDestinationAddress,
                 std::string_view(address, PutAddressText(address, r.dest_zone, r.dest_net,
                                                          r.dest_node, r.dest_point)));
  AppendIfSet(&area, kSubSenderName, r.from_name);
  AppendIfSet(&area, kSubReceiverName, r.to_name);
  AppendIfSet(&area, kSubMsgid, r.msgid);
  AppendIfSet(&area, kSubReplyId, r.reply);
  AppendIfSet(&area, kSubSubject, r.subject);
  AppendIfSet(&area, kSubPid, r.pid);
  if (r.HasAttribute(kAttrFileRequest)) AppendIfSet(&area, kSubEnclosedFreq, r.subject);
  if (r.HasAttribute(kAttrFileAttached)) AppendIfSet(&area, kSubEnclosedFile, r.subject);
  if (!r.tid.empty()) AppendSubfield(&area, kSubFtsKludge, std::string(kTid) + r.tid.str());
  for (const std::string& line : r.routing_lines) {
    AppendSubfield(&area, kSubFtsKludge, WithoutControlMark(line));
  }
  for (const std::string& line : r.control_lines) AppendKludge(&area, WithoutControlMark(line));
  AppendIfSet(&area, kSubFlags, r.flags);
  for (const std::string& line : r.seenby_lines) AppendSubfield(&area, kSubSeenBy, line);
  for (const std::string& line : r.path_lines) AppendSubfield(&area, kSubPath, line);
}

void ApplySubfields(std::span<const uint8_t> area, MessageRecord& r) {
  ByteReader in(area);
  // The MSGID is the MSGID subfield's wherever it stands, and none without
  // one (the record's reader makes one up then).
  std::optional<std::string_view> msgid;
  // The other control lines the record holds, each value taken once.
  KeptLines kept(r.control_lines);
  // The address subfields, in order, are applied once it is known whether
  // the message is echomail: echomail has no INTL text, so the halves of
  // one are not put together.  The addresses depend on nothing else the
  // subfields say, nor anything else on them.  A few are held; a damaged
  // area of more has the first ones applied with their INTL halves, which
  // the end of this function removes again from echomail.
  struct AddressSubfield {
    bool origin;
    std::string_view text;
  };
  std::array<AddressSubfield, 4> addresses;
  size_t held = 0;
  auto apply_addresses = [&](bool with_intl) {
    for (size_t i = 0; i < held; ++i) {
      const auto& [origin, text] = addresses[i];
      if (with_intl) {
        // The MSGID is the MSGID subfield's, not made from the origin.
        origin ? r.ParseOriginAddressOnly(text) : r.ParseDestinationAddress(text);
      } else {
        origin ? r.SetOriginFromText(text) : r.SetDestinationFromText(text);
      }
    }
    held = 0;
  };
  while (in.remaining() >= kSubfieldHeaderSize) {
    auto raw = in.Bytes(kSubfieldHeaderSize);
    // No subfield starts with the signature of a message header: an area
    // said to be longer than it is has run into the next message.
    if (std::equal(kSignature.begin(), kSignature.end(), raw.begin())) break;
    SubfieldHeader header = SubfieldHeader::Decode(raw);
    if (header.length > kMaxSubfieldData) {
      // Skipping past the end leaves nothing to read, which ends the loop.
      in.Skip(header.length);
      continue;
    }
    if (header.length > in.remaining()) break;
    auto data = in.Bytes(header.length);
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (header.id() == kSubOriginAddress || header.id() == kSubDestinationAddress) {
      if (held == addresses.size()) apply_addresses(true);
      addresses[held++] = {header.id() == kSubOriginAddress, text};
      continue;
    }
    if (header.id() == kSubMsgid) msgid = text;
    ApplyOne(header.id(), text, r, kept);
  }
  r.msgid = msgid.value_or(std::string_view());
  const bool echomail = r.IsEchomail();
  apply_addresses(!echomail);
  // One address subfield without the other (echomail has no destination)
  // leaves half an INTL text; a message without both addresses has none;
  // echomail has none whatever its subfields say.
  if (!r.intl.empty() &&
      (echomail || r.intl.str().front() == ' ' || WordView(2, r.intl, kBlanks).empty())) {
    r.intl.Empty();  // the next message reuses its storage
  }
}

std::string TraceToRoutingLine(std::string_view data) {
  std::string s = Cut(data);
  if (s.size() < kTraceStampLength) return Cut(std::string(kVia) + s + std::string(kTraceSuffix));
  // "yyyymmddhhmmss rest" -> " rest @yyyymmdd.hhmmss"
  s.insert(kTraceDateLength, ".");
  s = Cut(s);
  const size_t stamp = kTraceStampLength + 1;
  s = Cut(s + " @" + s.substr(0, stamp));
  s.erase(0, stamp);
  s = Cut(s + std::string(kTraceSuffix));
  return Cut(std::string(kVia) + s);
}

void ApplyKludge(std::string_view data, MessageRecord& r, std::unordered_set<std::string>* kept) {
  // ^A and the data, cut at 255 characters, put together without
  // allocating: most lines are filed as they are, or dropped.
  char joined[kMaxString];
  joined[0] = kControlMark;
  const std::string_view line(joined, 1 + data.copy(joined + 1, sizeof joined - 1));
  auto routing = [&](std::string_view prefix) {
    r.routing_lines.Insert(std::string(prefix).append(line.substr(prefix.size())));
  };
  // Each of these prefixes is ^A and an ASCII letter: most fail at that
  // letter, folded once for all of them.
  const char letter = line.size() > 1 ? AsciiUpCase(line[1]) : '\0';
  auto is = [&line, letter](std::string_view prefix) {
    return letter == AsciiUpCase(prefix[1]) && StartsWithNoCase(line, prefix);
  };
  if (is(kIntl) || is(kTopt) || is(kFmpt)) {
    return;  // the addresses come from OADDRESS and DADDRESS
  }
  if (is(kVia)) {
    routing(kVia);
  } else if (is(kRecd)) {
    routing(kRecd);
  } else if (is(kForwarded)) {
    routing(kForwarded);
  } else if (StartsWithNoCase(std::string_view(line).substr(1), kArea)) {
    r.area = line.substr(1 + kArea.size());
  } else if (kept != nullptr ? kept->emplace(line).second : r.control_lines.Search(line) < 0) {
    r.control_lines.Insert(line);
  }
}

}  // namespace quil::jam
