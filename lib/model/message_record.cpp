#include "model/message_record.h"

namespace quil {

MessageRecord::MessageRecord() { Clear(); }

MessageRecord::~MessageRecord() = default;

void MessageRecord::Clear() {
  msgid_present = false;
  intl_present = false;
  body.Empty();
  routing_lines.FreeAll();
  control_lines.FreeAll();
  path_lines.FreeAll();
  seenby_lines.FreeAll();
  ResetNumbers();
}

void MessageRecord::ResetNumbers() {
  // Every field from the from name to the unique id, texts included.  The
  // texts keep their storage for the next message a reader puts there.
  for (ShortString* text : {&from_name, &to_name, &subject, &msgid, &reply, &intl, &pid, &tid,
                            &tear_line, &origin, &area, &flags, &orig_domain, &dest_domain}) {
    text->Empty();
  }
  date_text.Empty();
  has_tear_line = false;
  has_origin = false;
  times_read = 0;
  date_written = DateTime();
  date_arrived = DateTime();
  reply_to = 0;
  orig_zone = dest_zone = orig_node = dest_node = kAddressNotSet;
  orig_net = dest_net = orig_point = dest_point = kAddressNotSet;
  cost = 0;
  attributes = 0;
  stored_number = 0;
  utc_offset = 0;
  replies.fill(0);
  unique_id = 0;
  stored_type = MessageType::kUnknown;
  attribute_flags.fill(false);
  state = kRecordCleared;
}

bool MessageRecord::IsEchomail() const {
  if (!area.empty() || seenby_lines.count() > 0 || path_lines.count() > 0) return true;
  switch (stored_type) {
    case MessageType::kEchomail:
      return true;
    case MessageType::kNetmail:
      return false;
    case MessageType::kUnknown:
      break;
  }
  // Netmail may carry an origin line too; one that carries an INTL line
  // says which it is.
  return has_origin && !intl_present;
}

void MessageRecord::AddViaLine(std::string_view text) {
  routing_lines.Insert("\x01" "Via " + std::string(text));
}

}  // namespace quil
