// The journal's text form: writing it and reading it back, checking every
// line.
#include "bases/rebuild_journal.h"

#include <charconv>
#include <initializer_list>
#include <string>

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

bool ParseName(std::string_view text, bool may_be_none) {
  return (text == kNoName && may_be_none) || UsableName(text);
}

std::string_view NameOrEmpty(std::string_view text) {
  return text == kNoName ? std::string_view() : text;
}

// A directory may hold a million moves.
static_assert(sizeof(WriteBackJournal::Move) == 40);

// Names are found in the journal's store by offsets below the flag bits:
// true when these would all still be.
bool RoomForNames(const WriteBackJournal& journal, std::initializer_list<std::string_view> names) {
  size_t end = journal.names.size();
  for (std::string_view name : names) end += name.size() + 1;
  return end <= WriteBackJournal::kNameAt;
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
    platform::FileIdentity vessel_identity, new_identity;
    if (!RoomForNames(*journal, {w[1], w[2], w[3]})) return false;
    if (!ParseName(w[1], false) || !ParseName(w[2], false) || !ParseName(w[3], true) ||
        !ParseIdentity(w[4], w[5], &vessel_identity) ||
        !ParseIdentity(w[6], w[7], &new_identity)) {
      return false;
    }
    journal->AddMove(w[1], w[2], NameOrEmpty(w[3]), vessel_identity, new_identity);
    return true;
  }
  if (kind == "place" && w.size() == 7) {
    platform::FileIdentity vessel_identity;
    int64_t offset = 0;
    uint32_t size = 0;
    if (!RoomForNames(*journal, {w[1], w[2]})) return false;
    if (!ParseName(w[1], false) || !ParseName(w[2], false) ||
        !ParseIdentity(w[3], w[4], &vessel_identity) || !ParseNumber(w[5], &offset) || offset < 0 ||
        !ParseNumber(w[6], &size)) {
      return false;
    }
    journal->AddPlacement(w[1], w[2], vessel_identity, offset, size);
    return true;
  }
  if (kind == "drop" && w.size() == 4) {
    platform::FileIdentity identity;
    if (!RoomForNames(*journal, {w[1]})) return false;
    if (!ParseName(w[1], false) || !ParseIdentity(w[2], w[3], &identity)) return false;
    journal->AddDrop(w[1], identity);
    return true;
  }
  return false;
}

}  // namespace

void WriteBackJournal::AddMove(std::string_view name, std::string_view target,
                               std::string_view vessel,
                               const platform::FileIdentity& vessel_identity,
                               const platform::FileIdentity& new_identity) {
  // Mostly one name serves all three: a message file goes into the file
  // of its number under the same name.
  Move move;
  if (name != target) StoreName(name);
  move.target = StoreName(target) | (name != target ? kNewNameBefore : 0);
  move.vessel = vessel.empty()     ? kNoName
                : vessel == target ? move.target & kNameAt
                                   : StoreName(vessel);
  move.vessel_identity = vessel_identity;
  move.new_identity = new_identity;
  moves.push_back(move);
}

void WriteBackJournal::AddPlacement(std::string_view target, std::string_view vessel,
                                    const platform::FileIdentity& vessel_identity, int64_t offset,
                                    uint32_t size) {
  Move move;
  move.target = StoreName(target);
  move.vessel = vessel == target ? move.target : StoreName(vessel);
  move.target |= kStaged;
  move.vessel_identity = vessel_identity;
  move.new_identity = {static_cast<uint64_t>(offset), size};
  moves.push_back(move);
}

void WriteBackJournal::AddDrop(std::string_view name, const platform::FileIdentity& identity) {
  drops.push_back({StoreName(name), identity});
}

uint32_t WriteBackJournal::StoreName(std::string_view name) {
  const auto at = static_cast<uint32_t>(names.size());
  names.append(name);
  names.push_back('\0');
  return at;
}

std::string_view WriteBackJournal::NewName(const Move& move) const {
  if ((move.target & kNewNameBefore) == 0) return Target(move);
  // The name in front of the target's: from the NUL before it, if any.
  const std::string_view before = std::string_view(names).substr(0, (move.target & kNameAt) - 1);
  const size_t end = before.rfind('\0');
  return end == std::string_view::npos ? before : before.substr(end + 1);
}

std::string_view WriteBackJournal::Name(uint32_t at) const {
  if (at >= names.size()) return {};
  const std::string_view rest = std::string_view(names).substr(at);
  return rest.substr(0, rest.find('\0'));
}

void WriteJournal(const WriteBackJournal& journal,
                  const std::function<void(std::string_view)>& out) {
  // Lines are gathered into pieces of about this size.
  constexpr size_t kPieceSize = 65536;
  std::string piece;
  auto flush = [&piece, &out](bool always) {
    if (always || piece.size() >= kPieceSize) {
      out(piece);
      piece.clear();
    }
  };
  auto number = [&piece](uint64_t value) {
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    (void)error;  // always room for a 64-bit number
    piece.append(digits, end);
  };
  auto identity = [&piece, &number](const platform::FileIdentity& id) {
    piece += ' ';
    number(id.device);
    piece += ' ';
    number(id.inode);
  };
  piece.append(kFirstLine).append("\nkind ").append(1, journal.mark).append("\n");
  for (const WriteBackJournal::File& file : journal.files) {
    piece.append("file ").append(NameField(file.extension)).append(" ");
    piece.append(std::to_string(file.size)).append("\n");
  }
  if (journal.mark == 'S' || journal.mark == 'J') {
    piece.append("boundary ").append(std::to_string(journal.boundary)).append("\n");
    piece.append("header ").append(Hex(journal.header)).append("\n");
  }
  for (const auto& [position, bytes] : journal.known) {
    piece.append("known ").append(std::to_string(position)).append(" ");
    piece.append(Hex(bytes)).append("\n");
    flush(false);
  }
  for (const WriteBackJournal::Move& move : journal.moves) {
    if (move.staged()) {
      piece.append("place ").append(journal.Target(move)).append(" ");
      piece.append(journal.Vessel(move));
      identity(move.vessel_identity);
      piece += ' ';
      number(static_cast<uint64_t>(move.staged_at()));
      piece += ' ';
      number(move.staged_size());
    } else {
      piece.append("move ").append(journal.NewName(move)).append(" ");
      piece.append(journal.Target(move)).append(" ");
      piece.append(NameField(journal.Vessel(move)));
      identity(move.vessel_identity);
      identity(move.new_identity);
    }
    piece += '\n';
    flush(false);
  }
  for (const WriteBackJournal::Drop& drop : journal.drops) {
    piece.append("drop ").append(journal.Name(drop.name));
    identity(drop.identity);
    piece += '\n';
    flush(false);
  }
  piece.append(kLastLine).append("\n");
  flush(true);
}

std::string EncodeJournal(const WriteBackJournal& journal) {
  std::string text;
  WriteJournal(journal, [&text](std::string_view piece) { text.append(piece); });
  return text;
}

JournalReader::JournalReader(WriteBackJournal* journal) : journal_(journal) {
  *journal_ = WriteBackJournal();
}

bool JournalReader::Line(std::string_view line) {
  if (ended_) return false;  // nothing may follow the end
  if (first_) {
    first_ = false;
    return line == kFirstLine;
  }
  if (line == kLastLine) {
    ended_ = true;
    return true;
  }
  return ParseRecord(Words(line), journal_);
}

bool JournalReader::Finish() const { return ended_ && journal_->mark != 0; }

bool DecodeJournal(std::string_view text, WriteBackJournal* journal) {
  JournalReader reader(journal);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return false;  // a last line cut short
    if (!reader.Line(text.substr(start, end - start))) return false;
    start = end + 1;
  }
  return reader.Finish();
}

}  // namespace quil
