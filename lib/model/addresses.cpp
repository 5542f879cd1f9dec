#include "model/addresses.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "model/message_text.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr uint16_t kDefaultZone = 2;

constexpr char kBlank = ' ';
constexpr char kAt = '@';
constexpr char kDot = '.';
const CharSet kOriginLineDelimiters = MakeCharSet(".(:/)");

uint16_t Number16(std::string_view word) { return static_cast<uint16_t>(TextToNumber(word)); }

// The first 255 characters of `text`, as a view.
std::string_view CutView(std::string_view text) { return text.substr(0, kMaxString); }

// Word 1 of `text` at `delimiter`, cut at 255 characters as ExtractWord
// cuts it.
std::string_view FirstWord(std::string_view text, char delimiter) {
  return CutView(WordView(1, text, delimiter));
}

// Zone, net, node, point and domain: the first five words of an address
// text at ":", "/", "." and "@", each cut at 255 characters, empty where
// the text has fewer words.  One pass over the text, where asking for each
// word would start over from the front five times.
using AddressWords = std::array<std::string_view, 5>;

AddressWords SplitAddress(std::string_view text) {
  AddressWords words;
  // The members of kAddressDelimiters, compared outright: this runs for
  // every address of every message.
  auto is_delimiter = [](char c) { return c == ':' || c == '/' || c == '.' || c == '@'; };
  size_t i = 0;
  for (std::string_view& word : words) {
    while (i < text.size() && is_delimiter(text[i])) ++i;
    if (i == text.size()) break;
    const size_t start = i;
    while (i < text.size() && !is_delimiter(text[i])) ++i;
    word = CutView(text.substr(start, i - start));
  }
  return words;
}

// Reads the plain form "zone:net/node" or "zone:net/node.point", each
// number of one to five digits, as the words of the text would give them:
// the numbers into `numbers` (the point 0 when there is none).  False for
// any other text.
bool ReadPlainAddress(std::string_view text, uint16_t (&numbers)[4]) {
  constexpr char kSeparators[] = {':', '/', '.'};
  size_t i = 0;
  for (size_t k = 0; k < 4; ++k) {
    uint32_t value = 0;
    const size_t start = i;
    while (i < text.size() && i - start < 5 && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
    }
    if (i == start) return false;
    // Five digits at most: the value fits, and is cut to 16 bits as the
    // general rule cuts it.
    numbers[k] = static_cast<uint16_t>(value);
    if (i == text.size()) {
      if (k < 2) return false;
      if (k == 2) numbers[3] = 0;
      return true;
    }
    if (k == 3 || text[i] != kSeparators[k]) return false;
    ++i;
  }
  return false;
}

// Sets the four numbers and the domain of one side of a message from an
// address text.
void SetAddress(std::string_view text, uint16_t* zone, uint16_t* net, uint16_t* node,
                uint16_t* point, ShortString* domain) {
  // Most texts are plain addresses without a domain.
  uint16_t numbers[4];
  if (ReadPlainAddress(text, numbers)) {
    *zone = numbers[0];
    *net = numbers[1];
    *node = numbers[2];
    *point = numbers[3];
    domain->Empty();
    return;
  }
  const AddressWords words = SplitAddress(text);
  *zone = Number16(words[0]);
  *net = Number16(words[1]);
  *node = Number16(words[2]);
  *point = Number16(words[3]);
  *domain = words[4];
}

// Sets the INTL text to "destination origin".  Either part may be a view
// into the INTL text itself: both are copied before it changes.
void JoinIntl(std::string_view destination, std::string_view origin, ShortString* intl) {
  char joined[2 * kMaxString + 1];
  destination.copy(joined, destination.size());
  joined[destination.size()] = ' ';
  origin.copy(joined + destination.size() + 1, origin.size());
  *intl = std::string_view(joined, destination.size() + 1 + origin.size());
}

bool ZoneOrNetFree(uint16_t v) { return v == 0 || v == kAddressNotSet; }
bool NodeOrPointFree(uint16_t v) { return v == kAddressNotSet; }

// The address part of a control-line value: word `word` at blanks, then the
// part before an at sign, trimmed.  (Words are cut at 255 characters, as
// the values they come from are.)
std::string_view AddressSource(std::string_view value, int word) {
  std::string_view cut = WordView(word, value, kBlank);
  cut = WordView(1, cut.substr(0, std::min(cut.size(), kMaxString)), kAt);
  return TrimView(cut.substr(0, std::min(cut.size(), kMaxString)), kBlanks);
}

bool AnyFree(uint16_t zone, uint16_t net, uint16_t node) {
  return ZoneOrNetFree(zone) || ZoneOrNetFree(net) || NodeOrPointFree(node);
}

// Fills the free ones of zone, net and node from `source`, an address part
// (AddressSource), when it looks like an address (holds both ":" and "/").
void FillFromSource(std::string_view source, uint16_t* zone, uint16_t* net, uint16_t* node) {
  // A plain address holds both and reads as its words do.
  uint16_t numbers[4];
  if (ReadPlainAddress(source, numbers)) {
    if (ZoneOrNetFree(*zone)) *zone = numbers[0];
    if (ZoneOrNetFree(*net)) *net = numbers[1];
    if (NodeOrPointFree(*node)) *node = numbers[2];
    return;
  }
  if (source.find(':') == std::string_view::npos || source.find('/') == std::string_view::npos) {
    return;
  }
  const AddressWords words = SplitAddress(source);
  if (ZoneOrNetFree(*zone)) *zone = Number16(words[0]);
  if (ZoneOrNetFree(*net)) *net = Number16(words[1]);
  if (NodeOrPointFree(*node)) *node = Number16(words[2]);
}

// Fills zone, net and node from AddressSource(value, word).  Where none of
// them is free, or the value is empty, the value is not looked at.
void FillFrom(std::string_view value, int word, uint16_t* zone, uint16_t* net, uint16_t* node) {
  if (!AnyFree(*zone, *net, *node) || value.empty()) return;
  FillFromSource(AddressSource(value, word), zone, net, node);
}

// True when every character of the MSGID text before its first blank or at
// sign is a digit, ".", "/" or ":" (a plain FidoNet address).
bool MsgidAddressIsNumeric(std::string_view msgid) {
  for (char c : msgid) {
    if (c == ' ' || c == '@') break;
    if (!((c >= '0' && c <= '9') || c == '.' || c == '/' || c == ':')) return false;
  }
  return true;
}

// Takes the trailing "(...)" part off the origin text and fills the origin
// address from it.
void CompleteFromOriginLine(MessageRecord& r) {
  std::string_view origin = r.origin;
  size_t open = origin.rfind('(');
  std::string t;
  if (open != std::string::npos) {
    t = origin.substr(open);
    r.origin = open == 0 ? std::string_view(" ") : origin.substr(0, open);
  }
  size_t blank = t.find(' ');
  if (blank != std::string::npos) t.erase(0, blank);
  if (t.find(':') != std::string::npos && t.find('/') != std::string::npos) {
    if (ZoneOrNetFree(r.orig_zone)) r.orig_zone = Number16(WordView(1, t, kOriginLineDelimiters));
    if (ZoneOrNetFree(r.orig_net)) r.orig_net = Number16(WordView(2, t, kOriginLineDelimiters));
    if (NodeOrPointFree(r.orig_node)) {
      r.orig_node = Number16(WordView(3, t, kOriginLineDelimiters));
    }
  }
  if (NodeOrPointFree(r.orig_point)) r.orig_point = 0;
}

}  // namespace

std::string AddressText(uint16_t zone, uint16_t net, uint16_t node, uint16_t point) {
  char text[kMaxAddressText];
  return std::string(text, PutAddressText(text, zone, net, node, point));
}

size_t PutAddressText(char* text, uint16_t zone, uint16_t net, uint16_t node, uint16_t point) {
  char* end = text;
  // Five digits at most: the room is always there.
  auto number = [&end](uint16_t value) { end = std::to_chars(end, end + 5, value).ptr; };
  number(zone);
  *end++ = ':';
  number(net);
  *end++ = '/';
  number(node);
  if (point != 0) {
    *end++ = '.';
    number(point);
  }
  return static_cast<size_t>(end - text);
}

std::string MessageRecord::FormatOriginAddress() const {
  return AddressText(orig_zone, orig_net, orig_node, orig_point);
}

std::string MessageRecord::FormatDestinationAddress() const {
  return AddressText(dest_zone, dest_net, dest_node, dest_point);
}

void MessageRecord::ParseOriginAddress(std::string_view text) {
  msgid = std::string(text) + " " + NewMessageSerial();
  ParseOriginAddressOnly(text);
}

void MessageRecord::ParseOriginAddressOnly(std::string_view text) {
  JoinIntl(FirstWord(intl, kBlank), FirstWord(text, kDot), &intl);
  SetOriginFromText(text);
}

void MessageRecord::ParseDestinationAddress(std::string_view text) {
  std::string_view origin = CutView(WordView(2, intl, kBlank));
  if (origin.empty()) origin = FirstWord(intl, kBlank);
  JoinIntl(FirstWord(text, kDot), origin, &intl);
  SetDestinationFromText(text);
}

void MessageRecord::SetOriginFromText(std::string_view text) {
  SetAddress(text, &orig_zone, &orig_net, &orig_node, &orig_point, &orig_domain);
}

void MessageRecord::SetDestinationFromText(std::string_view text) {
  SetAddress(text, &dest_zone, &dest_net, &dest_node, &dest_point, &dest_domain);
}

void CompleteAddresses(MessageRecord& r) {
  // Origin: INTL, then MSGID, then the origin line.
  FillFrom(r.intl, 2, &r.orig_zone, &r.orig_net, &r.orig_node);
  // The MSGID's address part, taken apart once for both uses.
  const bool any_free = AnyFree(r.orig_zone, r.orig_net, r.orig_node);
  const bool point_free = NodeOrPointFree(r.orig_point);
  const std::string_view from_msgid =
      any_free || point_free ? AddressSource(r.msgid, 1) : std::string_view();
  if (any_free) FillFromSource(from_msgid, &r.orig_zone, &r.orig_net, &r.orig_node);
  if (point_free) {
    if (from_msgid.find('.') != std::string::npos && MsgidAddressIsNumeric(r.msgid)) {
      r.orig_point = Number16(SplitAddress(from_msgid)[3]);
    }
  }
  // The domain: what follows the at sign, up to a blank.
  auto domain = [](std::string_view value) {
    // Without an at sign there is no second word (most values).
    if (value.find(kAt) == std::string_view::npos) return std::string_view();
    std::string_view after = WordView(2, value, kAt);
    after = WordView(1, after.substr(0, std::min(after.size(), kMaxString)), kBlank);
    return TrimView(after.substr(0, std::min(after.size(), kMaxString)), kBlanks);
  };
  if (r.orig_domain.empty()) r.orig_domain = domain(r.msgid);
  CompleteFromOriginLine(r);

  // Destination: INTL, then REPLY.
  FillFrom(r.intl, 1, &r.dest_zone, &r.dest_net, &r.dest_node);
  FillFrom(r.reply, 1, &r.dest_zone, &r.dest_net, &r.dest_node);
  if (NodeOrPointFree(r.dest_point)) r.dest_point = 0;
  if (r.dest_domain.empty()) r.dest_domain = domain(r.reply);
  if (r.dest_domain.empty()) r.dest_domain = r.orig_domain;

  // Each side fills the other's gaps; zones default to 2.
  if (ZoneOrNetFree(r.dest_zone)) r.dest_zone = r.orig_zone;
  if (ZoneOrNetFree(r.orig_zone)) r.orig_zone = r.dest_zone;
  if (ZoneOrNetFree(r.dest_net)) r.dest_net = r.orig_net;
  if (ZoneOrNetFree(r.orig_net)) r.orig_net = r.dest_net;
  if (NodeOrPointFree(r.dest_node)) r.dest_node = r.orig_node;
  if (NodeOrPointFree(r.orig_node)) r.orig_node = r.dest_node;
  if (ZoneOrNetFree(r.dest_zone)) r.dest_zone = kDefaultZone;
  if (ZoneOrNetFree(r.orig_zone)) r.orig_zone = kDefaultZone;
}

}  // namespace quil
