// The message record: the one in-memory form of a message that every base
// kind reads into and writes from.
//
// Header fields, the values of the control lines the library understands,
// lists of the other control lines, and the body text with every recognised
// control line removed are kept apart, so a message read from one format can
// be written to any other.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/attributes.h"
#include "model/dates.h"
#include "runtime/collection.h"
#include "runtime/stream.h"
#include "runtime/string_ops.h"

namespace quil {

// Direction of a conversion between a record and its stored form.
enum class Direction : uint8_t {
  kWriting = 0,  // record to storage (flags are the master)
  kReading = 1,  // storage to record
};

// Record state: where the record has been lately.  The library never tests
// it; it is bookkeeping for callers.
enum RecordState : uint8_t {
  kRecordCleared = 0,
  kRecordRead = 2,
  kRecordWritten = 3,
};

// What a stored message says about its kind, where its format says it at all
// (the JAM message type bits); the other formats leave it unknown.
enum class MessageType : uint8_t {
  kUnknown = 0,
  kNetmail = 1,
  kEchomail = 2,
};

// An address field that holds this value is not set.
constexpr uint16_t kAddressNotSet = 0xFFFF;
constexpr int kReplyListSize = 66;
constexpr size_t kBodyBlockSize = 4096;

class MessageRecord {
 public:
  MessageRecord();
  MessageRecord(const MessageRecord&) = delete;
  MessageRecord& operator=(const MessageRecord&) = delete;
  virtual ~MessageRecord();

  // Empties the record: every text, list, flag and number, the body; the
  // eight address fields become "not set" and the state 0.
  void Clear();

  // Empties every header field (texts, numbers, dates, reply list, tear
  // and origin flags, attribute flags), marks the address fields not set,
  // state 0.  The body, the line lists and the MSGID/INTL-present flags
  // stay.  The texts keep their storage, so that a record read into again
  // and again allocates little.
  void ResetNumbers();

  // on: attributes |= mask; off: attributes &= ~mask.
  void SetAttribute(uint32_t mask, bool on) {
    if (on) {
      attributes |= mask;
    } else {
      attributes &= ~mask;
    }
  }
  // True when any bit of mask is set in the attribute word.
  bool HasAttribute(uint32_t mask) const { return (attributes & mask) != 0; }

  // Ties the attribute word, the 28 flags and the FLAGS text together.
  // Writing: flags 0..17 set their bits, FLAGS text := canonical text.
  // Reading: words of the FLAGS text set bits (never clear them), flags
  // 18..27 follow the text, flags 0..17 follow the word, FLAGS text :=
  // canonical text.  The canonical text: the words of the set flags 18..27
  // in table order, upper case, single blanks between them.
  void ConvertFlags(Direction direction);

  // After a read: derives missing addresses, MSGID and INTL (unless
  // make_up_kludges is off) and the date.
  void Normalise();

  // True for echomail, whose writers add no INTL, FMPT or TOPT: the message
  // has an area tag, SEEN-BY or PATH lines, or a stored type of echomail; or
  // it has an origin line and neither a stored type of netmail nor an INTL
  // line of its own (intl_present), the marks of netmail that carries one.
  bool IsEchomail() const;

  // zone:net/node, then ".point" when the point is not 0; never a domain.
  std::string FormatOriginAddress() const;
  std::string FormatDestinationAddress() const;

  // Sets the origin address (and domain), the MSGID text and the origin half
  // of the INTL text from an address text.
  void ParseOriginAddress(std::string_view text);
  // The same without the MSGID text, for a reader that takes the MSGID from
  // elsewhere.
  void ParseOriginAddressOnly(std::string_view text);
  // Sets the destination address (and domain) and the destination half of
  // the INTL text from an address text.
  void ParseDestinationAddress(std::string_view text);
  // The two above without the INTL text, for echomail, which has none.
  void SetOriginFromText(std::string_view text);
  void SetDestinationFromText(std::string_view text);

  const ShortString& GetToName() const { return to_name; }

  // Appends ^A"Via " + text to the routing lines.
  void AddViaLine(std::string_view text);

  ShortString from_name;
  ShortString to_name;
  ShortString subject;
  DateText date_text;  // FTS-0001 form, at most 20 characters
  uint16_t times_read = 0;
  DateTime date_written;
  DateTime date_arrived;
  int32_t reply_to = 0;
  ShortString msgid;  // value of ^A"MSGID: "
  ShortString reply;  // value of ^A"REPLY: "
  ShortString intl;   // value of ^A"INTL ": destination, blank, origin
  ShortString pid;    // value of ^A"PID: "
  ShortString tid;    // value of ^A"TID: "
  ShortString tear_line;  // what followed "---"; one blank when nothing did
  bool has_tear_line = false;
  ShortString origin;  // origin line text, without the address in parentheses
  bool has_origin = false;
  ShortString area;   // echo area tag; empty for netmail
  ShortString flags;  // value of ^A"FLAGS ", canonical form
  uint16_t orig_zone = kAddressNotSet;
  uint16_t dest_zone = kAddressNotSet;
  uint16_t orig_node = kAddressNotSet;
  uint16_t dest_node = kAddressNotSet;
  uint16_t orig_net = kAddressNotSet;
  uint16_t dest_net = kAddressNotSet;
  uint16_t orig_point = kAddressNotSet;
  uint16_t dest_point = kAddressNotSet;
  ShortString orig_domain;
  ShortString dest_domain;
  uint16_t cost = 0;
  uint32_t attributes = 0;
  uint32_t stored_number = 0;  // JAM MessageNumber, Squish index umsgid
  uint16_t utc_offset = 0;
  // Numbers of replies to this message; replies[0] is the first, 0 = none.
  std::array<int32_t, kReplyListSize> replies{};
  uint32_t unique_id = 0;  // Squish message header umsgid
  MessageType stored_type = MessageType::kUnknown;  // as the stored message said
  std::array<bool, kAttributeFlagCount> attribute_flags{};
  // The MSGID and INTL texts stood in the stored message, as opposed to
  // being made up by a reader.  A copy carries only those that stood there;
  // an INTL that stood there marks netmail (IsEchomail).
  bool msgid_present = false;
  bool intl_present = false;
  // Whether Normalise makes up the MSGID and INTL texts a stored message
  // lacks.  A copy into another base, which writes only the lines that
  // stood there, turns it off rather than make them to drop them.  Clear
  // leaves it as it is.
  bool make_up_kludges = true;

  // The message text with every recognised control line removed.
  MemoryStream body{kBodyBlockSize};
  // Whole ^A"Via ", ^A"Recd " and ^A"Forwarded " lines, ^A included.
  StringList routing_lines;
  // Whole ^A lines no rule recognises, ^A included, each value once.
  StringList control_lines;
  // Values of ^A"PATH: " lines.
  StringList path_lines;
  // Values of "SEEN-BY: " lines.
  StringList seenby_lines;

  RecordState state = kRecordCleared;

  // Scratch of the text reader (where it found control lines), kept so
  // that reading message after message into one record allocates little.
  // Means nothing between reads.
  std::vector<std::pair<int64_t, int64_t>> text_ranges;
};

}  // namespace quil
