// The Squish message base: open, create, read, write, delete, reply links.
#include "indexed/squish_base.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "indexed/index_scan.h"
#include "model/dates.h"
#include "model/message_text.h"
#include "runtime/coding.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

using squish::BaseHeader;
using squish::FrameHeader;
using squish::IndexRecord;
using squish::MessageHeader;

namespace {

constexpr int64_t kFrameHeaderSize = squish::kFrameHeaderSize;
constexpr int64_t kMessageHeaderSize = squish::kMessageHeaderSize;
constexpr int64_t kIndexRecordSize = squish::kIndexRecordSize;
// The buffers of the files: messages are mostly read one after the other,
// and appended ones go out in batches.
constexpr size_t kStreamBufferSize = 65536;
// The frame header field that links a frame to the next one.
constexpr size_t kNextFrameField = 4;
// Index records moved through memory at a time when one is removed.
constexpr size_t kIndexMoveRecords = 5461;
// Offsets in the .sqd are 32-bit.
constexpr int64_t kMaxDataSize = std::numeric_limits<uint32_t>::max();

using namespace control_line;
// Control lines in the control information follow one another without a
// line end, each starting with ^A.
constexpr std::string_view kCtrlA = "\x01";

// Sorts one control line of the control information into the record.
void TakeControlLine(std::string_view line, MessageRecord& r) {
  auto rest = [&line](std::string_view prefix) { return line.substr(prefix.size()); };
  // A field's line without a value says nothing: it never takes the place
  // of the value a line before it gave.
  auto take = [&rest](ShortString& field, std::string_view prefix) {
    if (!rest(prefix).empty()) field = rest(prefix);
  };
  // Every prefix is ^A and an ASCII letter: most fail at that letter,
  // folded once for all of them.
  const char letter = line.size() > 1 ? AsciiUpCase(line[1]) : '\0';
  auto is = [&line, letter](std::string_view prefix) {
    return letter == AsciiUpCase(prefix[1]) && StartsWithNoCase(line, prefix);
  };
  if (is(kIntl)) {
    r.intl = rest(kIntl);
  } else if (is(kTopt)) {
    r.dest_point = static_cast<uint16_t>(TextToNumber(rest(kTopt)));
  } else if (is(kFmpt)) {
    r.orig_point = static_cast<uint16_t>(TextToNumber(rest(kFmpt)));
  } else if (is(kMsgid)) {
    take(r.msgid, kMsgid);
  } else if (is(kReply)) {
    take(r.reply, kReply);
  } else if (is(kFlags)) {
    take(r.flags, kFlags);
  } else if (is(kPid)) {
    take(r.pid, kPid);
  } else if (is(kVia)) {
    r.routing_lines.Insert(std::string(kVia).append(rest(kVia)));
  } else if (is(kRecd)) {
    r.routing_lines.Insert(std::string(kRecd).append(rest(kRecd)));
  } else if (is(kForwarded)) {
    r.routing_lines.Insert(std::string(kForwarded).append(rest(kForwarded)));
  } else {
    r.control_lines.Insert(line);
  }
}

// Splits the control information into ^A lines.  It ends at its first zero
// byte; two ^A in a row count as one separator.
void ParseControlInfo(std::string_view info, MessageRecord& r) {
  info = info.substr(0, info.find('\0'));
  size_t pos = 0;
  while (pos < info.size()) {
    size_t end = info.find(kCtrlA[0], pos);
    if (end == std::string_view::npos) end = info.size();
    if (end > pos) {
      // Behind a separator the line with its ^A stands in the text as it
      // is; only a first line without one needs it put in front.
      if (pos > 0) {
        TakeControlLine(info.substr(pos - 1, end - pos + 1), r);
      } else {
        TakeControlLine(std::string(kCtrlA).append(info.substr(pos, end - pos)), r);
      }
    }
    pos = end + 1;
  }
}

// A control line of the control information holds no ^A but its first
// byte (another would start another line) and no NUL (which would end the
// control information): those bytes are left out.
void AppendControlLine(std::string& ctl, std::string_view prefix, std::string_view value) {
  ctl.append(prefix);
  AppendWithout(ctl, value, kCtrlA[0], '\0');
}

// Appends the control information of a record to `ctl`: the netmail
// kludges (INTL first; none for echomail), the kludges the record holds as
// values, the other control lines, one zero byte.
void AppendControlInfo(const MessageRecord& r, std::string& ctl) {
  auto line = [&ctl](std::string_view prefix, std::string_view value) {
    AppendControlLine(ctl, prefix, value);
  };
  for (const auto& [prefix, value] : NetmailKludges(r)) line(prefix, value);
  if (!r.msgid.empty()) line(kMsgid, r.msgid);
  if (!r.reply.empty()) line(kReply, r.reply);
  if (!r.flags.empty()) line(kFlags, r.flags);
  if (!r.pid.empty()) line(kPid, r.pid);
  if (!r.tid.empty()) line(kTid, r.tid);
  for (std::string_view kludge : r.control_lines) {
    if (kludge.empty()) continue;
    AppendControlLine(ctl, kludge.substr(0, 1), kludge.substr(1));
  }
  ctl.push_back('\0');
}

// Appends the stored text of a record to `txt`: the body, tear line, origin
// line, SEEN-BY, PATH and routing lines (each ended by CR), one zero byte.
void AppendText(const MessageRecord& r, std::string& txt) {
  AppendBodyAndTrailingLines(r, txt);
  txt.push_back('\0');
}

// True when an offset can be that of a frame in a .sqd of `size` bytes:
// behind the base header, with room for a frame header.
bool PointsAtFrame(uint32_t ofs, int64_t size) {
  return ofs >= squish::kFirstFrameOffset && ofs + kFrameHeaderSize <= size;
}

// Counts in `header` message n, appended in a frame at `frame_ofs` that
// ends at `frame_end`, with the unique id `umsgid`.
void CountAppend(BaseHeader& header, int32_t n, uint32_t frame_ofs, uint32_t frame_end,
                 uint32_t umsgid, uint32_t high_water) {
  if (n == 1) header.begin_frame = frame_ofs;
  header.last_frame = frame_ofs;
  header.high_water = high_water;
  header.uid = std::max(header.uid, umsgid) + 1;
  header.num_msg += 1;
  header.high_msg += 1;
  header.end_frame = frame_end;
}

uint32_t& LinkField(FrameHeader& frame, bool next) {
  return next ? frame.next_frame : frame.prev_frame;
}

// The date written with the seconds of the FTS-0001 date text when the text
// and the 2-second stamp agree: the stamp keeps only even seconds, the text
// (written from the same date) every second.  Otherwise the stamp's date.
// The text is normalised on the way (NormaliseDate).
DateTime ExactDateWritten(const DateTime& stamped, DateText* text) {
  DateTime parsed;
  NormaliseDate(text, &parsed);
  DateTime even = parsed;
  even.second -= even.second % 2;
  return even == stamped && IsValidDate(parsed) ? parsed : stamped;
}

}  // namespace

SquishBase::SquishBase() { NormaliseBaseHeader(); }

SquishBase::~SquishBase() {
  (void)Settled();
  index_stream_.reset();
  base_header_ = BaseHeader();
  working_header_ = MessageHeader();
  index_record_ = IndexRecord();
  NormaliseBaseHeader();
}

void SquishBase::NormaliseBaseHeader() {
  base_header_.len = squish::kBaseHeaderSize;
  if (base_header_.uid == 0) base_header_.uid = squish::kFirstUniqueId;
  base_header_.sz_sqhdr = squish::kFrameHeaderSize;
  if (base_header_.end_frame == 0) base_header_.end_frame = squish::kFirstFrameOffset;
  frame_header_.id = squish::kFrameId;
}

// ---------------------------------------------------------------------------
// Header conversion

void SquishBase::ConvertHeader(Direction direction, MessageRecord& r) {
  MessageBase::ConvertHeader(direction, r);
  MessageHeader& h = working_header_;
  if (direction == Direction::kReading) {
    r.from_name = h.from;
    r.to_name = h.to;
    r.subject = h.subject;
    r.orig_zone = h.orig.zone;
    r.orig_net = h.orig.net;
    r.orig_node = h.orig.node;
    r.orig_point = h.orig.point;
    r.dest_zone = h.dest.zone;
    r.dest_net = h.dest.net;
    r.dest_node = h.dest.node;
    r.dest_point = h.dest.point;
    r.attributes = h.attr;
    r.date_written = UnpackStamp(SwapStamp(h.date_written));
    if (!IsValidDate(r.date_written)) SetNow(&r.date_written);
    // The date text is taken apart where the record keeps it; the record's
    // Normalise makes it again from the date written.
    r.date_text = h.ftsc_date;
    r.date_written = ExactDateWritten(r.date_written, &r.date_text);
    r.date_arrived = UnpackStamp(SwapStamp(h.date_arrived));
    if (!IsValidDate(r.date_arrived)) SetNow(&r.date_arrived);
    r.utc_offset = h.utc_ofs;
    r.reply_to = static_cast<int32_t>(h.reply_to);
    for (size_t i = 0; i < squish::kHeaderReplyCount; ++i) {
      r.replies[i] = static_cast<int32_t>(h.replies[i]);
    }
    r.unique_id = h.umsgid;
    r.times_read = (h.attr & squish::kAttrRead) != 0 ? 1 : 0;
    r.stored_number = index_record_.umsgid;
    return;
  }

  // Invalid dates are replaced first, so that a date text made from the
  // date written is a real date.  The text is the date written's: readers
  // take its seconds, which the packed stamp can not hold.
  if (!IsValidDate(r.date_written)) SetNow(&r.date_written);
  if (!IsValidDate(r.date_arrived)) SetNow(&r.date_arrived);
  if (r.date_text.empty()) FormatDate(r.date_written, &r.date_text);
  // The strings as the fixed fields hold them, assigned in place: the
  // header keeps their storage from one message to the next.
  h.from.assign(r.from_name.str(), 0, squish::kNameSize - 1);
  h.to.assign(r.to_name.str(), 0, squish::kNameSize - 1);
  h.subject.assign(r.subject.str(), 0, squish::kSubjectSize - 1);
  h.ftsc_date.assign(r.date_text.str(), 0, squish::kDateTextSize - 1);
  h.orig = {r.orig_zone, r.orig_net, r.orig_node, r.orig_point};
  h.dest = {r.dest_zone, r.dest_net, r.dest_node, r.dest_point};
  h.attr = r.attributes;
  h.date_written = SwapStamp(PackStamp(r.date_written));
  h.date_arrived = SwapStamp(PackStamp(r.date_arrived));
  h.utc_ofs = r.utc_offset;
  h.reply_to = static_cast<uint32_t>(r.reply_to);
  for (size_t i = 0; i < squish::kHeaderReplyCount; ++i) {
    h.replies[i] = static_cast<uint32_t>(r.replies[i]);
  }
  // umsgid is the base's to give (WriteMessage), not the record's.
  if (r.times_read != 0) {
    h.attr |= squish::kAttrRead;
  } else {
    h.attr &= ~squish::kAttrRead;
  }
}

// ---------------------------------------------------------------------------
// Open and create

void SquishBase::ReleaseStreams() {
  batch_ = Batch();
  message_stream_.reset();
  index_stream_.reset();
  lastread_stream_.reset();
}

bool SquishBase::FailOpen() {
  ReleaseStreams();
  error_state_ = kBaseBad;
  count_ = 0;
  return false;
}

bool SquishBase::FailOpen(const Stream& stream, std::string_view file) {
  SetOpenFailure(stream, file);
  return FailOpen();
}

// Tossers and editors on this system take an fcntl write lock on byte 0 of
// the .sqd while they change a base.  A shared lock there keeps them out for
// as long as the base is open denying writes (an exclusive one when it
// denies everything), and fails while one of them is at work.
bool SquishBase::LockData(uint32_t sharing) {
  switch (sharing & platform::kSharingMask) {
    case platform::kDenyAll:
      return data().LockRange(0, 1, true);
    case platform::kDenyWrite:
      return data().LockRange(0, 1, false);
    default:
      return true;
  }
}

// True unless another program holds a write lock on an existing .sqd.
bool SquishBase::DataIsFree(const std::string& name) {
  if (!FileExists(name)) return true;
  FileStream probe(name, platform::kModeRead | platform::kDenyNone);
  return !probe.is_open() || probe.LockRange(0, 1, false);
}

bool SquishBase::Open(uint32_t sharing, std::string_view path) {
  (void)Settled();
  RecordOpen(sharing, path);
  ReleaseStreams();
  const std::string base(path);
  const std::string data_name = base + ".sqd";
  const std::string index_name = base + ".sqi";
  message_stream_ =
      std::make_unique<FileStream>(data_name, ExistingFileMode(sharing), kStreamBufferSize);
  if (!message_stream_->ok()) return FailOpen(*message_stream_, data_name);
  index_stream_ =
      std::make_unique<FileStream>(index_name, ExistingFileMode(sharing), kStreamBufferSize);
  if (!index_stream_->ok()) return FailOpen(*index_stream_, index_name);
  KeepSizesInMemory();
  // The lastread file is opened only for a base that is there, so a failed
  // open leaves no stray file behind, and not for reading only, which
  // creates nothing; its own failure does not matter.
  if (access_ == Access::kReadWrite) {
    const std::string lastread = base + ".sql";
    uint32_t lastread_mode =
        FileExists(lastread) ? platform::kModeReadWrite : platform::kModeCreate;
    lastread_stream_ = std::make_unique<FileStream>(lastread, lastread_mode | sharing);
  }
  if (!LockData(sharing)) {
    SetOpenFailure(OpenProblem::kInUse, data_name);
    return FailOpen();
  }

  // A .sqd shorter than its header is not a Squish base.
  squish::BaseHeaderBytes bytes{};
  int64_t data_size = data().GetSize();
  if (data().ok() && data_size < static_cast<int64_t>(bytes.size())) {
    SetOpenFailure(OpenProblem::kTooShort, data_name);
    return FailOpen();
  }
  data().Seek(0);
  data().Read(bytes.data(), bytes.size());
  if (!data().ok()) return FailOpen(data(), data_name);
  int64_t index_size = index_stream_->GetSize();
  if (!index_stream_->ok() || index_size < 0) return FailOpen(*index_stream_, index_name);
  base_header_ = squish::DecodeBaseHeader(bytes);

  // The count is what the header claims, but never more than the index
  // holds: a header that claims more would send reads past the index.
  int64_t count = std::min<int64_t>(base_header_.num_msg, index_size / kIndexRecordSize);
  count = std::min<int64_t>(count, kMaxMessageCount);
  base_header_.num_msg = static_cast<uint32_t>(count);
  count_ = static_cast<int32_t>(count);
  error_state_ = kBaseOpen;
  return true;
}

bool SquishBase::Create(uint32_t sharing, std::string_view path) {
  (void)Settled();
  static_cast<void>(PrepareOpen(sharing, path));
  ReleaseStreams();
  const std::string base(path);
  const std::string data_name = base + ".sqd";
  const std::string index_name = base + ".sqi";
  // Truncating a base that another program is writing would wreck it.
  if (!DataIsFree(data_name)) {
    SetOpenFailure(OpenProblem::kInUse, data_name);
    return FailOpen();
  }
  index_stream_ = std::make_unique<FileStream>(index_name, platform::kModeCreate | sharing,
                                               kStreamBufferSize);
  message_stream_ = std::make_unique<FileStream>(data_name, platform::kModeCreate | sharing,
                                                 kStreamBufferSize);
  lastread_stream_ = std::make_unique<FileStream>(base + ".sql", platform::kModeCreate | sharing);
  if (!message_stream_->ok()) return FailOpen(*message_stream_, data_name);
  if (!index_stream_->ok()) return FailOpen(*index_stream_, index_name);
  KeepSizesInMemory();
  if (!LockData(sharing)) {
    SetOpenFailure(OpenProblem::kInUse, data_name);
    return FailOpen();
  }

  // A fresh header: nothing of a base this object had open before.
  BaseHeader header;
  header.len = squish::kBaseHeaderSize;
  header.sz_sqhdr = squish::kFrameHeaderSize;
  header.end_frame = squish::kFirstFrameOffset;
  header.begin_frame = squish::kFirstFrameOffset;
  header.last_frame = 0;
  header.high_water = 0;
  header.uid = squish::kFirstUniqueId;
  if (!WriteBaseHeader(header)) return FailOpen(data(), data_name);
  base_header_ = header;
  count_ = static_cast<int32_t>(header.num_msg);
  error_state_ = kBaseOpen;
  return true;
}

void SquishBase::ResetErrors() {
  MessageBase::ResetErrors();
  if (index_stream_) index_stream_->Reset();
}

// ---------------------------------------------------------------------------
// Low-level access

void SquishBase::KeepSizesInMemory() {
  // The base takes its files as they are at the open, as it takes its
  // count, and knows what it writes itself.
  data().KeepSizeInMemory();
  index_stream_->KeepSizeInMemory();
}

bool SquishBase::ReadIndexRecord(int32_t n, IndexRecord* record) {
  const int32_t written = count_ - static_cast<int32_t>(batch_.messages.size());
  if (n > written && n <= count_) {
    const size_t at = static_cast<size_t>(n - written - 1) * squish::kIndexRecordSize;
    *record = squish::DecodeIndexRecord(std::span<const uint8_t, squish::kIndexRecordSize>(
        reinterpret_cast<const uint8_t*>(batch_.records.data()) + at, squish::kIndexRecordSize));
    return true;
  }
  squish::IndexRecordBytes bytes{};
  index_stream_->Seek(static_cast<int64_t>(n - 1) * kIndexRecordSize);
  index_stream_->Read(bytes.data(), bytes.size());
  if (!index_stream_->ok()) return false;
  *record = squish::DecodeIndexRecord(bytes);
  return true;
}

SquishBase::FrameCheck SquishBase::ReadFrameHeader(uint32_t ofs, FrameHeader* frame) {
  int64_t size = data().GetSize();
  if (size < 0) return FrameCheck::kIoError;
  if (!PointsAtFrame(ofs, size)) return FrameCheck::kNotAFrame;
  squish::FrameHeaderBytes bytes{};
  data().Seek(ofs);
  data().Read(bytes.data(), bytes.size());
  if (!data().ok()) return FrameCheck::kIoError;
  *frame = squish::DecodeFrameHeader(bytes);
  return frame->id == squish::kFrameId ? FrameCheck::kValid : FrameCheck::kNotAFrame;
}

int64_t SquishBase::NextMessage(int64_t n) {
  if (!is_open() || !Settled()) return static_cast<int64_t>(count_) + 1;
  ResetErrors();
  const int64_t size = data().GetSize();
  ResetErrors();
  return NextIndexRecord(*index_stream_, n, count_, squish::kIndexRecordSize,
                         [size](std::span<const uint8_t> bytes) {
                           return PointsAtFrame(GetU32LE(bytes.data()), size);
                         });
}

bool SquishBase::LoadMessage(int32_t n) {
  IndexRecord index;
  FrameHeader frame;
  if (!Settled() || !ReadIndexRecord(n, &index) || ReadFrameHeader(index.ofs, &frame) != FrameCheck::kValid) {
    return false;
  }
  if (index.ofs + kFrameHeaderSize + kMessageHeaderSize > data().GetSize()) return false;
  squish::MessageHeaderBytes bytes{};
  data().Seek(index.ofs + kFrameHeaderSize);
  data().Read(bytes.data(), bytes.size());
  if (!data().ok()) return false;
  index_record_ = index;
  frame_header_ = frame;
  working_header_ = squish::DecodeMessageHeader(bytes);
  return true;
}

bool SquishBase::WriteAt(Stream& stream, int64_t position, const void* bytes, size_t count) {
  stream.Seek(position);
  stream.Write(bytes, count);
  stream.Flush();
  return stream.ok();
}

bool SquishBase::WriteFrameHeader(uint32_t ofs, const FrameHeader& frame) {
  squish::FrameHeaderBytes bytes = squish::EncodeFrameHeader(frame);
  return WriteAt(data(), ofs, bytes.data(), bytes.size());
}

bool SquishBase::Flush() { return Settled(); }

bool SquishBase::Close() {
  bool ok = Settled();
  ok = (!index_stream_ || index_stream_->Close()) && ok;
  index_stream_.reset();
  return MessageBase::Close() && ok;
}

bool SquishBase::CopySettingsFrom(MessageBase& other) {
  auto* squish = dynamic_cast<SquishBase*>(&other);
  if (squish == nullptr || !BeginOperation() || !Settled()) return false;
  const BaseHeader& theirs = squish->base_header();
  base_header_.keep_days = theirs.keep_days;
  base_header_.max_msg = theirs.max_msg;
  base_header_.skip_msg = theirs.skip_msg;
  base_header_.base = theirs.base;
  return WriteBaseHeader(base_header_);
}

bool SquishBase::WriteBaseHeader(const BaseHeader& header) {
  squish::BaseHeaderBytes bytes = squish::EncodeBaseHeader(header);
  return WriteAt(data(), 0, bytes.data(), bytes.size());
}

bool SquishBase::SetFrameLink(uint32_t ofs, Link link, uint32_t value) {
  FrameHeader frame;
  switch (ReadFrameHeader(ofs, &frame)) {
    case FrameCheck::kIoError:
      return false;
    case FrameCheck::kNotAFrame:
      return true;  // a damaged link is not followed into foreign bytes
    case FrameCheck::kValid:
      break;
  }
  LinkField(frame, link == Link::kNext) = value;
  return WriteFrameHeader(ofs, frame);
}

bool SquishBase::UnlinkFrame(BaseHeader& header, const FrameHeader& frame) {
  if (frame.prev_frame == 0) {
    header.begin_frame = frame.next_frame;
  } else if (!SetFrameLink(frame.prev_frame, Link::kNext, frame.next_frame)) {
    return false;
  }
  if (frame.next_frame == 0) {
    header.last_frame = frame.prev_frame;
  } else if (!SetFrameLink(frame.next_frame, Link::kPrev, frame.prev_frame)) {
    return false;
  }
  return true;
}

bool SquishBase::FreeFrame(BaseHeader& header, uint32_t ofs, FrameHeader frame) {
  frame.frame_type = squish::kFrameTypeFree;
  if (ofs == header.free_frame || ofs == header.last_free_frame) {
    // A damaged header names this frame already; linking it to itself would
    // make the free chain a loop.
    return WriteFrameHeader(ofs, frame);
  }
  if (header.free_frame == 0) {
    frame.prev_frame = 0;
    frame.next_frame = 0;
    header.free_frame = ofs;
    header.last_free_frame = ofs;
  } else if (ofs < header.free_frame) {
    frame.next_frame = header.free_frame;
    frame.prev_frame = 0;
    if (!SetFrameLink(header.free_frame, Link::kPrev, ofs)) return false;
    header.free_frame = ofs;
  } else {
    frame.prev_frame = header.last_free_frame;
    frame.next_frame = 0;
    if (!SetFrameLink(header.last_free_frame, Link::kNext, ofs)) return false;
    header.last_free_frame = ofs;
  }
  return WriteFrameHeader(ofs, frame);
}

bool SquishBase::RemoveIndexRecord(int32_t n) {
  FileStream& index = *index_stream_;
  const int64_t end = static_cast<int64_t>(count_) * kIndexRecordSize;
  int64_t pos = static_cast<int64_t>(n) * kIndexRecordSize;
  std::vector<uint8_t> chunk(
      static_cast<size_t>(std::min<int64_t>(end - pos, kIndexMoveRecords * kIndexRecordSize)));
  while (pos < end && index.ok()) {
    size_t length = static_cast<size_t>(std::min<int64_t>(end - pos, chunk.size()));
    index.Seek(pos);
    index.Read(chunk.data(), length);
    index.Seek(pos - kIndexRecordSize);
    index.Write(chunk.data(), length);
    pos += static_cast<int64_t>(length);
  }
  index.Flush();
  index.Seek(end - kIndexRecordSize);
  index.Truncate();
  return index.ok();
}

// ---------------------------------------------------------------------------
// Reading

SquishBase::Found SquishBase::FindFrame(int32_t n, IndexRecord* index, FrameHeader* frame) {
  if (!Settled() || !MessageExists(n) || !ReadIndexRecord(n, index)) return Found::kNothing;
  const int64_t size = data().GetSize();
  if (size < 0 || index->ofs > size) return Found::kNothing;
  // The frame must be a frame, and its lengths must fit it and the file.
  bool sound = ReadFrameHeader(index->ofs, frame) == FrameCheck::kValid &&
               frame->msg_length >= kMessageHeaderSize &&
               frame->msg_length - kMessageHeaderSize <= kMaxMessageText &&
               frame->clen <= frame->msg_length - kMessageHeaderSize &&
               frame->msg_length <= frame->frame_length &&
               index->ofs + kFrameHeaderSize + frame->msg_length <= size;
  return sound ? Found::kFrame : Found::kDamaged;
}

bool SquishBase::ReadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation()) return false;
  IndexRecord index;
  FrameHeader frame;
  const Found found = FindFrame(n, &index, &frame);
  if (found == Found::kNothing) return false;
  squish::MessageHeaderBytes header_bytes{};
  // One buffer for the control information of every message read.
  std::string& control = control_buffer_;
  control.assign(found == Found::kFrame ? frame.clen : 0, '\0');
  bool sound = found == Found::kFrame;
  if (sound) {
    data().Read(header_bytes.data(), header_bytes.size());
    data().Read(control.data(), control.size());
    sound = data().ok();
  }
  if (!sound) {
    record.state = kRecordCleared;
    return false;
  }
  index_record_ = index;
  frame_header_ = frame;
  squish::DecodeMessageHeader(header_bytes, &working_header_);

  record.Clear();
  ConvertHeader(Direction::kReading, record);
  ParseControlInfo(control, record);
  const int64_t text_start =
      static_cast<int64_t>(index.ofs) + kFrameHeaderSize + kMessageHeaderSize + frame.clen;
  const int64_t text_end = static_cast<int64_t>(index.ofs) + kFrameHeaderSize + frame.msg_length;
  // A message without text reads with an empty body.
  static_cast<void>(ReadText(record, text_start, text_end));
  record.body.Reset();
  record.ConvertFlags(Direction::kReading);
  record.Normalise();
  record.state = kRecordRead;
  return true;
}

bool SquishBase::ReadSortKey(int32_t n, MessageRecord&, SortKey* key) {
  if (!BeginOperation()) return false;
  IndexRecord index;
  FrameHeader frame;
  if (FindFrame(n, &index, &frame) != Found::kFrame) return false;
  squish::MessageHeaderBytes bytes{};
  data().Read(bytes.data(), bytes.size());
  if (!data().ok()) return false;
  const MessageHeader header = squish::DecodeMessageHeader(bytes);
  // As ConvertHeader reads it.
  DateTime written = UnpackStamp(SwapStamp(header.date_written));
  if (!IsValidDate(written)) SetNow(&written);
  DateText text = header.ftsc_date;
  key->written = DateToSeconds(ExactDateWritten(written, &text));
  key->times_read = (header.attr & squish::kAttrRead) != 0 ? 1 : 0;
  return true;
}

bool SquishBase::RereadMessage(int32_t n, MessageRecord& record) {
  if (!MessageExists(n)) return false;
  return ReadMessage(n, record);
}

// ---------------------------------------------------------------------------
// Writing

bool SquishBase::WriteMessage(int32_t n, MessageRecord& record) {
  if (!is_open() || n < 1) return false;
  const bool replace = MessageExists(n);
  if (replace && !Settled()) return false;
  if (!replace) {
    if (count_ >= kMaxMessageCount) return false;
    n = count_ + 1;
  }
  ResetErrors();

  record.ConvertFlags(Direction::kWriting);
  ConvertHeader(Direction::kWriting, record);

  // The unique id, the same in the index and in the message header: a
  // rewritten message keeps its own, a new one takes the base's next id.
  IndexRecord old_index;
  if (replace && !ReadIndexRecord(n, &old_index)) return false;
  const uint32_t id = replace && old_index.umsgid != 0 ? old_index.umsgid : NextUniqueId();
  working_header_.umsgid = id;
  working_header_.attr |= squish::kAttrUniqueId;
  // Message header, control information and text, put together in the one
  // buffer every message is built in.
  std::string& message = message_buffer_;
  message.clear();
  squish::MessageHeaderBytes header_bytes = squish::EncodeMessageHeader(working_header_);
  message.append(reinterpret_cast<const char*>(header_bytes.data()), header_bytes.size());
  AppendControlInfo(record, message);
  const auto clen = static_cast<uint32_t>(message.size() - header_bytes.size());
  AppendText(record, message);

  IndexRecord index;
  index.hash = squish::SquishHash(working_header_.to);
  index.umsgid = id;
  // The new message has the highest id, so nothing above it counts as
  // scanned.
  const bool stored = replace ? ReplaceFrame(n, message, clen, index)
                              : AppendFrame(message, clen, index, id, id);
  if (!stored) return false;
  record.state = kRecordWritten;
  return true;
}

bool SquishBase::WriteFrame(std::string_view message, uint32_t clen, uint32_t prev,
                            uint32_t next, uint32_t* frame_ofs) {
  // The new frame goes behind everything in the .sqd, even when end_frame
  // claims less, so that no existing byte is overwritten.
  const int64_t data_size = data().GetSize();
  if (data_size < 0) return false;
  const auto length = static_cast<int64_t>(message.size());
  const int64_t place = std::max<int64_t>(base_header_.end_frame, data_size);
  if (place + kFrameHeaderSize + length > kMaxDataSize) return false;

  FrameHeader frame;
  frame.id = squish::kFrameId;
  frame.next_frame = next;
  frame.prev_frame = prev;
  frame.frame_length = static_cast<uint32_t>(length);
  frame.msg_length = static_cast<uint32_t>(length);
  frame.clen = clen;
  frame.frame_type = squish::kFrameTypeMessage;
  frame.rsvd = 0;

  std::string bytes;
  bytes.reserve(static_cast<size_t>(kFrameHeaderSize + length));
  squish::FrameHeaderBytes frame_bytes = squish::EncodeFrameHeader(frame);
  bytes.append(reinterpret_cast<const char*>(frame_bytes.data()), frame_bytes.size());
  bytes.append(message);
  if (!WriteAt(data(), place, bytes.data(), bytes.size())) return false;
  frame_header_ = frame;
  *frame_ofs = static_cast<uint32_t>(place);
  return true;
}

bool SquishBase::AppendFrame(std::string_view message, uint32_t clen, IndexRecord index,
                             uint32_t umsgid, uint32_t high_water) {
  if (access() != Access::kReadWrite) return false;  // opened for reading only
  const int32_t n = count_ + 1;
  IndexRecord prev_index;
  if (n > 1 && !ReadIndexRecord(n - 1, &prev_index)) return false;
  // The new frame goes behind everything in the .sqd and the batch, even
  // when end_frame claims less, so that no existing byte is overwritten;
  // the batch holds frames that follow one another.
  const int64_t data_size = data().GetSize();
  if (data_size < 0) return false;
  const auto batch_end = static_cast<int64_t>(batch_.start + batch_.frames.size());
  int64_t place = std::max<int64_t>({base_header_.end_frame, data_size,
                                     batch_.messages.empty() ? 0 : batch_end});
  if (!batch_.messages.empty() && place != batch_end) {
    if (!WriteBatch()) return false;
    place = std::max<int64_t>(base_header_.end_frame, data().GetSize());
  }
  const auto length = static_cast<int64_t>(message.size());
  if (place + kFrameHeaderSize + length > kMaxDataSize) return false;

  FrameHeader frame;
  frame.id = squish::kFrameId;
  frame.next_frame = 0;
  frame.prev_frame = prev_index.ofs;
  frame.frame_length = static_cast<uint32_t>(length);
  frame.msg_length = static_cast<uint32_t>(length);
  frame.clen = clen;
  frame.frame_type = squish::kFrameTypeMessage;
  frame.rsvd = 0;
  const auto frame_ofs = static_cast<uint32_t>(place);

  const int32_t written = n - 1 - static_cast<int32_t>(batch_.messages.size());
  if (batch_.messages.empty()) {
    batch_.start = frame_ofs;
    batch_.linked_from = n > 1 ? prev_index.ofs : 0;
    batch_.before = base_header_;
    batch_.frames.reserve(kBatchBytes);
  } else if (n - 1 > written) {
    // The previous frame is in the batch: it links to this one there.
    PutU32LE(reinterpret_cast<uint8_t*>(batch_.frames.data()) + (prev_index.ofs - batch_.start) +
                 kNextFrameField,
             frame_ofs);
  }
  squish::FrameHeaderBytes frame_bytes = squish::EncodeFrameHeader(frame);
  batch_.frames.append(reinterpret_cast<const char*>(frame_bytes.data()), frame_bytes.size());
  batch_.frames.append(message);
  index.ofs = frame_ofs;
  index.umsgid = umsgid;
  squish::IndexRecordBytes index_bytes = squish::EncodeIndexRecord(index);
  batch_.records.append(reinterpret_cast<const char*>(index_bytes.data()), index_bytes.size());
  const auto frame_size = static_cast<uint32_t>(kFrameHeaderSize + length);
  batch_.messages.push_back({frame_size, umsgid, high_water});
  CountAppend(base_header_, n, frame_ofs, frame_ofs + frame_size, umsgid, high_water);
  count_ = n;
  index_record_ = index;
  frame_header_ = frame;
  return batch_.frames.size() + batch_.records.size() < kBatchBytes || WriteBatch();
}

bool SquishBase::PutRecords(int32_t written, size_t first, size_t count) {
  const int64_t index_pos =
      static_cast<int64_t>(written + static_cast<int32_t>(first)) * kIndexRecordSize;
  const int64_t end = index_pos + static_cast<int64_t>(count) * kIndexRecordSize;
  if (!WriteAt(*index_stream_, index_pos, batch_.records.data() + first * kIndexRecordSize,
               count * kIndexRecordSize)) {
    return false;
  }
  if (index_stream_->GetSize() > end) {
    // Records left behind by an append that did not complete.
    index_stream_->Seek(end);
    index_stream_->Truncate();
  }
  return index_stream_->ok();
}

bool SquishBase::WriteBatch() {
  const size_t messages = batch_.messages.size();
  if (messages == 0) return true;
  ResetErrors();
  const int32_t written = count_ - static_cast<int32_t>(messages);
  const int64_t data_size = data().GetSize();
  BaseHeader header = batch_.before;
  size_t stored = 0;
  // First the frames, where nothing points yet; then the index records
  // (not counted until the header says so), the link from the frame
  // before them, and the header.
  if (data_size >= 0 &&
      WriteAt(data(), batch_.start, batch_.frames.data(), batch_.frames.size()) &&
      PutRecords(written, 0, messages) &&
      (batch_.linked_from == 0 || SetFrameLink(batch_.linked_from, Link::kNext, batch_.start)) &&
      WriteBaseHeader(base_header_)) {
    stored = messages;
    header = base_header_;
  } else if (data_size >= 0) {
    // Message by message, to keep every one that can be written: its frame
    // whole, pointing nowhere, before anything points at it.  What the
    // first try wrote is written over; frames behind the last one counted
    // may hang there, as after any failed append, until the next one.
    ResetErrors();
    uint32_t place = batch_.start;
    uint32_t previous = batch_.linked_from;
    size_t offset = 0;
    for (; stored < messages; ++stored) {
      const Batch::Message& m = batch_.messages[stored];
      std::string frame = batch_.frames.substr(offset, m.size);
      PutU32LE(reinterpret_cast<uint8_t*>(frame.data()) + kNextFrameField, 0);
      BaseHeader after = header;
      CountAppend(after, written + static_cast<int32_t>(stored) + 1, place, place + m.size,
                  m.umsgid, m.high_water);
      if (!WriteAt(data(), place, frame.data(), frame.size()) ||
          !PutRecords(written, stored, 1) ||
          (previous != 0 && !SetFrameLink(previous, Link::kNext, place)) ||
          !WriteBaseHeader(after)) {
        break;
      }
      header = after;
      previous = place;
      place += m.size;
      offset += m.size;
    }
  }
  ResetErrors();
  base_header_ = header;
  count_ = written + static_cast<int32_t>(stored);
  batch_ = Batch();
  return stored == messages;
}

bool SquishBase::ReplaceFrame(int32_t n, std::string_view message, uint32_t clen,
                              IndexRecord index) {
  // The neighbours in message order: the previous message and the one after.
  IndexRecord prev_index, next_index, old_index;
  if (n > 1 && !ReadIndexRecord(n - 1, &prev_index)) return false;
  if (!ReadIndexRecord(n, &old_index)) return false;
  if (n < count_ && !ReadIndexRecord(n + 1, &next_index)) return false;
  uint32_t frame_ofs = 0;
  if (!WriteFrame(message, clen, prev_index.ofs, next_index.ofs, &frame_ofs)) return false;

  // Take the old frame out of the chain and link the new one in its place,
  // free the old frame, then switch the index record over.
  BaseHeader header = base_header_;
  FrameHeader old_frame;
  FrameCheck old_check = ReadFrameHeader(old_index.ofs, &old_frame);
  if (old_check == FrameCheck::kIoError) return false;
  const bool old_in_chain =
      old_check == FrameCheck::kValid && old_frame.frame_type != squish::kFrameTypeFree;
  if (old_in_chain && !UnlinkFrame(header, old_frame)) return false;
  if (n > 1) {
    if (!SetFrameLink(prev_index.ofs, Link::kNext, frame_ofs)) return false;
  } else {
    header.begin_frame = frame_ofs;
  }
  if (n < count_) {
    if (!SetFrameLink(next_index.ofs, Link::kPrev, frame_ofs)) return false;
  } else {
    header.last_frame = frame_ofs;
  }
  if (old_in_chain && !FreeFrame(header, old_index.ofs, old_frame)) return false;
  header.uid = std::max(header.uid, index.umsgid + 1);
  index.ofs = frame_ofs;
  squish::IndexRecordBytes index_bytes = squish::EncodeIndexRecord(index);
  const int64_t index_pos = static_cast<int64_t>(n - 1) * kIndexRecordSize;
  if (!WriteAt(*index_stream_, index_pos, index_bytes.data(), index_bytes.size())) return false;
  // From here on the new message is the one a reader finds.
  header.end_frame = frame_ofs + kFrameHeaderSize + static_cast<uint32_t>(message.size());
  base_header_ = header;
  if (!WriteBaseHeader(header)) return false;
  index_record_ = index;
  return true;
}

// ---------------------------------------------------------------------------
// Copies in the stored form

namespace {

// The reply links of a stored message header (replyto and the nine
// replies), renumbered by `links` (0 without).
void Relink(std::span<uint8_t, squish::kMessageHeaderSize> header, const LinkMap* links) {
  for (size_t at = squish::kReplyToOffset; at < squish::kUmsgidOffset; at += 4) {
    PutU32LE(header.data() + at, links ? links->Map(GetU32LE(header.data() + at)) : 0);
  }
}

}  // namespace

uint32_t SquishBase::NextUniqueId() {
  IndexRecord last;
  const uint32_t after_last =
      count_ > 0 && ReadIndexRecord(count_, &last) ? last.umsgid + 1 : squish::kFirstUniqueId;
  return std::max({base_header_.uid, after_last, squish::kFirstUniqueId});
}

uint32_t SquishBase::LinkId(int32_t n) {
  if (n > count_) return NextUniqueId() + static_cast<uint32_t>(n - count_ - 1);
  IndexRecord index;
  if (n < 1 || !is_open() || !ReadIndexRecord(n, &index)) return 0;
  return index.umsgid;
}

bool SquishBase::ReadStored(int32_t n, IndexRecord* index, std::string* message,
                            uint32_t* clen) {
  FrameHeader frame;
  if (!BeginOperation() || FindFrame(n, index, &frame) != Found::kFrame) return false;
  message->assign(frame.msg_length, '\0');
  data().Read(message->data(), message->size());
  *clen = frame.clen;
  return data().ok();
}

bool SquishBase::CopyStoredMessage(MessageBase& source, int32_t n, const LinkMap* links) {
  auto* from = dynamic_cast<SquishBase*>(&source);
  if (from == nullptr || !BeginOperation() || count_ == std::numeric_limits<int32_t>::max()) {
    return false;
  }
  IndexRecord index;
  std::string message;
  uint32_t clen = 0;
  if (!from->ReadStored(n, &index, &message, &clen)) return false;
  const uint32_t umsgid = NextUniqueId();
  auto header = std::span<uint8_t, squish::kMessageHeaderSize>(
      reinterpret_cast<uint8_t*>(message.data()), squish::kMessageHeaderSize);
  PutU32LE(header.data() + squish::kUmsgidOffset, umsgid);
  Relink(header, links);
  return AppendFrame(message, clen, index, umsgid, umsgid);
}

bool SquishBase::CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) {
  auto* from = dynamic_cast<SquishBase*>(&source);
  IndexRecord index;
  FrameHeader frame;
  if (from == nullptr || !from->BeginOperation() ||
      from->FindFrame(n, &index, &frame) != Found::kFrame) {
    return true;
  }
  squish::MessageHeaderBytes stored{};
  from->data().Read(stored.data(), stored.size());
  if (!from->data().ok()) return true;
  squish::MessageHeaderBytes copy = stored;
  const uint32_t umsgid = LinkId(n);
  PutU32LE(copy.data() + squish::kUmsgidOffset, umsgid);
  Relink(copy, &links);
  return index.umsgid != umsgid || copy != stored;
}

bool SquishBase::CopyLastreadFrom(MessageBase& source, const LinkMap& links) {
  auto* from = dynamic_cast<SquishBase*>(&source);
  if (from == nullptr || !BeginOperation() || !Settled()) return false;
  // A lastread file that could not be opened can not be carried over: the
  // copy fails rather than put an empty one in its place.
  auto* in = dynamic_cast<FileStream*>(from->lastread_stream_.get());
  auto* out = dynamic_cast<FileStream*>(lastread_stream_.get());
  if (in == nullptr || out == nullptr || !in->is_open() || !out->is_open()) return false;
  // One unique id a record: the last message each reader read.
  constexpr size_t kLastreadRecordSize = 4;
  in->Reset();
  in->Seek(0);
  out->Reset();
  out->Seek(0);
  out->Truncate();
  if (!CopyLastreadRecords(*in, *out, kLastreadRecordSize, {0}, links)) return false;
  out->Flush();
  if (!out->ok()) return false;
  // The highest message a scanner has seen follows the same rule.
  BaseHeader header = base_header_;
  header.high_water = links.MapPointer(from->base_header().high_water);
  if (!WriteBaseHeader(header)) return false;
  base_header_ = header;
  return true;
}

bool SquishBase::DeleteMessage(int32_t n) {
  if (!BeginOperation() || !Settled() || !MessageExists(n)) return false;
  IndexRecord index;
  if (!ReadIndexRecord(n, &index)) return false;
  BaseHeader header = base_header_;
  FrameHeader frame;
  FrameCheck check = ReadFrameHeader(index.ofs, &frame);
  if (check == FrameCheck::kIoError) return false;
  // A frame that is damaged or free already is not in the message chain;
  // only its index record goes.
  if (check == FrameCheck::kValid && frame.frame_type != squish::kFrameTypeFree) {
    if (!UnlinkFrame(header, frame)) return false;
    if (!FreeFrame(header, index.ofs, frame)) return false;
  }
  if (!RemoveIndexRecord(n)) return false;
  // The index no longer holds the message, so the count drops now even if
  // the header below can not be written.
  header.num_msg -= 1;
  header.high_msg -= 1;
  base_header_ = header;
  count_ -= 1;
  return WriteBaseHeader(header);
}

// ---------------------------------------------------------------------------
// Reply links and the read mark

void SquishBase::LoadReplyLinks(int32_t n) {
  if (!MessageExists(n)) return;
  ResetErrors();
  reply_cache_.asked = n;
  reply_cache_.reply_to = 0;
  reply_cache_.first_reply = 0;
  reply_cache_.next_reply = 0;
  if (!LoadMessage(n)) return;
  reply_cache_.reply_to = static_cast<int32_t>(working_header_.reply_to);
  reply_cache_.first_reply = static_cast<int32_t>(working_header_.replies[0]);
  reply_cache_.next_reply = static_cast<int32_t>(working_header_.replies[1]);
}

int32_t SquishBase::GetLink(int32_t n, int32_t ReplyCache::*field) {
  int32_t v = CachedLink(n, field);
  if (MessageExists(n) && v < 1) {
    LoadReplyLinks(n);
    v = CachedLink(n, field);
  }
  return v;
}

int32_t SquishBase::GetReplyTo(int32_t n) { return GetLink(n, &ReplyCache::reply_to); }
int32_t SquishBase::GetFirstReply(int32_t n) { return GetLink(n, &ReplyCache::first_reply); }
int32_t SquishBase::GetNextReply(int32_t n) { return GetLink(n, &ReplyCache::next_reply); }

void SquishBase::PatchHeaderField(size_t field_offset, uint32_t value) {
  // Only the one field is written: the rest of a header written by other
  // software stays exactly as it is.
  uint8_t bytes[4];
  PutU32LE(bytes, value);
  const int64_t position = static_cast<int64_t>(index_record_.ofs) + kFrameHeaderSize +
                           static_cast<int64_t>(field_offset);
  static_cast<void>(WriteAt(data(), position, bytes, sizeof bytes));
}

uint32_t SquishBase::UniqueIdOf(int32_t n) {
  IndexRecord index;
  if (!MessageExists(n) || !ReadIndexRecord(n, &index)) return 0;
  return index.umsgid;
}

void SquishBase::SetLink(int32_t n, size_t field_offset, int32_t value,
                         int32_t ReplyCache::*field) {
  if (!MessageExists(n)) return;
  ResetErrors();
  const uint32_t stored = UniqueIdOf(value);
  if (!LoadMessage(n)) return;
  PatchHeaderField(field_offset, stored);
  if (reply_cache_.asked == n) reply_cache_.*field = static_cast<int32_t>(stored);
}

void SquishBase::SetReplyTo(int32_t n, int32_t value) {
  SetLink(n, squish::kReplyToOffset, value, &ReplyCache::reply_to);
}

void SquishBase::SetFirstReply(int32_t n, int32_t value) {
  SetLink(n, squish::kRepliesOffset, value, &ReplyCache::first_reply);
}

void SquishBase::SetNextReply(int32_t n, int32_t value) {
  SetLink(n, squish::kRepliesOffset + 4, value, &ReplyCache::next_reply);
}

void SquishBase::AddReply(int32_t parent, int32_t reply) {
  if (!MessageExists(parent) || reply == parent) return;
  ResetErrors();
  SetReplyTo(reply, parent);
  const uint32_t stored = UniqueIdOf(reply);
  if (stored == 0 || !LoadMessage(parent)) return;
  for (size_t i = 0; i < squish::kHeaderReplyCount; ++i) {
    if (working_header_.replies[i] == stored) return;
    if (working_header_.replies[i] == 0) {
      working_header_.replies[i] = stored;
      PatchHeaderField(squish::kRepliesOffset + 4 * i, stored);
      return;
    }
  }
}

void SquishBase::MarkRead(int32_t n) {
  if (!MessageExists(n)) return;
  ResetErrors();
  if (!LoadMessage(n)) return;
  working_header_.attr |= squish::kAttrRead;
  PatchHeaderField(squish::kAttrOffset, working_header_.attr);
}

}  // namespace quil
