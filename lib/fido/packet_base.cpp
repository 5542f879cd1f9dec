// The packet base: indexing a packet, reading and appending packed
// messages, and removing deleted ones.
#include "fido/packet_base.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "model/addresses.h"
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

// From a message's type word to its fixed header.
constexpr int64_t kTypeWordSize = 2;

// The packet's buffer: its messages are read one after the other.
constexpr size_t kStreamBufferSize = 65536;

constexpr std::string_view kAreaPrefix = "AREA:";
// The AREA line counts at most this many characters, prefix included.
constexpr size_t kMaxLine = kMaxString;

// Suffix of the side file a rewritten packet is built in.
constexpr std::string_view kRewriteSuffix = ".tmp";

bool IsNameEnd(char c) { return c == 0 || c == kCr; }
bool IsLineEnd(char c) { return c == kCr || c == kLf; }

// A name or subject as the packet holds it: without bytes below 0x20.  A
// NUL or CR would end it early on reading, and the other control bytes are
// no part of a name; a NUL followed by 02 00 is where other software takes
// the next message to start.
// Appends the first `room` bytes of `text` that are no control bytes.
void AppendWithoutControlBytes(std::string& out, std::string_view text, size_t room) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) continue;
    if (room-- == 0) return;
    out.push_back(c);
  }
}

// The area tag as the packet can hold it: up to its first byte that would
// end it early on reading.
std::string_view StoredPart(std::string_view text, std::string_view enders) {
  return text.substr(0, std::min(text.size(), text.find_first_of(enders)));
}

// Address word n of `text` as a 16-bit number (0 when missing or not a
// number).
uint16_t AddressWord(int n, std::string_view text) {
  return static_cast<uint16_t>(TextToNumber(ExtractWord(n, text, kAddressDelimiters)));
}

}  // namespace

PacketBase::~PacketBase() {
  if (is_open()) {
    (void)Settled();
    (void)RemoveDeletions();
  }
}

// ---------------------------------------------------------------------------
// Packet header addresses and password

std::string PacketBase::GetOriginAddress() {
  return AddressText(header_.orig_zone, header_.orig_net, header_.orig_node, header_.orig_point);
}

std::string PacketBase::GetDestinationAddress() {
  return AddressText(header_.dest_zone, header_.dest_net, header_.dest_node, header_.dest_point);
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
  read_only_ = access_ == Access::kReadOnly;
  auto file = std::make_unique<FileStream>(path_, ExistingFileMode(sharing_), kStreamBufferSize);
  if (!file->is_open() && !read_only_ && file->error_info() == platform::kAccessDenied) {
    file = std::make_unique<FileStream>(path_, platform::kModeRead | sharing_, kStreamBufferSize);
    read_only_ = true;
  }
  if (!file->is_open()) {
    SetOpenFailure(*file, path_);
    return false;
  }
  message_stream_ = std::move(file);
  return true;
}

void PacketBase::SetEmpty() {
  index_.Clear(false);
  deletions_.clear();
  known_end_.reset();
  count_ = 0;
  error_state_ = kBaseOpen;
}

bool PacketBase::Open(uint32_t sharing, std::string_view path) {
  if (is_open()) (void)Settled();
  batch_ = Batch();
  RecordOpen(sharing, path);
  message_stream_.reset();
  if (!OpenPacketFile()) return false;
  Stream& stream = *message_stream_;
  int64_t size = stream.GetSize();
  if (!stream.ok()) {
    SetOpenFailure(stream, path_);
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
    SetOpenFailure(stream, path_);
    message_stream_.reset();
    return false;
  }
  header_ =
      DecodePacketHeader(std::span<const uint8_t, kPacketHeaderSize>(head, kPacketHeaderSize));
  following_word_ = GetU16LE(head + kPacketHeaderSize);
  if (Index()) return true;
  SetOpenFailure(error_state_ == kBaseBad ? OpenProblem::kWrongFormat : OpenProblem::kReadFailed,
                 path_);
  return false;
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

bool PacketBase::Flush() { return Settled(); }

bool PacketBase::Close() {
  bool removed = !is_open() || (Settled() && RemoveDeletions());
  batch_ = Batch();
  return MessageBase::Close() && removed;
}

bool PacketBase::CopySettingsFrom(MessageBase& other) {
  auto* packet = dynamic_cast<PacketBase*>(&other);
  if (packet == nullptr || !BeginOperation() || !Settled()) return false;
  // The date and time are the other packet's too: a rebuilt packet is the
  // same packet with its messages in another order.
  PacketHeader merged = packet->packet_header();
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
  if (is_open()) (void)Settled();
  batch_ = Batch();
  std::string target(path);
  if (!PrepareOpen(sharing, target)) return false;
  message_stream_.reset();
  read_only_ = false;
  uint32_t mode = FileExists(target) ? platform::kModeReadWrite : platform::kModeCreate;
  auto file = std::make_unique<FileStream>(target, mode | sharing_, kStreamBufferSize);
  if (!file->is_open()) {
    SetOpenFailure(*file, target);
    return false;
  }
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
      if (stream.ok()) {
        SetOpenFailure(OpenProblem::kWrongFormat, target);
      } else {
        SetOpenFailure(stream, target);
      }
      error_state_ = kBaseBad;
      message_stream_.reset();
      return false;
    }
  }
  if (!stream.ok() || !WriteHead(holds_messages ? kPackedMessageType : 0)) {
    SetOpenFailure(stream.ok() ? OpenProblem::kWriteFailed : OpenProblem::kReadFailed, target);
    message_stream_.reset();
    return false;
  }
  if (!holds_messages) {
    SetEmpty();
    return true;
  }
  if (Index()) return true;
  SetOpenFailure(OpenProblem::kReadFailed, target);
  return false;
}

bool PacketBase::Index() {
  index_.Clear(false);
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
  // A packet open for writing is a sort's or an append's: it keeps every
  // span, as one that is only read front to back need not.
  if (!index_.Build(packet_file(), size, !read_only_)) {
    message_stream_.reset();
    return false;
  }
  count_ = static_cast<int32_t>(index_.size());
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
  FormatDate(record.date_written, &record.date_text);
  message_header_.orig_node = record.orig_node;
  message_header_.dest_node = record.dest_node;
  message_header_.orig_net = record.orig_net;
  message_header_.dest_net = record.dest_net;
  message_header_.attributes = static_cast<uint16_t>(record.attributes);
  message_header_.cost = record.cost;
  message_header_.date_text = record.date_text.str();
}

bool PacketBase::ReadMessage(int32_t n, MessageRecord& record) {
  PacketSpan span;
  if (!BeginOperation() || !Settled() || !MessageExists(n) || !FindSpan(n, &span)) return false;
  record.Clear();
  Stream& stream = *message_stream_;
  int64_t start = span.start + kTypeWordSize;
  int64_t end = span.end;
  // Cut short inside its fixed header, or too long to be a message.
  if (start + static_cast<int64_t>(kPackedHeaderSize) > end || end - start > kMaxMessageText) {
    return false;
  }

  // The whole message at once; its fields are taken from memory.
  std::string_view message =
      packet_file().View(start, static_cast<size_t>(end - start), &text_buffer_);
  if (!stream.ok()) {
    stream.Reset();
    return false;
  }
  DecodePackedHeader(
      std::span<const uint8_t, kPackedHeaderSize>(reinterpret_cast<const uint8_t*>(message.data()),
                                                  kPackedHeaderSize),
      &message_header_);
  size_t pos = kPackedHeaderSize;
  // Up to the first byte for which `is_end` holds (consumed, *terminator),
  // at most 255 bytes kept; the end of the message comes first for a text
  // cut short (*terminator -1).
  auto bounded = [&message, &pos](bool (*is_end)(char), int* terminator) {
    size_t stop = pos;
    while (stop < message.size() && !is_end(message[stop])) ++stop;
    std::string_view text = message.substr(pos, std::min(stop - pos, kMaxString));
    *terminator = stop < message.size() ? static_cast<unsigned char>(message[stop]) : -1;
    pos = stop < message.size() ? stop + 1 : stop;
    return text;
  };
  int terminator = -1;
  record.to_name = bounded(IsNameEnd, &terminator);
  record.from_name = bounded(IsNameEnd, &terminator);
  record.subject = bounded(IsNameEnd, &terminator);

  // Echomail: a first line "AREA:" + tag.
  if (message.size() - pos >= kAreaPrefix.size() &&
      StartsWithNoCase(message.substr(pos, kAreaPrefix.size()), kAreaPrefix)) {
    pos += kAreaPrefix.size();
    std::string_view tag = bounded(IsLineEnd, &terminator);
    record.area = tag.substr(0, std::min(tag.size(), kMaxLine - kAreaPrefix.size()));
    // A CR LF or LF CR pair ends the line as one.
    if (terminator >= 0 && pos < message.size()) {
      const char next = message[pos];
      if (next != static_cast<char>(terminator) && IsLineEnd(next)) ++pos;
    }
  }

  ConvertHeader(Direction::kReading, record);
  // An empty text is refused by the reader: the body stays empty.
  (void)quil::ReadText(message.substr(pos), header_only_, record);
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
  end->size = size;
  if (index_.empty()) {
    end->at = {static_cast<int64_t>(kPacketHeaderSize), 0};
    return true;
  }
  const PacketSpan last = index_.back();
  if (last.start + kTypeWordSize > size) return false;
  // A last message that runs to the end of the file: the NULs it has.
  size_t nuls = 0;
  if (last.end >= size) {
    PacketScan scan(packet_file(), size);
    int64_t nul = last.start + kTypeWordSize + static_cast<int64_t>(kPackedHeaderSize) - 1;
    while (nuls < kClosingNuls && (nul = scan.FindNul(nul + 1)) >= 0 && nul < size) ++nuls;
    stream.Reset();
    if (scan.failed()) return false;
  }
  end->at = FindAppendPoint(last, size, nuls);
  return true;
}

bool PacketBase::WriteAt(const PacketEnd& old_end, const std::string& bytes) {
  Stream& stream = *message_stream_;
  const int64_t position = old_end.at.position;
  const int64_t size = old_end.size;
  // What goes beyond the old end is written first: when that fails, cutting
  // the file back leaves it exactly as it was.  The old bytes the new ones
  // cover are kept to be put back.
  int64_t end = position + static_cast<int64_t>(bytes.size());
  size_t inside = static_cast<size_t>(std::min(end, size) - position);
  std::string covered(inside, '\0');
  stream.Seek(position);
  stream.Read(covered.data(), covered.size());
  if (!stream.ok()) {
    stream.Reset();
    return false;
  }
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
    stream.Write(covered);
    stream.Flush();
  }
  stream.Reset();
  return false;
}

bool PacketBase::WriteMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || read_only_) return false;
  if (MessageExists(n)) {
    if (!Settled()) return false;
    if (!DeleteMessage(n) || !ApplyDeletions() || !is_open()) return false;
  }
  if (count_ >= kMaxMessageCount) return false;
  record.ConvertFlags(Direction::kWriting);
  ConvertHeader(Direction::kWriting, record);

  // Put together straight in the batch.
  size_t start = 0;
  if (!StartPacked(&start)) return false;
  std::string& bytes = batch_.bytes;
  uint8_t type[2];
  PutU16LE(type, kPackedMessageType);
  bytes.append(reinterpret_cast<const char*>(type), sizeof type);
  PackedHeaderBytes fixed = EncodePackedHeader(message_header_);
  bytes.append(reinterpret_cast<const char*>(fixed.data()), fixed.size());
  for (const ShortString* name : {&record.to_name, &record.from_name, &record.subject}) {
    const size_t room = (name == &record.subject ? kPackedSubjectSize : kPackedNameSize) - 1;
    AppendWithoutControlBytes(bytes, *name, room);
    bytes.push_back('\0');
  }
  if (!record.area.empty()) {
    bytes.append(kAreaPrefix);
    bytes.append(StoredPart(record.area, std::string_view("\0\r\n", 3)));
    bytes.push_back(kCr);
  }
  const size_t text_start = bytes.size();
  quil::WriteText(record, &bytes);
  // A NUL would end the text early for every reader.
  if (bytes.find('\0', text_start) != std::string::npos) {
    bytes.erase(std::remove(bytes.begin() + static_cast<ptrdiff_t>(text_start), bytes.end(), '\0'),
                bytes.end());
  }
  if (!FinishPacked(start)) return false;
  record.state = kRecordWritten;
  return true;
}

bool PacketBase::AppendPacked(std::string_view message) {
  size_t start = 0;
  if (!StartPacked(&start)) return false;
  batch_.bytes.append(message);
  return FinishPacked(start);
}

bool PacketBase::StartPacked(size_t* start) {
  PacketEnd old_end;
  if (!LocateEnd(&old_end)) {
    message_stream_->Reset();
    return false;
  }
  const AppendPoint& at = old_end.at;
  if (batch_.messages.empty()) {
    batch_.end = old_end;
    batch_.last_end = index_.empty() ? -1 : index_.back().end;
    batch_.bytes.reserve(kBatchBytes);
  }
  batch_.bytes.append(at.fill, '\0');
  batch_.fill = at.fill;
  batch_.position = at.position;
  *start = batch_.bytes.size();
  return true;
}

bool PacketBase::FinishPacked(size_t start) {
  const size_t size = batch_.bytes.size() - start;
  batch_.bytes.push_back('\0');  // the text's NUL
  batch_.messages.push_back(batch_.fill + size + 1);

  const int64_t type_word = batch_.position + static_cast<int64_t>(batch_.fill);
  const int64_t message_end = type_word + static_cast<int64_t>(size);
  // The message before ends at the NUL in front of the type word (the last
  // of the zero bytes that completed it, if it needed any).
  if (!index_.empty()) index_.SetBackEnd(type_word - 1);
  index_.Append({type_word, message_end});
  count_ = static_cast<int32_t>(index_.size());
  // The next message goes over the terminator behind this one.
  known_end_ = PacketEnd{{message_end + 1, 0}, message_end + 3};
  return batch_.bytes.size() < kBatchBytes || WriteBatch();
}

bool PacketBase::WriteBatch() {
  const size_t messages = batch_.messages.size();
  if (messages == 0) return true;
  // The terminator, two zero bytes, ends the packet behind the last text.
  constexpr std::string_view kTerminator("\0\0", 2);
  batch_.bytes.append(kTerminator);
  size_t stored = messages;
  if (!WriteAt(batch_.end, batch_.bytes)) {
    // Message by message, to keep every one that can be written.
    PacketEnd end = batch_.end;
    size_t offset = 0;
    for (stored = 0; stored < messages; ++stored) {
      const size_t length = batch_.messages[stored];
      std::string part = batch_.bytes.substr(offset, length);
      part.append(kTerminator);
      if (!WriteAt(end, part)) break;
      offset += length;
      const int64_t next = end.at.position + static_cast<int64_t>(length);
      end = PacketEnd{{next, 0}, next + static_cast<int64_t>(kTerminator.size())};
    }
    (void)index_.Shrink(packet_file(), index_.size() - (messages - stored));
    if (stored == 0 && !index_.empty()) index_.SetBackEnd(batch_.last_end);
    count_ = static_cast<int32_t>(index_.size());
    known_end_.reset();  // found again from the file
  }
  // Emptied, not freed, so that the next batch takes the storage again;
  // but not kept grown for one big message.
  if (batch_.bytes.capacity() > 2 * kBatchBytes) {
    batch_ = Batch();
  } else {
    batch_.bytes.clear();
    batch_.messages.clear();
  }
  return stored == messages;
}

bool PacketBase::CopyStoredMessage(MessageBase& source, int32_t n, const LinkMap*) {
  auto* from = dynamic_cast<PacketBase*>(&source);
  PacketSpan span;
  if (from == nullptr || !BeginOperation() || read_only_ || !from->BeginOperation() ||
      !from->Settled() || !from->MessageExists(n) || !from->FindSpan(n, &span)) {
    return false;
  }
  // From the type word to the NUL that ends the text (or the end of a
  // packet cut short).
  const int64_t start = span.start;
  const int64_t end = span.end;
  constexpr int64_t kFixed = 2 + static_cast<int64_t>(kPackedHeaderSize);
  if (end - start < kFixed) return false;
  FileStream& packet = from->packet_file();
  const std::string_view message =
      packet.View(start, static_cast<size_t>(end - start), &from->text_buffer_);
  if (!packet.ok()) {
    packet.Reset();
    return false;
  }
  // The names and the subject end with a NUL each; a message cut short
  // inside them gets the ones it lacks, as an append behind it would.
  constexpr size_t kNameNuls = 3;
  size_t nuls = 0;
  size_t at = static_cast<size_t>(kFixed);
  for (; nuls < kNameNuls; ++nuls, ++at) {
    at = message.find('\0', at);
    if (at == std::string_view::npos) break;
  }
  // A NUL inside the text would make a walk over this packet split the
  // message where the source's walk did not: its span is kept as known.
  if (nuls == kNameNuls && !index_.dense() && message.find('\0', at) != std::string_view::npos &&
      (!Settled() || !index_.MakeDense(packet_file()))) {
    return false;
  }
  if (nuls == kNameNuls) return AppendPacked(message);
  std::string completed(message);
  completed.append(kNameNuls - nuls, '\0');
  return AppendPacked(completed);
}

bool PacketBase::FindSpan(int32_t n, PacketSpan* span) {
  return n >= 1 && static_cast<size_t>(n) <= index_.size() &&
         index_.Find(packet_file(), static_cast<size_t>(n) - 1, span);
}

bool PacketBase::CopyRenumbers(MessageBase&, int32_t, const LinkMap&) { return false; }

bool PacketBase::DeleteMessage(int32_t n) {
  PacketSpan span;
  if (!BeginOperation() || read_only_ || !Settled() || !MessageExists(n) || !FindSpan(n, &span)) {
    return false;
  }
  int64_t size = message_stream_->GetSize();
  if (!message_stream_->ok() || size <= static_cast<int64_t>(kPacketHeadSize)) {
    message_stream_->Reset();
    return false;
  }
  // From the type word through the NUL that ends the text.
  std::pair<int64_t, int64_t> range{span.start, span.end + 1};
  auto at = std::lower_bound(deletions_.begin(), deletions_.end(), range);
  if (at == deletions_.end() || *at != range) deletions_.insert(at, range);
  return true;
}

bool PacketBase::ReadSortKey(int32_t n, MessageRecord&, SortKey* key) {
  PacketSpan span;
  if (!BeginOperation() || !Settled() || !MessageExists(n) || !FindSpan(n, &span)) return false;
  const int64_t start = span.start + kTypeWordSize;
  // As ReadMessage refuses them.
  if (start + static_cast<int64_t>(kPackedHeaderSize) > span.end ||
      span.end - start > kMaxMessageText) {
    return false;
  }
  Stream& stream = *message_stream_;
  std::string_view fixed = packet_file().View(start, kPackedHeaderSize, &text_buffer_);
  if (!stream.ok()) {
    stream.Reset();
    return false;
  }
  const PackedHeader header = DecodePackedHeader(std::span<const uint8_t, kPackedHeaderSize>(
      reinterpret_cast<const uint8_t*>(fixed.data()), kPackedHeaderSize));
  // As the normalisation takes the date from the text; packets keep no
  // times-read count.
  DateText text = header.date_text;
  DateTime written;
  NormaliseDate(&text, &written);
  key->written = DateToSeconds(written);
  key->times_read = 0;
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
  if (!Settled()) return false;
  bool removed = RemoveDeletions();
  std::string path = path_;
  bool reopened = Open(sharing_, path);
  return removed && reopened;
}

}  // namespace quil
