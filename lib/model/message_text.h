// Stored message text and the record: splitting text into control lines and
// body (ReadText), completing what a read found (Normalise, in the record),
// and joining a record back into stored text (WriteText).
//
// Stored text frames the body with control lines: kludges beginning with
// ^A (byte 0x01) at the top; tear line, origin line, SEEN-BY, PATH and
// routing lines at the bottom.  Prefixes are compared without regard to
// case, always at the very start of a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/message_record.h"
#include "runtime/stream.h"

namespace quil {

// Prefixes of the control lines every base kind knows; ^A is the byte 0x01.
namespace control_line {
inline constexpr std::string_view kIntl = "\x01" "INTL ";
inline constexpr std::string_view kTopt = "\x01" "TOPT ";
inline constexpr std::string_view kFmpt = "\x01" "FMPT ";
inline constexpr std::string_view kMsgid = "\x01" "MSGID: ";
inline constexpr std::string_view kReply = "\x01" "REPLY: ";
inline constexpr std::string_view kFlags = "\x01" "FLAGS ";
inline constexpr std::string_view kPid = "\x01" "PID: ";
inline constexpr std::string_view kTid = "\x01" "TID: ";
inline constexpr std::string_view kVia = "\x01" "Via ";
inline constexpr std::string_view kRecd = "\x01" "Recd ";
inline constexpr std::string_view kForwarded = "\x01" "Forwarded ";
inline constexpr std::string_view kPath = "\x01" "PATH: ";
inline constexpr std::string_view kSeenBy = "SEEN-BY: ";
inline constexpr std::string_view kTear = "---";
inline constexpr std::string_view kOrigin = " * Origin: ";
inline constexpr char kCr = '\r';
}  // namespace control_line

// The most stored text one message may have.  A longer text is taken for
// damage (a bogus length, a file whose end is missing): its message is not
// read, rather than held in memory whole.
inline constexpr int64_t kMaxMessageText = int64_t{64} << 20;

// Splits the bytes [from, to) of `source` into `record`: recognised leading
// and trailing control lines go to their fields and lists, the rest becomes
// the body.  With `header_only`, only the leading lines are parsed, straight
// from `source`, and the body is left alone.  Fails without touching the
// record when from >= to, `source` is shorter than `to` or the range is
// longer than kMaxMessageText.  The bytes are read into `buffer` when one is
// given (a caller that reads many messages keeps one for all).
bool ReadText(Stream& source, int64_t from, int64_t to, bool header_only, MessageRecord& record,
              std::string* buffer = nullptr);

// The same for stored text that is in memory already.  Fails without
// touching the record for an empty text or one longer than
// kMaxMessageText.
bool ReadText(std::string_view stored, bool header_only, MessageRecord& record);

// Writes the record as stored text at `out`'s position: for netmail (not
// IsEchomail) the kludges INTL, FMPT and TOPT, then MSGID, REPLY, FLAGS,
// PID, TID, the other control lines, the body unchanged, tear line, origin
// line, SEEN-BY, PATH and routing lines.  Every line it adds ends with CR;
// nothing follows the last.  The body is read from its start (its position
// and error status are reset).
void WriteText(MessageRecord& record, Stream& out);
// The same, appended to `out`.
void WriteText(MessageRecord& record, std::string* out);

// The kludges that carry the zones and points of netmail, as (prefix,
// value), in the order FidoNet software writes them: INTL, FMPT, TOPT (a
// point of 0 or not set is none).  None for echomail (IsEchomail).
std::vector<std::pair<std::string_view, std::string>> NetmailKludges(const MessageRecord& record);

// Appends to `text`, which ends with the body, the lines WriteText puts
// below it: tear line and origin line, then (with `lists`) SEEN-BY, PATH and
// routing lines, each ended by CR and at most 255 bytes long (a reader takes
// no more of a line).  When the body ends inside a line, a CR ends that line
// first, so that the first of them is a line of its own.
void AppendTrailingLines(const MessageRecord& record, std::string& text, bool lists = true);

// Appends the body to `text`, then the lines AppendTrailingLines puts below
// it (with `lists` as there).  Whatever `text` holds in front of the body
// does not count: behind an empty body the lines go as they would into an
// empty text.
void AppendBodyAndTrailingLines(const MessageRecord& record, std::string& text,
                                bool lists = true);

// `value` as one line of stored text can hold it: without CR and LF, which
// would end the line early and make the rest of it a line the message did
// not have.
std::string OneLine(std::string_view value);
// Appends OneLine(value) to `out`.
void AppendOneLine(std::string& out, std::string_view value);

// A fresh MSGID serial: 8 lower-case hexadecimal digits from the local time
// with hundredths and a pseudo-random number.
std::string NewMessageSerial();

}  // namespace quil
