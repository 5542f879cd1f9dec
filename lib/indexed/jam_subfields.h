// JAM subfields: turning a record's names, addresses and control lines into
// the subfield area that follows a message header, and back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "model/message_record.h"

namespace quil::jam {

// Appends one subfield (8-byte header with HiID 0, then the data) to `area`.
void AppendSubfield(std::string* area, uint32_t id, std::string_view data);

// The subfield area for `record`, in this order: OADDRESS and DADDRESS
// (always), SENDERNAME, RECEIVERNAME, MSGID, REPLYID, SUBJECT, PID (each
// when not empty), ENCLOSEDFREQ and ENCLOSEDFILE (the subject, for a file
// request or file attach), an FTSKLUDGE "TID: " with the TID text (when not
// empty), one FTSKLUDGE per routing line and per other control line
// (without the leading ^A; a control line of a kind that has a subfield of
// its own, ^A"TZUTC: ", goes into that subfield, TZUTCINFO, without its
// prefix), FLAGS (when not empty), one SEENBY2D per SEEN-BY line and one
// PATH2D per PATH line.
std::string BuildSubfields(const MessageRecord& record);
// The same into `area`, whose storage is reused.
void BuildSubfields(const MessageRecord& record, std::string* area);

// Applies a subfield area to `record`, whose attribute word and stored type
// must already hold the message's (the enclosed-file subfields depend on
// the one, telling echomail on the other), and whose text is read.
// Subfields longer than 255 bytes are skipped; a subfield that runs past the
// end of the area ends the parsing, and so does the signature of a message
// header where a subfield should begin; unknown ids are skipped.  TZUTCINFO
// becomes the control line ^A"TZUTC: " + data.  The MSGID text is that of
// the MSGID subfield wherever it stands, or empty without one (the origin
// address's parser makes one up, which the message did not carry).  The
// INTL text that the two address subfields make is the message's for
// netmail only: it is dropped for echomail, and when only one of them gave
// its half.  Never reads outside `area`.
void ApplySubfields(std::span<const uint8_t> area, MessageRecord& record);

// The routing line a TRACE subfield becomes: a fourteen-digit stamp, a blank
// and an address ("20010305173009 1:2/3") gives
// ^A"Via  1:2/3 @20010305.173009 from jam area by Quil".  Data shorter than
// a stamp is kept as it is: ^A"Via " + data + " from jam area by Quil".
std::string TraceToRoutingLine(std::string_view data);

// Files an FTSKLUDGE (or EMBINDAT) subfield: INTL, TOPT and FMPT are
// dropped, Via, Recd and Forwarded become routing lines, AREA: sets the
// area tag, everything else is added to the other control lines (each value
// once).  Prefixes are compared without regard to case.  `kept`, when given,
// holds the other control lines the record has (and takes the new one), so
// that filing many costs no search of the list each.
void ApplyKludge(std::string_view data, MessageRecord& record,
                 std::unordered_set<std::string>* kept = nullptr);

}  // namespace quil::jam
