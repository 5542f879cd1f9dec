// Completing a record's addresses from whatever pieces a message provides.
#pragma once

#include "model/message_record.h"

namespace quil {

// Fills address fields that are still free (zone or net 0 or 65535, node or
// point 65535) from, in this order: the INTL origin, the MSGID, the origin
// line (whose trailing "(...)" part is removed from the origin text), the
// INTL destination, the REPLY; then the domains, then cross-fills origin
// and destination from each other and defaults the zones to 2.  The first
// source that gives a field wins.
void CompleteAddresses(MessageRecord& record);

// "zone:net/node", with ".point" behind it when the point is not 0.
std::string AddressText(uint16_t zone, uint16_t net, uint16_t node, uint16_t point);

// The longest AddressText: four numbers of five digits, three separators.
constexpr size_t kMaxAddressText = 4 * 5 + 3;
// Writes AddressText at `text`, which has room for kMaxAddressText
// characters, without making a string; returns its length.
size_t PutAddressText(char* text, uint16_t zone, uint16_t net, uint16_t node, uint16_t point);

}  // namespace quil
