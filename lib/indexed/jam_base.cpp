// The JAM message base: opening and creating the files, reading, writing and
// deleting messages, and the reply links between them.
#include "indexed/jam_base.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <vector>

#include "indexed/index_scan.h"
#include "indexed/jam_subfields.h"
#include "model/message_text.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr std::string_view kIndexExtension = ".jdx";
constexpr std::string_view kTextExtension = ".jdt";
constexpr std::string_view kHeaderExtension = ".jhr";
constexpr std::string_view kSideExtension = ".jqx";
// Other JAM software opens a base only when its lastread file exists too.
constexpr std::string_view kLastreadExtension = ".jlr";

// The buffers of the three files: messages are mostly read one after the
// other, and appended ones go out in batches.
constexpr size_t kStreamBufferSize = 65536;

// Header offsets in the index are signed 32-bit, text offsets unsigned.
constexpr int64_t kMaxHeaderFileSize = std::numeric_limits<int32_t>::max();
constexpr int64_t kMaxTextFileSize = std::numeric_limits<uint32_t>::max();

// Other JAM software on this system write-locks this byte of the .jhr while
// it writes the base.
constexpr int64_t kWriteLockOffset = 0;
constexpr int64_t kWriteLockLength = 1;

// True when a header offset of the index points at a message header in a
// .jhr of `size` bytes: a deleted entry (-1), an offset inside the base
// header, and one where no whole message header fits all mean there is no
// message.
bool PointsAtHeader(int64_t offset, int64_t size) {
  return offset >= static_cast<int64_t>(jam::kBaseHeaderSize) && size >= 0 &&
         offset + static_cast<int64_t>(jam::kMessageHeaderSize) <= size;
}

uint32_t NowInJamSeconds() {
  DateTime now;
  SetNow(&now);
  return jam::DateToJam(now);
}

// Appends the stored text of a message to `text`: the body, then the tear
// line and the origin line when the record has them (the other lines below
// the body are subfields).
void AppendText(const MessageRecord& r, std::string& text) {
  AppendBodyAndTrailingLines(r, text, false);
}

}  // namespace

JamBase::JamBase() : working_(jam::MessageHeader::Fresh()), constructed_at_(NowInJamSeconds()) {
  base_header_ = jam::BaseHeader::Fresh(constructed_at_);
}

JamBase::~JamBase() {
  (void)Settled();
  ReleaseStreams();
}

void JamBase::ReleaseStreams() {
  batch_ = Batch();
  header_stream_.reset();
  index_stream_.reset();
  message_stream_.reset();
  lastread_stream_.reset();
}

bool JamBase::FailOpen() {
  ReleaseStreams();
  error_state_ = kBaseBad;
  count_ = 0;
  return false;
}

bool JamBase::FailOpen(const Stream& stream, std::string_view file) {
  SetOpenFailure(stream, file);
  return FailOpen();
}

bool JamBase::LockHeaderFile(FileStream& stream, bool exclusive) {
  return stream.LockRange(kWriteLockOffset, kWriteLockLength, exclusive);
}

// ---------------------------------------------------------------------------
// Open and create

bool JamBase::Open(uint32_t sharing, std::string_view path) {
  (void)Settled();
  RecordOpen(sharing, path);
  ReleaseStreams();
  const std::string base(path);
  const std::string index_name = base + std::string(kIndexExtension);
  const std::string text_name = base + std::string(kTextExtension);
  const std::string header_name = base + std::string(kHeaderExtension);
  const uint32_t mode = ExistingFileMode(sharing);
  index_stream_ = std::make_unique<FileStream>(index_name, mode, kStreamBufferSize);
  if (!index_stream_->ok()) return FailOpen(*index_stream_, index_name);
  message_stream_ = std::make_unique<FileStream>(text_name, mode, kStreamBufferSize);
  if (!message_stream_->ok()) return FailOpen(*message_stream_, text_name);
  header_stream_ = std::make_unique<FileStream>(header_name, mode, kStreamBufferSize);
  if (!header_stream_->ok()) return FailOpen(*header_stream_, header_name);
  KeepSizesInMemory();

  // The side file is opened or created with a base that is there, unless
  // it is opened for reading only, which creates nothing; whether that
  // works does not matter.
  if (access_ == Access::kReadWrite) {
    const std::string side = base + std::string(kSideExtension);
    auto side_stream = std::make_unique<FileStream>(
        side, (FileExists(side) ? platform::kModeReadWrite : platform::kModeCreate) | sharing);
    if (side_stream->is_open()) lastread_stream_ = std::move(side_stream);
  }

  const uint32_t deny = sharing & platform::kSharingMask;
  if ((deny == platform::kDenyWrite || deny == platform::kDenyAll) &&
      !LockHeaderFile(*header_stream_, deny == platform::kDenyAll)) {
    SetOpenFailure(OpenProblem::kInUse, header_name);
    return FailOpen();
  }

  // A .jhr too short for its base header is not a JAM base.
  int64_t header_size = header_stream_->GetSize();
  if (header_stream_->ok() && header_size < static_cast<int64_t>(jam::kBaseHeaderSize)) {
    SetOpenFailure(OpenProblem::kTooShort, header_name);
    return FailOpen();
  }
  std::array<uint8_t, jam::kBaseHeaderSize> bytes{};
  header_stream_->Seek(0);
  header_stream_->Read(bytes.data(), bytes.size());
  if (!header_stream_->ok()) return FailOpen(*header_stream_, header_name);
  int64_t index_size = index_stream_->GetSize();
  if (!index_stream_->ok() || index_size < 0) return FailOpen(*index_stream_, index_name);

  base_header_ = jam::BaseHeader::Decode(bytes);
  working_ = jam::MessageHeader::Fresh();
  ForgetReplyLinks();
  // An index that claims more messages than can be numbered is damaged
  // beyond the last one that can.
  count_ = static_cast<int32_t>(std::min<int64_t>(
      index_size / static_cast<int64_t>(jam::kIndexEntrySize), kMaxMessageCount));
  error_state_ = kBaseOpen;
  return true;
}

bool JamBase::Create(uint32_t sharing, std::string_view path) {
  (void)Settled();
  (void)PrepareOpen(sharing, path);
  ReleaseStreams();
  const std::string base(path);
  const std::string header_path = base + std::string(kHeaderExtension);
  const uint32_t deny = sharing & platform::kSharingMask;
  const bool lock = deny == platform::kDenyWrite || deny == platform::kDenyAll;

  // Truncating a base that another program is writing would destroy it:
  // look for its write lock before anything is created.
  if (lock && FileExists(header_path)) {
    FileStream probe(header_path, platform::kModeRead | platform::kDenyNone);
    if (probe.is_open() && !LockHeaderFile(probe, false)) {
      SetOpenFailure(OpenProblem::kInUse, header_path);
      return FailOpen();
    }
  }

  const uint32_t mode = platform::kModeCreate | sharing;
  header_stream_ = std::make_unique<FileStream>(header_path, mode, kStreamBufferSize);
  if (!header_stream_->ok()) return FailOpen(*header_stream_, header_path);
  if (lock && !LockHeaderFile(*header_stream_, deny == platform::kDenyAll)) {
    SetOpenFailure(OpenProblem::kInUse, header_path);
    return FailOpen();
  }
  const std::string index_name = base + std::string(kIndexExtension);
  const std::string text_name = base + std::string(kTextExtension);
  index_stream_ = std::make_unique<FileStream>(index_name, mode, kStreamBufferSize);
  message_stream_ = std::make_unique<FileStream>(text_name, mode, kStreamBufferSize);
  auto side_stream = std::make_unique<FileStream>(base + std::string(kSideExtension), mode);
  if (side_stream->is_open()) lastread_stream_ = std::move(side_stream);
  if (!index_stream_->ok()) return FailOpen(*index_stream_, index_name);
  if (!message_stream_->ok()) return FailOpen(*message_stream_, text_name);
  KeepSizesInMemory();
  // An empty lastread file: no reader has read anything yet.  This base
  // never opens it again.
  const std::string lastread_name = base + std::string(kLastreadExtension);
  FileStream lastread(lastread_name, mode);
  if (!lastread.is_open()) return FailOpen(lastread, lastread_name);
  if (!lastread.Close()) {
    SetOpenFailure(OpenProblem::kWriteFailed, lastread_name);
    return FailOpen();
  }

  // The files are empty now, whatever an earlier Open of this object read:
  // the base header starts afresh.
  base_header_ = jam::BaseHeader::Fresh(constructed_at_);
  working_ = jam::MessageHeader::Fresh();
  ForgetReplyLinks();
  if (!WriteBaseHeader()) return FailOpen(*header_stream_, header_path);
  count_ = 0;
  error_state_ = kBaseOpen;
  return true;
}

// ---------------------------------------------------------------------------
// Low-level access

void JamBase::ResetErrors() {
  MessageBase::ResetErrors();
  if (index_stream_) index_stream_->Reset();
  if (header_stream_) header_stream_->Reset();
}

void JamBase::KeepSizesInMemory() {
  // The base takes its files as they are at the open, as it takes its
  // count, and knows what it writes itself.
  index_stream_->KeepSizeInMemory();
  header_stream_->KeepSizeInMemory();
  text().KeepSizeInMemory();
}

bool JamBase::ReadIndexEntry(int32_t n, jam::IndexEntry* entry) {
  if (!is_open() || !Settled() || n < 1 || n > count_) return false;
  std::array<uint8_t, jam::kIndexEntrySize> bytes{};
  index_stream_->Seek(static_cast<int64_t>(n - 1) * static_cast<int64_t>(jam::kIndexEntrySize));
  index_stream_->Read(bytes.data(), bytes.size());
  if (!index_stream_->ok()) return false;
  *entry = jam::IndexEntry::Decode(bytes);
  return true;
}

int64_t JamBase::HeaderOffset(int32_t n) {
  jam::IndexEntry entry;
  if (!ReadIndexEntry(n, &entry)) return -1;
  int64_t size = header_stream_->GetSize();
  return PointsAtHeader(entry.header_offset, size) ? entry.header_offset : -1;
}

int64_t JamBase::NextMessage(int64_t n) {
  if (!is_open() || !Settled()) return static_cast<int64_t>(count_) + 1;
  ResetErrors();
  const int64_t size = header_stream_->GetSize();
  ResetErrors();
  return NextIndexRecord(*index_stream_, n, count_, jam::kIndexEntrySize,
                         [size](std::span<const uint8_t> bytes) {
                           return PointsAtHeader(jam::IndexEntry::Decode(bytes).header_offset, size);
                         });
}

bool JamBase::ReadHeaderAt(int64_t offset, jam::MessageHeader* header) {
  if (!Settled()) return false;
  std::array<uint8_t, jam::kMessageHeaderSize> bytes{};
  header_stream_->Seek(offset);
  header_stream_->Read(bytes.data(), bytes.size());
  if (!header_stream_->ok()) return false;
  *header = jam::MessageHeader::Decode(bytes);
  return true;
}

bool JamBase::LoadHeader(int32_t n, jam::MessageHeader* header, int64_t* offset) {
  *offset = HeaderOffset(n);
  return *offset >= 0 && ReadHeaderAt(*offset, header) && header->IsValid();
}

bool JamBase::PutAt(Stream& stream, int64_t offset, const void* bytes, size_t count) {
  stream.Seek(offset);
  stream.Write(bytes, count);
  stream.Flush();
  return stream.ok();
}

bool JamBase::WriteAt(Stream& stream, int64_t offset, const void* bytes, size_t count) {
  return Settled() && PutAt(stream, offset, bytes, count);
}

bool JamBase::WriteIndexEntry(int32_t n, const jam::IndexEntry& entry) {
  auto bytes = entry.Encode();
  return WriteAt(*index_stream_,
                 static_cast<int64_t>(n - 1) * static_cast<int64_t>(jam::kIndexEntrySize),
                 bytes.data(), bytes.size());
}

bool JamBase::Flush() { return Settled(); }

bool JamBase::Close() {
  bool ok = Settled();
  for (std::unique_ptr<FileStream>* stream : {&header_stream_, &index_stream_}) {
    if (*stream) ok = (*stream)->Close() && ok;
    stream->reset();
  }
  return MessageBase::Close() && ok;
}

bool JamBase::CopySettingsFrom(MessageBase& other) {
  auto* jam = dynamic_cast<JamBase*>(&other);
  if (jam == nullptr || !BeginOperation()) return false;
  const jam::BaseHeader& theirs = jam->base_header();
  base_header_.date_created = theirs.date_created;
  base_header_.password_crc = theirs.password_crc;
  // The numbers of the messages mean what they meant, and a reader that
  // watches ModCounter sees that the base changed.
  base_header_.base_msg_num = theirs.base_msg_num;
  base_header_.mod_counter = std::max(base_header_.mod_counter, theirs.mod_counter + 1);
  base_header_.reserved = theirs.reserved;
  return WriteBaseHeader();
}

bool JamBase::WriteBaseHeader() {
  auto bytes = base_header_.Encode();
  return WriteAt(*header_stream_, 0, bytes.data(), bytes.size());
}

bool JamBase::WriteHeader(int64_t offset, const jam::MessageHeader& header) {
  auto bytes = header.Encode();
  return WriteAt(*header_stream_, offset, bytes.data(), bytes.size());
}

void JamBase::CutBack(Stream& stream, int64_t size) {
  stream.Reset();
  stream.Seek(size);
  stream.Truncate();
  stream.Reset();
}

bool JamBase::MessageExists(int32_t n) {
  ResetErrors();
  bool exists = HeaderOffset(n) >= 0;
  ResetErrors();
  return exists;
}

// ---------------------------------------------------------------------------
// Header conversion

void JamBase::ConvertHeader(Direction direction, MessageRecord& r) {
  MessageBase::ConvertHeader(direction, r);
  if (direction == Direction::kReading) {
    r.date_written = jam::DateFromJam(working_.date_written);
    if (!IsValidDate(r.date_written)) SetNow(&r.date_written);
    r.date_arrived = jam::DateFromJam(working_.date_processed);
    if (!IsValidDate(r.date_arrived)) SetNow(&r.date_arrived);
    // The date text is the date written's, made by the record's Normalise.
    r.reply_to = static_cast<int32_t>(working_.reply_to);
    r.cost = static_cast<uint16_t>(working_.cost);
    r.replies[0] = static_cast<int32_t>(working_.reply_first);
    r.attributes = jam::AttributeFromJam(working_.attribute);
    if (working_.attribute & jam::kMsgTypeEcho) {
      r.stored_type = MessageType::kEchomail;
    } else if (working_.attribute & jam::kMsgTypeNet) {
      r.stored_type = MessageType::kNetmail;
    }
    const std::string words = jam::FlagsWordsFromJam(working_.attribute);
    if (words.empty()) {
      r.flags = TrimView(r.flags, kBlanks);  // what joining no words leaves
    } else {
      r.flags = Trim(r.flags.str() + " " + words, kBlanks);
    }
    r.times_read = static_cast<uint16_t>(working_.times_read);
    r.stored_number = working_.message_number;
    return;
  }
  if (!IsValidDate(r.date_written)) SetNow(&r.date_written);
  if (!IsValidDate(r.date_arrived)) SetNow(&r.date_arrived);
  working_.date_written = jam::DateToJam(r.date_written);
  working_.date_processed = jam::DateToJam(r.date_arrived);
  working_.reply_to = static_cast<uint32_t>(r.reply_to);
  working_.signature = jam::kSignature;
  working_.revision = jam::kRevision;
  working_.reserved_word = 0;
  working_.msgid_crc = jam::NameCrc(r.msgid);
  working_.reply_crc = jam::NameCrc(r.reply);
  working_.reply_first = static_cast<uint32_t>(r.replies[0]);
  working_.cost = r.cost;
  working_.attribute = jam::AttributeToJam(r.attributes, r.attribute_flags, r.IsEchomail());
  working_.times_read = r.times_read;
}

// ---------------------------------------------------------------------------
// Reading

JamBase::Found JamBase::FindMessage(int32_t n, jam::MessageHeader* header, int64_t* area_start,
                                    int64_t* area_end) {
  int64_t offset = HeaderOffset(n);
  if (offset < 0 || !ReadHeaderAt(offset, header)) return Found::kNothing;
  if (!header->IsValid()) return Found::kInvalid;
  // Every length and offset is checked against the files before anything
  // is allocated.  Subfields said to run past the end of the .jhr are read
  // as far as it goes (some writers count more than they store): the whole
  // ones among them still count.
  *area_start = offset + static_cast<int64_t>(jam::kMessageHeaderSize);
  *area_end = std::min(*area_start + static_cast<int64_t>(header->subfield_len),
                       header_stream_->GetSize());
  // A text or a subfield area longer than a message may have is damage.
  if (*area_end < *area_start || *area_end - *area_start > kMaxMessageText) {
    return Found::kNothing;
  }
  if (header->txt_len > kMaxMessageText) return Found::kNothing;
  int64_t text_end = static_cast<int64_t>(header->txt_offset) + header->txt_len;
  if (header->txt_len > 0 && text_end > message_stream_->GetSize()) return Found::kNothing;
  return Found::kMessage;
}

bool JamBase::ReadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation()) return false;
  int64_t area_start = 0;
  int64_t area_end = 0;
  switch (FindMessage(n, &working_, &area_start, &area_end)) {
    case Found::kNothing:
      return false;
    case Found::kInvalid:
      record.state = kRecordCleared;
      return false;
    case Found::kMessage:
      break;
  }
  int64_t text_start = working_.txt_offset;
  int64_t text_end = text_start + working_.txt_len;
  // One buffer for the subfields of every message read.
  std::vector<uint8_t>& area = area_buffer_;
  area.resize(static_cast<size_t>(area_end - area_start));
  header_stream_->Seek(area_start);
  header_stream_->Read(area.data(), area.size());
  if (!header_stream_->ok()) return false;

  record.Clear();
  ConvertHeader(Direction::kReading, record);
  // A message without text reads with an empty body.
  if (working_.txt_len > 0) (void)ReadText(record, text_start, text_end);
  jam::ApplySubfields(area, record);
  record.ConvertFlags(Direction::kReading);
  record.Normalise();
  record.state = kRecordRead;
  return true;
}

bool JamBase::ReadSortKey(int32_t n, MessageRecord&, SortKey* key) {
  if (!BeginOperation()) return false;
  jam::MessageHeader header;
  int64_t area_start = 0;
  int64_t area_end = 0;
  if (FindMessage(n, &header, &area_start, &area_end) != Found::kMessage) return false;
  // As ConvertHeader reads it.
  DateTime written = jam::DateFromJam(header.date_written);
  if (!IsValidDate(written)) SetNow(&written);
  key->written = DateToSeconds(written);
  key->times_read = static_cast<uint16_t>(header.times_read);
  return true;
}

bool JamBase::RereadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || !MessageExists(n)) return false;
  if (!ReadMessage(n, record)) return false;
  // working_ holds message n's header now.
  jam::MessageHeader header;
  int64_t offset;
  if (working_.reply_first == 0 ||
      !LoadHeader(static_cast<int32_t>(working_.reply_first), &header, &offset)) {
    return true;
  }
  working_ = header;
  std::fill(record.replies.begin() + 1, record.replies.end(), 0);
  size_t k = 1;
  record.replies[k] = static_cast<int32_t>(working_.reply_next);
  // The chain may be damaged (a cycle, a link to a deleted message): the
  // walk ends at the reply list's end and never takes more steps than
  // there are messages.
  for (int32_t steps = 0; working_.reply_next != 0 && steps < count_; ++steps) {
    if (!LoadHeader(static_cast<int32_t>(working_.reply_next), &header, &offset)) break;
    working_ = header;
    if (++k >= record.replies.size()) break;
    record.replies[k] = static_cast<int32_t>(working_.reply_next);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing and deleting

bool JamBase::WriteMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || n < 1) return false;
  const bool append = n > count_;
  if (append && count_ >= kMaxMessageCount) return false;
  const int32_t number = append ? count_ + 1 : n;

  // A rewritten message's old header lends the new one the fields the
  // record does not carry (next sibling, date received, second attribute
  // word, password); a new message starts from the start values.
  jam::MessageHeader old_header;
  int64_t old_offset = -1;
  jam::IndexEntry old_entry;
  if (!append && !ReadIndexEntry(number, &old_entry)) return false;
  const bool replacing = !append && LoadHeader(number, &old_header, &old_offset);
  working_ = replacing ? old_header : jam::MessageHeader::Fresh();

  record.ConvertFlags(Direction::kWriting);
  ConvertHeader(Direction::kWriting, record);
  // One buffer for the subfields of every message written.
  std::string& area = subfield_buffer_;
  jam::BuildSubfields(record, &area);
  working_.subfield_len = static_cast<uint32_t>(area.size());
  working_.message_number = static_cast<uint32_t>(number);
  const uint32_t name_crc = jam::NameCrc(record.to_name);
  // An appended message's text is put together where the batch holds it.
  auto text = [&record](std::string& out) { AppendText(record, out); };
  std::string replacement;
  if (!append) text(replacement);
  if (append ? !AppendMessage(working_, area, text, name_crc)
             : !StoreMessage(number, working_, area, replacement, name_crc,
                             replacing ? &old_header : nullptr, old_offset, old_entry)) {
    return false;
  }
  record.state = kRecordWritten;
  return true;
}

bool JamBase::StoreMessage(int32_t number, jam::MessageHeader& header, std::string_view area,
                           std::string_view text, uint32_t name_crc,
                           const jam::MessageHeader* replaced, int64_t replaced_offset,
                           const jam::IndexEntry& old_entry) {
  ResetErrors();
  if (!Settled()) return false;
  const int64_t text_size = message_stream_->GetSize();
  const int64_t header_size = header_stream_->GetSize();
  if (text_size < 0 || header_size < 0) return false;
  if (text_size + static_cast<int64_t>(text.size()) > kMaxTextFileSize ||
      header_size + static_cast<int64_t>(jam::kMessageHeaderSize + area.size()) >
          kMaxHeaderFileSize) {
    return false;
  }

  header.txt_offset = static_cast<uint32_t>(text_size);
  header.txt_len = static_cast<uint32_t>(text.size());
  jam::IndexEntry entry;
  entry.name_crc = name_crc;
  entry.header_offset = static_cast<int32_t>(header_size);

  // Text and header first: until the index entry points at them they are
  // only unreferenced bytes at the ends of the files.  The index entry
  // makes the new message the one a reader finds; the base header's
  // counters come last.
  auto header_bytes = header.Encode();
  std::string stored_header(reinterpret_cast<const char*>(header_bytes.data()),
                            header_bytes.size());
  stored_header += area;
  const bool data_stored =
      PutAt(*message_stream_, text_size, text.data(), text.size()) &&
      PutAt(*header_stream_, header_size, stored_header.data(), stored_header.size());
  if (!data_stored || !WriteIndexEntry(number, entry)) {
    if (data_stored) (void)WriteIndexEntry(number, old_entry);
    CutBack(*message_stream_, text_size);
    CutBack(*header_stream_, header_size);
    ResetErrors();
    return false;
  }
  ForgetReplyLinks();

  bool ok = true;
  if (replaced != nullptr) {
    // The old header stays in the .jhr, marked deleted and without text.
    jam::MessageHeader old_header = *replaced;
    old_header.attribute |= jam::kMsgDeleted;
    old_header.txt_offset = old_header.txt_len = 0;
    ok = WriteHeader(replaced_offset, old_header);
  }
  base_header_.mod_counter += 1;
  if (replaced == nullptr) base_header_.active_msgs += 1;  // a deleted message comes back
  // A rewrite stands once its index entry is written; the counters stay
  // right in memory and reach the file with the next write.
  return WriteBaseHeader() && ok;
}

bool JamBase::AppendMessage(jam::MessageHeader& header, std::string_view area,
                            const std::function<void(std::string&)>& append_text,
                            uint32_t name_crc) {
  if (access() != Access::kReadWrite) return false;  // opened for reading only
  const int64_t text_size = message_stream_->GetSize();
  const int64_t header_size = header_stream_->GetSize();
  if (text_size < 0 || header_size < 0) return false;
  if (batch_.sizes.empty()) {
    batch_.texts.reserve(kBatchBytes);
    batch_.headers.reserve(kBatchBytes / 4);
  }
  // Where the message goes: behind the files and the batch.
  const size_t text_from = batch_.texts.size();
  const int64_t text_at = text_size + static_cast<int64_t>(text_from);
  const int64_t header_at = header_size + static_cast<int64_t>(batch_.headers.size());
  const size_t stored_size = jam::kMessageHeaderSize + area.size();
  append_text(batch_.texts);
  const size_t text_length = batch_.texts.size() - text_from;
  if (text_at + static_cast<int64_t>(text_length) > kMaxTextFileSize ||
      header_at + static_cast<int64_t>(stored_size) > kMaxHeaderFileSize) {
    batch_.texts.resize(text_from);
    return false;
  }
  header.txt_offset = static_cast<uint32_t>(text_at);
  header.txt_len = static_cast<uint32_t>(text_length);
  jam::IndexEntry entry;
  entry.name_crc = name_crc;
  entry.header_offset = static_cast<int32_t>(header_at);

  auto header_bytes = header.Encode();
  batch_.headers.append(reinterpret_cast<const char*>(header_bytes.data()), header_bytes.size());
  batch_.headers.append(area);
  auto entry_bytes = entry.Encode();
  batch_.entries.append(reinterpret_cast<const char*>(entry_bytes.data()), entry_bytes.size());
  batch_.sizes.emplace_back(static_cast<uint32_t>(text_length),
                            static_cast<uint32_t>(stored_size));
  base_header_.mod_counter += 1;
  base_header_.active_msgs += 1;
  count_ += 1;
  ForgetReplyLinks();
  return batch_.bytes() < kBatchBytes || WriteBatch();
}

jam::BaseHeader JamBase::HeaderWith(size_t appended) const {
  const auto left_out = static_cast<uint32_t>(batch_.sizes.size() - appended);
  jam::BaseHeader header = base_header_;
  header.mod_counter -= left_out;
  header.active_msgs -= left_out;
  return header;
}

bool JamBase::WriteBatchPart(size_t first, size_t count, int64_t text_size, int64_t header_size,
                             int64_t index_size) {
  size_t text_from = 0, header_from = 0;
  for (size_t i = 0; i < first; ++i) {
    text_from += batch_.sizes[i].first;
    header_from += batch_.sizes[i].second;
  }
  size_t text_length = 0, header_length = 0;
  for (size_t i = first; i < first + count; ++i) {
    text_length += batch_.sizes[i].first;
    header_length += batch_.sizes[i].second;
  }
  const int32_t written = count_ - static_cast<int32_t>(batch_.sizes.size());
  const int64_t entry_at =
      static_cast<int64_t>(written + static_cast<int32_t>(first)) * jam::kIndexEntrySize;
  // Texts and headers first, the entries that make them visible after
  // them, the counters last.
  const auto after = HeaderWith(first + count).Encode();
  bool data_stored =
      PutAt(*message_stream_, text_size, batch_.texts.data() + text_from, text_length) &&
      PutAt(*header_stream_, header_size, batch_.headers.data() + header_from, header_length);
  if (data_stored &&
      PutAt(*index_stream_, entry_at, batch_.entries.data() + first * jam::kIndexEntrySize,
            count * jam::kIndexEntrySize) &&
      PutAt(*header_stream_, 0, after.data(), after.size())) {
    return true;
  }
  // Undone completely, so that no message is left behind whose counters
  // the base header does not know.
  ResetErrors();
  CutBack(*message_stream_, text_size);
  CutBack(*header_stream_, header_size);
  CutBack(*index_stream_, index_size);
  const auto before = HeaderWith(first).Encode();
  (void)PutAt(*header_stream_, 0, before.data(), before.size());
  ResetErrors();
  return false;
}

bool JamBase::WriteBatch() {
  const size_t messages = batch_.sizes.size();
  if (messages == 0) return true;
  ResetErrors();
  const int64_t text_size = message_stream_->GetSize();
  const int64_t header_size = header_stream_->GetSize();
  const int64_t index_size = index_stream_->GetSize();
  size_t stored = 0;
  if (text_size >= 0 && header_size >= 0 && index_size >= 0) {
    if (WriteBatchPart(0, messages, text_size, header_size, index_size)) {
      stored = messages;
    } else {
      // Message by message, to keep every one that can be written.
      const int32_t written = count_ - static_cast<int32_t>(messages);
      int64_t text_at = text_size, header_at = header_size;
      for (; stored < messages; ++stored) {
        const int64_t entries_end =
            static_cast<int64_t>(written + static_cast<int32_t>(stored)) * jam::kIndexEntrySize;
        if (!WriteBatchPart(stored, 1, text_at, header_at,
                            stored == 0 ? index_size : std::max(index_size, entries_end))) {
          break;
        }
        text_at += batch_.sizes[stored].first;
        header_at += batch_.sizes[stored].second;
      }
    }
  }
  base_header_ = HeaderWith(stored);
  count_ -= static_cast<int32_t>(messages - stored);
  batch_.texts.clear();
  batch_.headers.clear();
  batch_.entries.clear();
  batch_.sizes.clear();
  return stored == messages;
}

bool JamBase::DeleteMessage(int32_t n) {
  if (!BeginOperation()) return false;
  jam::MessageHeader header;
  int64_t offset;
  if (!LoadHeader(n, &header, &offset)) return false;
  // The index entry decides whether the message is there, so it goes
  // first; the rest is bookkeeping.
  if (!WriteIndexEntry(n, jam::IndexEntry())) return false;
  ForgetReplyLinks();
  if (base_header_.active_msgs > 0) base_header_.active_msgs -= 1;
  working_ = header;
  working_.attribute |= jam::kMsgDeleted;
  working_.txt_offset = 0;
  working_.txt_len = 0;
  bool ok = WriteHeader(offset, working_);
  if (static_cast<int32_t>(header.reply_to) > 0) {
    ok = Unlink(n, header) && ok;
  }
  ok = WriteBaseHeader() && ok;
  return ok;
}

bool JamBase::Unlink(int32_t child, const jam::MessageHeader& header) {
  jam::MessageHeader link;
  int64_t offset;
  if (!LoadHeader(static_cast<int32_t>(header.reply_to), &link, &offset)) return true;
  if (static_cast<int32_t>(link.reply_first) == child) {
    link.reply_first = header.reply_next;
    return WriteHeader(offset, link);
  }
  // Find the sibling in front of the child; a damaged chain (a cycle, a
  // link to a missing message, a child that is not in it) is left alone.
  int32_t current = static_cast<int32_t>(link.reply_first);
  for (int32_t steps = 0; current > 0 && steps < count_; ++steps) {
    if (!LoadHeader(current, &link, &offset)) return true;
    if (static_cast<int32_t>(link.reply_next) == child) {
      link.reply_next = header.reply_next;
      return WriteHeader(offset, link);
    }
    current = static_cast<int32_t>(link.reply_next);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Copies in the stored form

namespace {

// The three reply links of a header, renumbered by `links` (0 without).
void Relink(jam::MessageHeader& header, const LinkMap* links) {
  for (uint32_t* link : {&header.reply_to, &header.reply_first, &header.reply_next}) {
    *link = links ? links->Map(*link) : 0;
  }
}

}  // namespace

uint32_t JamBase::LinkId(int32_t n) {
  if (n < 1) return 0;
  return std::max<uint32_t>(base_header_.base_msg_num, 1) + static_cast<uint32_t>(n - 1);
}

bool JamBase::ReadStored(int32_t n, Stored* message) {
  if (!BeginOperation()) return false;
  int64_t area_start = 0;
  int64_t area_end = 0;
  if (FindMessage(n, &message->header, &area_start, &area_end) != Found::kMessage) return false;
  jam::IndexEntry entry;
  if (!ReadIndexEntry(n, &entry)) return false;
  message->name_crc = entry.name_crc;
  std::vector<uint8_t> area(static_cast<size_t>(area_end - area_start));
  header_stream_->Seek(area_start);
  header_stream_->Read(area.data(), area.size());
  message->area.assign(reinterpret_cast<const char*>(area.data()),
                       jam::WholeSubfieldsLength(area));
  message->text.assign(message->header.txt_len, '\0');
  message_stream_->Seek(message->header.txt_offset);
  message_stream_->Read(message->text.data(), message->text.size());
  return header_stream_->ok() && message_stream_->ok();
}

bool JamBase::CopyStoredMessage(MessageBase& source, int32_t n, const LinkMap* links) {
  auto* from = dynamic_cast<JamBase*>(&source);
  if (from == nullptr || !BeginOperation() || count_ == std::numeric_limits<int32_t>::max()) {
    return false;
  }
  Stored message;
  if (!from->ReadStored(n, &message)) return false;
  message.header.message_number = LinkId(count_ + 1);
  Relink(message.header, links);
  if (!AppendMessage(message.header, message.area,
                     [&message](std::string& out) { out += message.text; }, message.name_crc)) {
    return false;
  }
  working_ = message.header;
  return true;
}

bool JamBase::CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) {
  auto* from = dynamic_cast<JamBase*>(&source);
  jam::MessageHeader header;
  int64_t offset;
  if (from == nullptr || !from->BeginOperation() || !from->LoadHeader(n, &header, &offset)) {
    return true;
  }
  jam::MessageHeader copy = header;
  copy.message_number = LinkId(n);
  Relink(copy, &links);
  return copy.Encode() != header.Encode();
}

bool JamBase::CopyLastreadFrom(MessageBase& source, const LinkMap& links) {
  auto* from = dynamic_cast<JamBase*>(&source);
  if (from == nullptr || !is_open()) return false;
  // UserCRC, UserID, LastReadMsg, HighReadMsg: 16 bytes a record.
  constexpr size_t kLastreadRecordSize = 16;
  constexpr size_t kLastReadMsg = 8;
  constexpr size_t kHighReadMsg = 12;
  FileStream out(path_ + std::string(kLastreadExtension), platform::kModeCreate | sharing_);
  const std::string theirs = from->path() + std::string(kLastreadExtension);
  if (out.is_open() && FileExists(theirs)) {
    FileStream in(theirs, platform::kModeRead | from->sharing());
    if (!CopyLastreadRecords(in, out, kLastreadRecordSize, {kLastReadMsg, kHighReadMsg}, links)) {
      return false;
    }
  }
  return out.is_open() && out.Close();
}

// ---------------------------------------------------------------------------
// Reply links

void JamBase::LoadReplyLinks(int32_t n) {
  if (!MessageExists(n)) return;
  ResetErrors();
  reply_cache_.asked = n;
  reply_cache_.reply_to = reply_cache_.first_reply = reply_cache_.next_reply = 0;
  jam::MessageHeader header;
  int64_t offset;
  if (!LoadHeader(n, &header, &offset)) return;
  working_ = header;
  reply_cache_.reply_to = static_cast<int32_t>(header.reply_to);
  reply_cache_.first_reply = static_cast<int32_t>(header.reply_first);
  reply_cache_.next_reply = static_cast<int32_t>(header.reply_next);
}

void JamBase::ForgetReplyLinks() { reply_cache_ = ReplyCache(); }

int32_t JamBase::CachedOrLoaded(int32_t n, int32_t ReplyCache::*field) {
  const bool moved = reply_cache_.asked != n;
  int32_t value = CachedLink(n, field);
  // The cache now belongs to n: nothing of the previous number may answer
  // for it.
  if (moved) reply_cache_.reply_to = reply_cache_.first_reply = reply_cache_.next_reply = 0;
  if (value < 1 && MessageExists(n)) {
    LoadReplyLinks(n);
    value = reply_cache_.*field;
  }
  return value;
}

int32_t JamBase::GetReplyTo(int32_t n) { return CachedOrLoaded(n, &ReplyCache::reply_to); }
int32_t JamBase::GetFirstReply(int32_t n) { return CachedOrLoaded(n, &ReplyCache::first_reply); }
int32_t JamBase::GetNextReply(int32_t n) { return CachedOrLoaded(n, &ReplyCache::next_reply); }

template <typename Change>
bool JamBase::ChangeHeader(int32_t n, Change change) {
  if (!is_open()) return false;
  ResetErrors();
  jam::MessageHeader header;
  int64_t offset;
  if (!LoadHeader(n, &header, &offset)) return false;
  change(header);
  working_ = header;
  return WriteHeader(offset, header);
}

void JamBase::SetReplyTo(int32_t n, int32_t value) {
  if (ChangeHeader(n,
                   [value](jam::MessageHeader& h) { h.reply_to = static_cast<uint32_t>(value); }) &&
      reply_cache_.asked == n) {
    reply_cache_.reply_to = value;
  }
}

void JamBase::SetFirstReply(int32_t n, int32_t value) {
  if (ChangeHeader(
          n, [value](jam::MessageHeader& h) { h.reply_first = static_cast<uint32_t>(value); }) &&
      reply_cache_.asked == n) {
    reply_cache_.first_reply = value;
  }
}

void JamBase::SetNextReply(int32_t n, int32_t value) {
  if (ChangeHeader(
          n, [value](jam::MessageHeader& h) { h.reply_next = static_cast<uint32_t>(value); }) &&
      reply_cache_.asked == n) {
    reply_cache_.next_reply = value;
  }
}

void JamBase::AddReply(int32_t parent, int32_t reply) {
  if (!is_open() || parent == reply || !MessageExists(parent) || !MessageExists(reply)) return;
  const int32_t first = GetFirstReply(parent);
  // A first reply that is gone takes its (unreachable) chain with it.
  if (first < 1 || !MessageExists(first)) {
    SetFirstReply(parent, reply);
    SetReplyTo(reply, parent);
    return;
  }
  if (first == reply) {
    SetReplyTo(reply, parent);
    return;
  }
  if (reply < first) {
    SetFirstReply(parent, reply);
    SetReplyTo(reply, parent);
    SetNextReply(reply, first);
    return;
  }
  // Walk to the last sibling below the reply; at most one step per message,
  // so a cycle in the chain ends the walk.
  int32_t current = first;
  for (int32_t steps = 0; steps < count_; ++steps) {
    int32_t next = GetNextReply(current);
    if (next < 1 || next >= reply || !MessageExists(next)) break;
    current = next;
  }
  const int32_t next = GetNextReply(current);
  SetNextReply(current, reply);
  SetReplyTo(reply, parent);
  if (reply != next) SetNextReply(reply, next);
}

void JamBase::MarkRead(int32_t n) {
  (void)ChangeHeader(n, [](jam::MessageHeader& h) { h.times_read += 1; });
}

}  // namespace quil
