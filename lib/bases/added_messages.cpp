// Finding the messages other programs appended to a Squish or JAM base
// during an interrupted write-back, and copying them, as stored, into the
// new base.
#include "bases/added_messages.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "indexed/jam_format.h"
#include "indexed/squish_format.h"
#include "runtime/coding.h"
#include "runtime/platform.h"
#include "runtime/stream.h"

namespace quil {

namespace {

constexpr IndexFacts kJamIndex{".jdx", jam::kIndexEntrySize, 0xFF, ".jhr", jam::kBaseHeaderSize};
constexpr IndexFacts kSquishIndex{".sqi", squish::kIndexRecordSize, 0x00, ".sqd",
                                  squish::kBaseHeaderSize};

// The files a rescue reads and writes, besides the index.
constexpr std::string_view kJamTexts = ".jdt";

// Offsets in these formats are 32 bits; JAM header offsets are signed.
constexpr int64_t kMaxJamHeaderOffset = std::numeric_limits<int32_t>::max();
constexpr int64_t kMaxOffset = std::numeric_limits<uint32_t>::max();

// The Squish frame header field that links a frame to the next one.
constexpr int64_t kNextFrameField = 4;

constexpr uint32_t kReadShared = platform::kModeRead | platform::kDenyNone;
constexpr uint32_t kWriteShared = platform::kModeReadWrite | platform::kDenyNone;

using Entry = std::pair<int64_t, std::string>;  // index position and bytes

std::span<const uint8_t> AsBytes(std::string_view bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

template <size_t N>
std::string_view AsText(const std::array<uint8_t, N>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), N};
}

// Reads `count` bytes at `offset`, which the caller has checked to lie in
// the file; false when reading failed.
bool ReadAt(FileStream& stream, int64_t offset, size_t count, std::string* bytes) {
  bytes->assign(count, '\0');
  stream.Seek(offset);
  stream.Read(bytes->data(), count);
  return stream.ok();
}

bool WriteAt(FileStream& stream, int64_t offset, std::string_view bytes) {
  stream.Seek(offset);
  stream.Write(bytes.data(), bytes.size());
  return stream.ok();
}

bool EntryIsEmpty(char mark, std::string_view entry) {
  const auto* p = reinterpret_cast<const uint8_t*>(entry.data());
  // A JAM entry of a deleted message points nowhere; a Squish record at
  // offset 0 has no frame.
  return mark == 'J' ? GetU32LE(p + 4) == jam::kDeletedField : GetU32LE(p) == 0;
}

// The files a rescue reads in the original and appends to in the new base.
std::span<const std::string_view> DataExtensions(char mark) {
  static constexpr std::string_view kJam[] = {kJamIndex.header_extension, kJamTexts,
                                              kJamIndex.index_extension};
  static constexpr std::string_view kSquish[] = {kSquishIndex.header_extension,
                                                 kSquishIndex.index_extension};
  if (mark == 'J') return kJam;
  return kSquish;
}

// Some files of one base, opened together, found by extension.
class BaseFiles {
 public:
  bool Open(const std::string& path, std::span<const std::string_view> extensions, uint32_t mode) {
    for (std::string_view extension : extensions) {
      auto stream = std::make_unique<FileStream>(path + std::string(extension), mode);
      if (!stream->is_open()) return false;
      files_.emplace_back(extension, std::move(stream));
    }
    return true;
  }
  FileStream& operator[](std::string_view extension) {
    for (auto& [name, stream] : files_) {
      if (name == extension) return *stream;
    }
    return *files_.front().second;  // not reached: callers ask for what they opened
  }
  // Forces every file to disk; false when a write was lost.
  bool Sync() {
    bool ok = true;
    for (auto& file : files_) ok = file.second->Sync() && ok;
    return ok;
  }

 private:
  std::vector<std::pair<std::string_view, std::unique_ptr<FileStream>>> files_;
};

WriteBackJournal::File* JournalFile(WriteBackJournal* journal, std::string_view extension) {
  for (WriteBackJournal::File& file : journal->files) {
    if (file.extension == extension) return &file;
  }
  return nullptr;
}

// The entries at or beyond the boundary of the original's index that are
// neither empty nor known.
bool FindAddedEntries(const RebuildLayout& layout, const IndexFacts& facts,
                      const WriteBackJournal& journal, std::vector<Entry>* found) {
  FileStream index(layout.OriginalFile(facts.index_extension), kReadShared, 65536);
  if (!index.is_open()) return false;
  const int64_t size = index.GetSize();
  const auto entry_size = static_cast<int64_t>(facts.entry_size);
  std::string entry(facts.entry_size, '\0');
  if (size >= (journal.boundary + 1) * entry_size) index.Seek(journal.boundary * entry_size);
  for (int64_t position = journal.boundary; (position + 1) * entry_size <= size; ++position) {
    index.Read(entry.data(), entry.size());
    if (!index.ok()) return false;
    if (EntryIsEmpty(journal.mark, entry)) continue;
    auto known = std::find_if(journal.known.begin(), journal.known.end(),
                              [&](const Entry& k) { return k.first == position; });
    if (known != journal.known.end() && known->second == entry) continue;
    found->emplace_back(position, entry);
  }
  return index.ok();
}

// Cuts the new base's files back to the journal's sizes and puts the
// journal's header back, undoing a rescue that was cut short.  Appends
// grow the files before anything in place changes, so files of the
// journal's sizes are as the journal left them.
bool RestoreNewBase(char mark, BaseFiles& files, const IndexFacts& facts,
                    std::span<const std::string_view> extensions, WriteBackJournal* journal) {
  bool grown = false;
  for (std::string_view extension : extensions) {
    const WriteBackJournal::File* file = JournalFile(journal, extension);
    const int64_t size = files[extension].GetSize();
    if (file == nullptr || size < 0 || size < file->size) return false;
    grown = grown || size > file->size;
  }
  if (!grown) return true;
  for (std::string_view extension : extensions) {
    FileStream& stream = files[extension];
    stream.Seek(JournalFile(journal, extension)->size);
    stream.Truncate();
  }
  FileStream& data = files[facts.header_extension];
  if (!WriteAt(data, 0, journal->header)) return false;
  if (mark == 'S') {
    // The last frame of the journal's base links to nothing.
    auto header =
        squish::DecodeBaseHeader(AsBytes(journal->header).first<squish::kBaseHeaderSize>());
    if (header.last_frame != 0 &&
        header.last_frame + squish::kFrameHeaderSize <= static_cast<uint64_t>(data.GetSize())) {
      std::string nothing(4, '\0');
      if (!WriteAt(data, header.last_frame + kNextFrameField, nothing)) return false;
    }
  }
  return data.ok();
}

// Appends to the new base `to` the JAM messages that `found` entries of
// the original `from` point at.  Returns the new base header's bytes.
bool CopyJamMessages(BaseFiles& from, BaseFiles& to, const std::vector<Entry>& found,
                     std::string* header_bytes) {
  jam::BaseHeader base = jam::BaseHeader::Decode(AsBytes(*header_bytes));
  const int64_t headers_size = from[kJamIndex.header_extension].GetSize();
  const int64_t texts_size = from[kJamTexts].GetSize();
  if (headers_size < 0 || texts_size < 0) return false;
  std::string bytes, area, text;
  for (const auto& [position, entry_bytes] : found) {
    const jam::IndexEntry entry = jam::IndexEntry::Decode(AsBytes(entry_bytes));
    const int64_t at = entry.header_offset;
    if (at < static_cast<int64_t>(jam::kBaseHeaderSize) ||
        at + static_cast<int64_t>(jam::kMessageHeaderSize) > headers_size) {
      continue;
    }
    if (!ReadAt(from[kJamIndex.header_extension], at, jam::kMessageHeaderSize, &bytes)) {
      return false;
    }
    jam::MessageHeader header = jam::MessageHeader::Decode(AsBytes(bytes));
    if (!header.IsValid() || (header.attribute & jam::kMsgDeleted) != 0) continue;
    // Subfields said to run past the end of the file are kept as far as
    // they go, as a reader takes them.
    const int64_t area_start = at + static_cast<int64_t>(jam::kMessageHeaderSize);
    const int64_t area_size = std::min<int64_t>(header.subfield_len, headers_size - area_start);
    if (header.txt_len > 0 &&
        static_cast<int64_t>(header.txt_offset) + header.txt_len > texts_size) {
      continue;
    }
    if (!ReadAt(from[kJamIndex.header_extension], area_start, static_cast<size_t>(area_size),
                &area) ||
        !ReadAt(from[kJamTexts], header.txt_offset, header.txt_len, &text)) {
      return false;
    }

    const int64_t text_at = to[kJamTexts].GetSize();
    const int64_t header_at = to[kJamIndex.header_extension].GetSize();
    const int64_t index_at = to[kJamIndex.index_extension].GetSize();
    if (text_at < 0 || header_at < 0 || index_at < 0 ||
        text_at + static_cast<int64_t>(text.size()) > kMaxOffset ||
        header_at + area_start - at + area_size > kMaxJamHeaderOffset) {
      return false;
    }
    header.txt_offset = static_cast<uint32_t>(text_at);
    header.message_number = static_cast<uint32_t>(
        base.base_msg_num + index_at / static_cast<int64_t>(jam::kIndexEntrySize));
    header.reply_to = header.reply_first = header.reply_next = 0;
    jam::IndexEntry moved{entry.name_crc, static_cast<int32_t>(header_at)};
    if (!WriteAt(to[kJamTexts], text_at, text) ||
        !WriteAt(to[kJamIndex.header_extension], header_at,
                 std::string(AsText(header.Encode())) + area) ||
        !WriteAt(to[kJamIndex.index_extension], index_at, AsText(moved.Encode()))) {
      return false;
    }
    base.active_msgs += 1;
    base.mod_counter += 1;
  }
  *header_bytes = std::string(AsText(base.Encode()));
  return WriteAt(to[kJamIndex.header_extension], 0, *header_bytes);
}

// Appends to the new base `to` the Squish messages that `found` records of
// the original `from` point at.  Returns the new base header's bytes.
bool CopySquishMessages(BaseFiles& from, BaseFiles& to, const std::vector<Entry>& found,
                        std::string* header_bytes) {
  squish::BaseHeader base =
      squish::DecodeBaseHeader(AsBytes(*header_bytes).first<squish::kBaseHeaderSize>());
  FileStream& from_data = from[kSquishIndex.header_extension];
  FileStream& data = to[kSquishIndex.header_extension];
  const int64_t data_size = from_data.GetSize();
  if (data_size < 0) return false;
  std::string bytes, message;
  for (const auto& [position, entry_bytes] : found) {
    const squish::IndexRecord record =
        squish::DecodeIndexRecord(AsBytes(entry_bytes).first<squish::kIndexRecordSize>());
    const int64_t at = record.ofs;
    if (at < static_cast<int64_t>(squish::kFirstFrameOffset) ||
        at + static_cast<int64_t>(squish::kFrameHeaderSize) > data_size) {
      continue;
    }
    if (!ReadAt(from_data, at, squish::kFrameHeaderSize, &bytes)) return false;
    const squish::FrameHeader frame =
        squish::DecodeFrameHeader(AsBytes(bytes).first<squish::kFrameHeaderSize>());
    if (frame.id != squish::kFrameId || frame.frame_type != squish::kFrameTypeMessage ||
        frame.msg_length < squish::kMessageHeaderSize ||
        frame.clen > frame.msg_length - squish::kMessageHeaderSize ||
        at + static_cast<int64_t>(squish::kFrameHeaderSize) + frame.msg_length > data_size) {
      continue;
    }
    if (!ReadAt(from_data, at + squish::kFrameHeaderSize, frame.msg_length, &message)) {
      return false;
    }

    const int64_t place = std::max<int64_t>(base.end_frame, data.GetSize());
    const int64_t end = place + static_cast<int64_t>(squish::kFrameHeaderSize) + frame.msg_length;
    if (place < 0 || end > kMaxOffset) return false;
    // Unique ids in the index stay ascending: the message keeps its own
    // unless the new base has handed that one out already.  The message
    // header keeps what it holds.
    const uint32_t id = std::max(record.umsgid, base.uid);
    auto* header = reinterpret_cast<uint8_t*>(message.data());
    PutU32LE(header + squish::kReplyToOffset, 0);
    std::memset(header + squish::kRepliesOffset, 0, 4 * squish::kHeaderReplyCount);
    squish::FrameHeader moved = frame;
    moved.next_frame = 0;
    moved.prev_frame = base.last_frame;
    moved.frame_length = frame.msg_length;
    squish::IndexRecord moved_record{static_cast<uint32_t>(place), id, record.hash};
    std::string link(4, '\0');
    PutU32LE(reinterpret_cast<uint8_t*>(link.data()), static_cast<uint32_t>(place));
    if (!WriteAt(data, place, std::string(AsText(squish::EncodeFrameHeader(moved))) + message) ||
        !WriteAt(to[kSquishIndex.index_extension],
                 static_cast<int64_t>(base.num_msg) * squish::kIndexRecordSize,
                 AsText(squish::EncodeIndexRecord(moved_record))) ||
        (base.last_frame != 0 && !WriteAt(data, base.last_frame + kNextFrameField, link))) {
      return false;
    }
    if (base.last_frame == 0) base.begin_frame = static_cast<uint32_t>(place);
    base.last_frame = static_cast<uint32_t>(place);
    base.end_frame = static_cast<uint32_t>(end);
    base.num_msg += 1;
    base.high_msg = base.num_msg;
    base.uid = id + 1;
  }
  *header_bytes = std::string(AsText(squish::EncodeBaseHeader(base)));
  return WriteAt(data, 0, *header_bytes);
}

}  // namespace

const IndexFacts* IndexFactsOf(char mark) {
  switch (mark) {
    case 'J':
      return &kJamIndex;
    case 'S':
      return &kSquishIndex;
    default:
      return nullptr;
  }
}

bool StartIndexedJournal(const RebuildLayout& layout, WriteBackJournal* journal) {
  const IndexFacts* facts = IndexFactsOf(layout.mark);
  const WriteBackJournal::File* new_index = JournalFile(journal, facts->index_extension);
  if (new_index == nullptr) return false;
  const auto entry_size = static_cast<int64_t>(facts->entry_size);
  const int64_t new_count = new_index->size / entry_size;

  FileStream original_index(layout.OriginalFile(facts->index_extension), kReadShared);
  FileStream original_data(layout.OriginalFile(facts->header_extension), kReadShared);
  FileStream new_data(layout.NewFile(facts->header_extension), kReadShared);
  const int64_t index_size = original_index.GetSize();
  if (index_size < 0 || !ReadAt(new_data, 0, facts->header_size, &journal->header)) return false;
  int64_t count = index_size / entry_size;
  journal->known.clear();
  if (layout.mark == 'S') {
    // A Squish writer appends at the header's num_msg; records a damaged
    // base holds behind it are no one's new messages.
    std::string bytes;
    if (!ReadAt(original_data, 0, facts->header_size, &bytes)) return false;
    const int64_t records = count;
    count = std::min<int64_t>(
        count, squish::DecodeBaseHeader(AsBytes(bytes).first<squish::kBaseHeaderSize>()).num_msg);
    std::string entry;
    for (int64_t position = count; position < records; ++position) {
      if (!ReadAt(original_index, position * entry_size, facts->entry_size, &entry)) return false;
      if (!EntryIsEmpty(layout.mark, entry)) journal->known.emplace_back(position, entry);
    }
  }
  journal->boundary = count;
  // The write-back writes no entry at or beyond the boundary.
  return new_count <= count;
}

bool RescueAddedMessages(const RebuildLayout& layout, WriteBackJournal* journal,
                         const SaveJournalFunction& save) {
  const IndexFacts* facts = IndexFactsOf(layout.mark);
  if (facts == nullptr) return true;
  std::vector<Entry> found;
  if (!FindAddedEntries(layout, *facts, *journal, &found)) return false;
  if (found.empty()) return true;

  const bool jam = layout.mark == 'J';
  std::span<const std::string_view> extensions = DataExtensions(layout.mark);
  BaseFiles from, to;
  if (!from.Open(layout.path, extensions, kReadShared) ||
      !to.Open(layout.temp, extensions, kWriteShared) ||
      !RestoreNewBase(layout.mark, to, *facts, extensions, journal)) {
    return false;
  }
  std::string header = journal->header;
  if (header.size() != facts->header_size ||
      !(jam ? CopyJamMessages(from, to, found, &header)
            : CopySquishMessages(from, to, found, &header)) ||
      !to.Sync()) {
    return false;
  }

  WriteBackJournal changed = *journal;
  for (std::string_view extension : extensions) {
    const int64_t size = to[extension].GetSize();
    if (size < 0) return false;
    JournalFile(&changed, extension)->size = size;
  }
  changed.header = header;
  // Behind every entry found (so none is taken twice), and behind the new
  // base's own entries (which the write-back writes).
  const int64_t new_count =
      JournalFile(&changed, facts->index_extension)->size / static_cast<int64_t>(facts->entry_size);
  changed.boundary = std::max({changed.boundary, new_count, found.back().first + 1});
  std::erase_if(changed.known, [&](const Entry& k) { return k.first < changed.boundary; });
  if (!save(changed)) return false;
  *journal = std::move(changed);
  return true;
}

}  // namespace quil
