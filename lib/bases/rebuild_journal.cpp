// The journal's text form: writing it and reading it back, checking every
// line.
#include "bases/rebuild_journal.h"

#include <charconv>
#include <sstream>

namespace quil {

namespace {

constexpr std::string_view kFirstLine = "quil-write-back 1";
constexpr std::string_view kLastLine = "end";
constexpr std::string_view kNoName = "-";

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unhex(std::string_view text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    *bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

// A name as a journal holds it: "-" for none.  Names are file names the
// library made or listed; one with a blank or a control character can not
// be written.
bool UsableName(std::string_view name) {
  if (name == kNoName) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7F) return false;
  }
  return true;
}

std::string NameField(std::string_view name) {
  return name.empty() ? std::string(kNoName) : std::string(name);
}

// The words of one line, split at single blanks.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (start <= line.size()) {
    size_t blank = line.find(' ', start);
    if (blank == std::string_view::npos) blank = line.size();
    words.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  return words;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number* value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseIdentity(std::string_view device, std::string_view inode,
                   platform::FileIdentity* identity) {
  return ParseNumber(device, &identity->device) && ParseNumber(inode, &identity->inode);
}

bool ParseName(std::string_view text, bool may_be_none, std::string* name) {
  if (text == kNoName && may_be_none) {
    name->clear();
    return true;
  }
  if (!UsableName(text)) return false;
  name->assign(text);
  return true;
}

bool ParseRecord(const std::vector<std::string_view>& w, WriteBackJournal* journal) {
  const std::string_view kind = w[0];
  if (kind == "kind" && w.size() == 2 && w[1].size() == 1) {
    journal->mark = w[1][0];
    return true;
  }
  if (kind == "file" && w.size() == 3) {
    WriteBackJournal::File file;
    if (w[1] != kNoName) file.extension = w[1];
    if (!ParseNumber(w[2], &file.size) || file.size < 0) return false;
    journal->files.push_back(file);
    return true;
  }
  if (kind == "boundary" && w.size() == 2) {
    return ParseNumber(w[1], &journal->boundary) && journal->boundary >= 0;
  }
  if (kind == "header" && w.size() == 2) return Unhex(w[1], &journal->header);
  if (kind == "known" && w.size() == 3) {
    std::pair<int64_t, std::string> entry;
    if (!ParseNumber(w[1], &entry.first) || entry.first < 0 || !Unhex(w[2], &entry.second)) {
      return false;
    }
    journal->known.push_back(std::move(entry));
    return true;
  }
  if (kind == "move" && w.size() == 8) {
    WriteBackJournal::Move move;
    if (!ParseName(w[1], false, &move.name) || !ParseName(w[2], false, &move.target) ||
        !ParseName(w[3], true, &move.vessel) || !ParseIdentity(w[4], w[5], &move.vessel_identity) ||
        !ParseIdentity(w[6], w[7], &move.new_identity)) {
      return false;
    }
    journal->moves.push_back(std::move(move));
    return true;
  }
  if (kind == "drop" && w.size() == 4) {
    WriteBackJournal::Drop drop;
    if (!ParseName(w[1], false, &drop.name) || !ParseIdentity(w[2], w[3], &drop.identity)) {
      return false;
    }
    journal->drops.push_back(std::move(drop));
    return true;
  }
  return false;
}

}  // namespace

std::string EncodeJournal(const WriteBackJournal& journal) {
  std::ostringstream out;
  out << kFirstLine << "\nkind " << journal.mark << "\n";
  for (const WriteBackJournal::File& file : journal.files) {
    out << "file " << NameField(file.extension) << " " << file.size << "\n";
  }
  if (journal.mark == 'S' || journal.mark == 'J') {
    out << "boundary " << journal.boundary << "\n";
    out << "header " << Hex(journal.header) << "\n";
  }
  for (const auto& [position, bytes] : journal.known) {
    out << "known " << position << " " << Hex(bytes) << "\n";
  }
  for (const WriteBackJournal::Move& move : journal.moves) {
    out << "move " << move.name << " " << move.target << " " << NameField(move.vessel) << " "
        << move.vessel_identity.device << " " << move.vessel_identity.inode << " "
        << move.new_identity.device << " " << move.new_identity.inode << "\n";
  }
  for (const WriteBackJournal::Drop& drop : journal.drops) {
    out << "drop " << drop.name << " " << drop.identity.device << " " << drop.identity.inode
        << "\n";
  }
  out << kLastLine << "\n";
  return out.str();
}

bool DecodeJournal(std::string_view text, WriteBackJournal* journal) {
  *journal = WriteBackJournal();
  bool first = true;
  bool ended = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return false;  // a last line cut short
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (ended) return false;  // nothing may follow the end
    if (first) {
      if (line != kFirstLine) return false;
      first = false;
    } else if (line == kLastLine) {
      ended = true;
    } else if (!ParseRecord(Words(line), journal)) {
      return false;
    }
  }
  return ended && journal->mark != 0;
}

}  // namespace quil
