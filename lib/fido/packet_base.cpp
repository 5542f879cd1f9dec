// The packet base: indexing a packet, reading and appending packed
// messages, and removing deleted ones.
#include "fido/packet_base.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "model/dates.h"
#include "model/message_text.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/stream.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';

// Index entry 0: the last header byte, standing in for the NUL in front of
// message 1.
constexpr int64_t kFirstIndexEntry = static_cast<int64_t>(kPacketHeaderSize) - 1;

// From a message boundary (the NUL) to the next message's fixed header and
// to its to name.
constexpr int64_t kBoundaryToHeader = 3;
constexpr int64_t kBoundaryToNames = kBoundaryToHeader + static_cast<int64_t>(kPackedHeaderSize);

constexpr std::string_view kAreaPrefix = "AREA:";
// The AREA line counts at most this many characters, prefix included.
constexpr size_t kMaxLine = kMaxString;

// Suffix of the side file a rewritten packet is built in.
constexpr std::string_view kRewriteSuffix = ".tmp";

// Bytes read at a time by the bounded readers.
constexpr size_t kChunk = 512;

// Reads from the stream's position up to the first byte for which `is_end`
// holds, never at or beyond `limit`, keeping at most 255 bytes.  The
// terminator is consumed; *terminator receives it, or -1 when `limit` came
// first.
template <typename IsEnd>
std::string ReadBounded(Stream& stream, int64_t limit, IsEnd is_end, int* terminator) {
  std::string text;
  *terminator = -1;
  int64_t pos = stream.GetPos();
  char chunk[kChunk];
  while (stream.ok() && pos < limit) {
    size_t n = static_cast<size_t>(std::min<int64_t>(kChunk, limit - pos));
    stream.Read(chunk, n);
    if (!stream.ok()) break;
    size_t k = 0;
    while (k < n && !is_end(chunk[k])) ++k;
    text.append(chunk, std::min(k, kMaxString - text.size()));
    pos += static_cast<int64_t>(k);
    if (k < n) {
      *terminator = static_cast<unsigned char>(chunk[k]);
      ++pos;
      break;
    }
  }
  stream.Seek(pos);
  return text;
}

// Appends to `found` every message boundary from `from` on: the first
// 00 02 00 at or after `from`, then the first at or after that one's
// position + kBoundaryToNames (the to name of the message it starts, so a
// boundary inside a fixed header is not taken), and so on.  The file is
// read once, front to back, in blocks of 32768 bytes; consecutive blocks
// overlap by the pattern's length - 1 so a boundary across them is found.
// False when a read failed.
bool FindBoundaries(Stream& stream, int64_t from, int64_t size, std::vector<int64_t>* found) {
  constexpr size_t kBlock = 32768;
  constexpr size_t kOverlap = kMessageBoundary.size() - 1;
  std::vector<char> block(kBlock + kOverlap);
  int64_t pos = from;   // file position of block[0]
  int64_t held = from;  // file position behind the last byte in block
  int64_t next = from;  // where the next boundary may begin
  while (true) {
    if (next < held) {
      std::string_view bytes(block.data(), static_cast<size_t>(held - pos));
      size_t at = bytes.find(kMessageBoundary, static_cast<size_t>(next - pos));
      if (at != std::string_view::npos) {
        int64_t p = pos + static_cast<int64_t>(at);
        found->push_back(p);
        next = p + kBoundaryToNames;
        continue;
      }
    }
    if (held >= size) return true;
    // Move on, keeping the bytes a boundary across two blocks may start in.
    int64_t keep = std::max(next, held - static_cast<int64_t>(kOverlap));
    if (keep < held) {
      std::memmove(block.data(), block.data() + (keep - pos), static_cast<size_t>(held - keep));
    } else {
      held = keep;
    }
    pos = keep;
    next = std::max(next, pos);
    size_t room = block.size() - static_cast<size_t>(held - pos);
    size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(room), size - held));
    if (want == 0) return true;
    stream.Seek(held);
    stream.Read(block.data() + (held - pos), want);
    if (!stream.ok()) return false;
    held += static_cast<int64_t>(want);
  }
}

bool IsNameEnd(char c) { return c == 0 || c == kCr; }
bool IsLineEnd(char c) { return c == kCr || c == kLf; }

// A string as the packet can hold it: up to its first byte that would end
// it early on reading.
std::string_view StoredPart(std::string_view text, std::string_view enders) {
  return text.substr(0, std::min(text.size(), text.find_first_of(enders)));
}

std::string FormatAddress(uint16_t zone, uint16_t net, uint16_t node, uint16_t point) {
  std::string text = std::to_string(zone) + ":" + std::to_string(net) + "/" + std::to_string(node);
  if (point != 0) text += "." + std::to_string(point);
  return text;
}

// Address word n of `text` as a 16-bit number (0 when missing or not a
// number).
uint16_t AddressWord(int n, std::string_view text) {
  return static_cast<uint16_t>(TextToNumber(ExtractWord(n, text, kAddressDelimiters)));
}

}  // namespace

PacketBase::~PacketBase() {
  if (is_open()) (void)RemoveDeletions();
}

// ---------------------------------------------------------------------------
// Packet header addresses and password

std::string PacketBase::GetOriginAddress() {
  return FormatAddress(header_.orig_zone, header_.orig_net, header_.orig_node, header_.orig_point);
}

std::string PacketBase::GetDestinationAddress() {
  return FormatAddress(header_.dest_zone, header_.dest_net, header_.dest_node, header_.dest_point);
}

std::string PacketBase::GetPassword() { return GetFixedString(header_.password); }

void PacketBase::SetOriginAddress(std::string_view address) {
  header_.orig_zone = header_.orig_zone_fts = AddressWord(1, address);
  header_.orig_net = AddressWord(2, address);
  header_.orig_node = AddressWord(3, address);
  header_.orig_point = AddressWord(4, address);
}

void PacketBase::SetDestinationAddress(std::string_view address) {
  header_.dest_zone = header_.dest_zone_fts = AddressWord(1, address);
  header_.dest_net = AddressWord(2, address);
  header_.dest_node = AddressWord(3, address);
  header_.dest_point = AddressWord(4, address);
}

void PacketBase::SetPassword(std::string_view password) {
  header_.password.fill(0);
  size_t n = std::min(password.size(), kPacketPasswordSize);
  std::memcpy(header_.password.data(), password.data(), n);
}

// ---------------------------------------------------------------------------
// Opening and indexing

bool PacketBase::OpenPacketFile() {
  read_only_ = false;
  auto file = std::make_unique<FileStream>(path_, platform::kModeReadWrite | sharing_);
  if (!file->is_open() && file->error_info() == platform::kAccessDenied) {
    file = std::make_unique<FileStream>(path_, platform::kModeRead | sharing_);
    read_only_ = true;
  }
  if (!file->is_open()) return false;
  message_stream_ = std::move(file);
  return true;
}

void PacketBase::SetEmpty() {
  index_.assign(1, kFirstIndexEntry);
  deletions_.clear();
  known_end_.reset();
  count_ = 0;
  error_state_ = kBaseOpen;
}

bool PacketBase::Open(uint32_t sharing, std::string_view path) {
  std::string target(path);
  if (!PrepareOpen(sharing, target)) return false;
  message_stream_.reset();
  if (!OpenPacketFile()) return false;
  Stream& stream = *message_stream_;
  int64_t size = stream.GetSize();
  if (!stream.ok()) {
    message_stream_.reset();
    return false;
  }
  if (size < static_cast<int64_t>(kPacketHeadSize)) {
    SetEmpty();
    return true;
  }
  uint8_t head[kPacketHeadSize];
  stream.Seek(0);
  stream.Read(head, sizeof head);
  if (!stream.ok()) {
    message_stream_.reset();
    return false;
  }
  header_ =
      DecodePacketHeader(std::span<const uint8_t, kPacketHeaderSize>(head, kPacketHeaderSize));
  following_word_ = GetU16LE(head + kPacketHeaderSize);
  return Index();
}

bool PacketBase::WriteHead(uint16_t word) {
  DateTime now;
  SetNow(&now);
  header_.packet_type = kPacketType;
  header_.year = static_cast<uint16_t>(now.year);
  header_.month = static_cast<uint16_t>(now.month - 1);
  header_.day = static_cast<uint16_t>(now.day);
  header_.hour = static_cast<uint16_t>(now.hour);
  header_.minute = static_cast<uint16_t>(now.minute);
  header_.second = static_cast<uint16_t>(now.second);
  following_word_ = word;
  uint8_t head[kPacketHeadSize];
  PacketHeaderBytes bytes = EncodePacketHeader(header_);
  std::memcpy(head, bytes.data(), bytes.size());
  PutU16LE(head + kPacketHeaderSize, word);
  Stream& stream = *message_stream_;
  stream.Seek(0);
  stream.Write(head, sizeof head);
  stream.Flush();
  bool written = stream.ok();
  stream.Reset();
  return written;
}

bool PacketBase::Close() {
  bool removed = !is_open() || RemoveDeletions();
  return MessageBase::Close() && removed;
}

bool PacketBase::CopySettingsFrom(MessageBase& other) {
  auto* packet = dynamic_cast<PacketBase*>(&other);
  if (packet == nullptr || !BeginOperation()) return false;
  PacketHeader merged = packet->packet_header();
  merged.year = header_.year;
  merged.month = header_.month;
  merged.day = header_.day;
  merged.hour = header_.hour;
  merged.minute = header_.minute;
  merged.second = header_.second;
  merged.packet_type = header_.packet_type;
  header_ = merged;
  PacketHeaderBytes bytes = EncodePacketHeader(header_);
  Stream& stream = *message_stream_;
  stream.Seek(0);
  stream.Write(bytes.data(), bytes.size());
  stream.Flush();
  bool written = stream.ok();
  stream.Reset();
  return written;
}

bool PacketBase::Create(uint32_t sharing, std::string_view path) {
  std::string target(path);
  if (!PrepareOpen(sharing, target)) return false;
  message_stream_.reset();
  read_only_ = false;
  uint32_t mode = FileExists(target) ? platform::kModeReadWrite : platform::kModeCreate;
  auto file = std::make_unique<FileStream>(target, mode | sharing_);
  if (!file->is_open()) return false;
  message_stream_ = std::move(file);
  Stream& stream = *message_stream_;
  int64_t size = stream.GetSize();
  bool holds_messages = size > static_cast<int64_t>(kPacketHeadSize);
  if (holds_messages) {
    // The messages stay, under a new header; a file that is no type 2
    // packet is not rewritten as one.
    uint8_t type[2] = {0, 0};
    stream.Seek(kPacketTypeOffset);
    stream.Read(type, sizeof type);
    if (!stream.ok() || GetU16LE(type) != kPacketType) {
      error_state_ = kBaseBad;
      message_stream_.reset();
      return false;
    }
  }
  if (!stream.ok() || !WriteHead(holds_messages ? kPackedMessageType : 0)) {
    message_stream_.reset();
    return false;
  }
  if (!holds_messages) {
    SetEmpty();
    return true;
  }
  return Index();
}

bool PacketBase::Index() {
  index_.assign(1, kFirstIndexEntry);
  deletions_.clear();
  known_end_.reset();
  count_ = 0;
  Stream& stream = *message_stream_;
  stream.Reset();
  int64_t size = stream.GetSize();
  if (!stream.ok()) {
    message_stream_.reset();
    return false;
  }
  if (size <= static_cast<int64_t>(kPacketHeadSize)) {
    SetEmpty();
    return true;
  }
  if (header_.packet_type != kPacketType) {
    error_state_ = kBaseBad;
    message_stream_.reset();
    return false;
  }
  if (!FindBoundaries(stream, kFirstIndexEntry + kBoundaryToNames, size, &index_)) {
    message_stream_.reset();
    return false;
  }

  // The last message ends where no boundary follows.  A tail too short to
  // hold anything beyond the last boundary's type word is no message.
  uint8_t tail[3];
  stream.Seek(size - 3);
  stream.Read(tail, sizeof tail);
  if (!stream.ok()) {
    message_stream_.reset();
    return false;
  }
  int64_t end = LastMessageEnd(size, tail);
  if (end > index_.back() + 2) index_.push_back(end);
  count_ = static_cast<int32_t>(index_.size() - 1);
  error_state_ = kBaseOpen;
  return true;
}

// ---------------------------------------------------------------------------
// Messages

void PacketBase::ConvertHeader(Direction direction, MessageRecord& record) {
  MessageBase::ConvertHeader(direction, record);
  if (direction == Direction::kReading) {
    record.orig_node = message_header_.orig_node;
    record.dest_node = message_header_.dest_node;
    record.orig_net = message_header_.orig_net;
    record.dest_net = message_header_.dest_net;
    record.cost = message_header_.cost;
    record.attributes = message_header_.attributes;
    record.date_text = message_header_.date_text;
    return;
  }
  if (!IsValidDate(record.date_written)) SetNow(&record.date_written);
  if (!IsValidDate(record.date_arrived)) SetNow(&record.date_arrived);
  record.date_text = FormatDate(record.date_written);
  message_header_.orig_node = record.orig_node;
  message_header_.dest_node = record.dest_node;
  message_header_.orig_net = record.orig_net;
  message_header_.dest_net = record.dest_net;
  message_header_.attributes = static_cast<uint16_t>(record.attributes);
  message_header_.cost = record.cost;
  message_header_.date_text = record.date_text.str();
}

bool PacketBase::ReadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || !MessageExists(n) || static_cast<size_t>(n) >= index_.size()) {
    return false;
  }
  record.Clear();
  Stream& stream = *message_stream_;
  int64_t start = index_[static_cast<size_t>(n) - 1] + kBoundaryToHeader;
  int64_t end = index_[static_cast<size_t>(n)];
  // Cut short inside its fixed header, or too long to be a message.
  if (start + static_cast<int64_t>(kPackedHeaderSize) > end || end - start > kMaxMessageText) {
    return false;
  }

  PackedHeaderBytes fixed;
  stream.Seek(start);
  stream.Read(fixed.data(), fixed.size());
  if (!stream.ok()) {
    stream.Reset();
    return false;
  }
  message_header_ = DecodePackedHeader(fixed);

  int terminator = -1;
  record.to_name = ReadBounded(stream, end, IsNameEnd, &terminator);
  record.from_name = ReadBounded(stream, end, IsNameEnd, &terminator);
  record.subject = ReadBounded(stream, end, IsNameEnd, &terminator);

  // Echomail: a first line "AREA:" + tag.
  int64_t text_start = stream.GetPos();
  if (stream.ok() && end - text_start >= static_cast<int64_t>(kAreaPrefix.size())) {
    char prefix[kAreaPrefix.size()];
    stream.Read(prefix, sizeof prefix);
    if (stream.ok() && StartsWithNoCase(std::string_view(prefix, sizeof prefix), kAreaPrefix)) {
      std::string tag = ReadBounded(stream, end, IsLineEnd, &terminator);
      if (tag.size() > kMaxLine - kAreaPrefix.size()) tag.resize(kMaxLine - kAreaPrefix.size());
      record.area = tag;
      // A CR LF or LF CR pair ends the line as one.
      int64_t after = stream.GetPos();
      if (terminator >= 0 && after < end) {
        char next = 0;
        stream.Read(&next, 1);
        bool pair = next != static_cast<char>(terminator) && IsLineEnd(next);
        stream.Seek(pair ? after + 1 : after);
      }
      text_start = stream.GetPos();
    } else {
      stream.Seek(text_start);
    }
  }
  if (!stream.ok()) {
    stream.Reset();
    record.Clear();
    return false;
  }

  ConvertHeader(Direction::kReading, record);
  // An empty text is an empty range, which the reader refuses: the body
  // stays empty.
  (void)ReadText(record, text_start, end);
  stream.Reset();
  record.ConvertFlags(Direction::kReading);
  record.Normalise();
  record.state = kRecordRead;
  return true;
}

bool PacketBase::LocateEnd(PacketEnd* end) {
  if (known_end_) {
    *end = *known_end_;
    return true;
  }
  Stream& stream = *message_stream_;
  int64_t size = stream.GetSize();
  if (!stream.ok()) return false;
  // A file too short for a header gets one.
  if (size < static_cast<int64_t>(kPacketHeadSize)) {
    if (!WriteHead(0)) return false;
    size = static_cast<int64_t>(kPacketHeadSize);
  }
  // An empty packet of another type opens, but takes no type 2 message.
  if (header_.packet_type != kPacketType) return false;
  if (count_ == 0) {
    end->at = {static_cast<int64_t>(kPacketHeaderSize), 0};
  } else {
    int64_t start = index_[static_cast<size_t>(count_) - 1] + kBoundaryToHeader;
    if (start > size) return false;
    std::vector<uint8_t> last(static_cast<size_t>(size - start));
    stream.Seek(start);
    stream.Read(last.data(), last.size());
    if (!stream.ok()) return false;
    end->at = FindAppendPoint(start, last);
  }
  end->size = size;
  // The bytes the new message covers are kept for a failed write.
  end->covered.assign(static_cast<size_t>(size - end->at.position), '\0');
  stream.Seek(end->at.position);
  stream.Read(end->covered.data(), end->covered.size());
  return stream.ok();
}

bool PacketBase::WriteAt(const PacketEnd& old_end, const std::string& bytes) {
  Stream& stream = *message_stream_;
  const int64_t position = old_end.at.position;
  const int64_t size = old_end.size;
  // What goes beyond the old end is written first: when that fails, cutting
  // the file back leaves it exactly as it was.
  int64_t end = position + static_cast<int64_t>(bytes.size());
  size_t inside = static_cast<size_t>(std::min(end, size) - position);
  if (end > size) {
    stream.Seek(size);
    stream.Write(bytes.data() + inside, bytes.size() - inside);
    stream.Flush();
  }
  bool wrote_inside = false;
  if (stream.ok() && inside > 0) {
    wrote_inside = true;
    stream.Seek(position);
    stream.Write(bytes.data(), inside);
    stream.Flush();
  }
  if (stream.ok() && end < size) {
    stream.Seek(end);
    stream.Truncate();
  }
  if (stream.ok()) return true;

  stream.Reset();
  stream.Seek(size);
  stream.Truncate();
  if (wrote_inside) {
    stream.Seek(position);
    stream.Write(old_end.covered);
    stream.Flush();
  }
  stream.Reset();
  return false;
}

bool PacketBase::WriteMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || read_only_) return false;
  if (MessageExists(n)) {
    if (!DeleteMessage(n) || !ApplyDeletions() || !is_open()) return false;
  }
  PacketEnd old_end;
  if (!LocateEnd(&old_end)) {
    message_stream_->Reset();
    return false;
  }
  const AppendPoint& at = old_end.at;

  record.ConvertFlags(Direction::kWriting);
  ConvertHeader(Direction::kWriting, record);

  std::string bytes(at.fill, '\0');
  uint8_t type[2];
  PutU16LE(type, kPackedMessageType);
  bytes.append(reinterpret_cast<const char*>(type), sizeof type);
  PackedHeaderBytes fixed = EncodePackedHeader(message_header_);
  bytes.append(reinterpret_cast<const char*>(fixed.data()), fixed.size());
  const std::string_view name_enders("\0\r", 2);
  for (const ShortString* name : {&record.to_name, &record.from_name, &record.subject}) {
    const size_t room = (name == &record.subject ? kPackedSubjectSize : kPackedNameSize) - 1;
    bytes.append(StoredPart(*name, name_enders).substr(0, room));
    bytes.push_back('\0');
  }
  if (!record.area.empty()) {
    bytes.append(kAreaPrefix);
    bytes.append(StoredPart(record.area, std::string_view("\0\r\n", 3)));
    bytes.push_back(kCr);
  }
  MemoryStream text(kBodyBlockSize);
  quil::WriteText(record, text);
  std::string stored = text.Contents();
  // A NUL would end the text early for every reader.
  std::erase(stored, '\0');
  bytes.append(stored);
  bytes.append(3, '\0');  // the text's NUL and the packet terminator

  if (!WriteAt(old_end, bytes)) {
    known_end_.reset();
    return false;
  }

  int64_t message_end = at.position + static_cast<int64_t>(bytes.size()) - 3;
  if (count_ > 0) index_.back() = at.position + static_cast<int64_t>(at.fill) - 1;
  index_.push_back(message_end);
  count_ = static_cast<int32_t>(index_.size() - 1);
  // The next message goes over the terminator just written.
  known_end_ = PacketEnd{{message_end + 1, 0}, message_end + 3, std::string(2, '\0')};
  record.state = kRecordWritten;
  return true;
}

bool PacketBase::DeleteMessage(int32_t n) {
  if (!BeginOperation() || !MessageExists(n) || static_cast<size_t>(n) >= index_.size()) {
    return false;
  }
  int64_t size = message_stream_->GetSize();
  if (!message_stream_->ok() || size <= static_cast<int64_t>(kPacketHeadSize)) {
    message_stream_->Reset();
    return false;
  }
  // From the type word through the NUL that ends the text.
  std::pair<int64_t, int64_t> range{index_[static_cast<size_t>(n) - 1] + 1,
                                    index_[static_cast<size_t>(n)] + 1};
  auto at = std::lower_bound(deletions_.begin(), deletions_.end(), range);
  if (at == deletions_.end() || *at != range) deletions_.insert(at, range);
  return true;
}

bool PacketBase::RereadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || !MessageExists(n)) return false;
  return ReadMessage(n, record);
}

void PacketBase::WriteText(MessageRecord& record) {
  if (message_stream_) quil::WriteText(record, *message_stream_);
}

// ---------------------------------------------------------------------------
// Deletions

bool PacketBase::RemoveDeletions() {
  std::vector<std::pair<int64_t, int64_t>> ranges;
  ranges.swap(deletions_);
  if (ranges.empty()) return true;
  if (!message_stream_ || read_only_) return false;
  Stream& packet = *message_stream_;
  packet.Reset();
  int64_t size = packet.GetSize();
  if (!packet.ok()) {
    packet.Reset();
    return false;
  }

  std::string side = path_ + std::string(kRewriteSuffix);
  bool rebuilt = false;
  {
    FileStream out(side, platform::kModeCreate | sharing_);
    if (out.is_open()) {
      auto copy = [&](int64_t from, int64_t to) {
        if (to <= from) return;
        packet.Seek(from);
        out.CopyFrom(packet, to - from);
      };
      int64_t pos = 0;
      for (auto [from, to] : ranges) {
        if (from >= size) break;  // a range beyond the end ends the removal
        copy(pos, from);
        pos = std::max(pos, std::min(to, size));
      }
      copy(pos, size);
      rebuilt = packet.ok() && out.ok() && out.Sync();
      rebuilt = out.Close() && rebuilt;
    }
  }
  packet.Reset();
  if (!rebuilt) {
    (void)platform::DeleteFile(side);
    return false;
  }
  message_stream_.reset();
  if (platform::RenameFile(side, path_) != platform::kOk) {
    (void)platform::DeleteFile(side);
    return false;
  }
  std::string directory = DirectoryPart(path_);
  (void)platform::SyncDirectory(directory.empty() ? std::string(".") : directory);
  return true;
}

bool PacketBase::ApplyDeletions() {
  if (!is_open()) {
    deletions_.clear();
    return false;
  }
  bool removed = RemoveDeletions();
  std::string path = path_;
  bool reopened = Open(sharing_, path);
  return removed && reopened;
}

}  // namespace quil
