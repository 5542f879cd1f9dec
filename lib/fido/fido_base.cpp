// The Fido message directory base: the directory listing that gives the
// count, and reading, writing and erasing single message files.
#include "fido/fido_base.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>

#include "model/dates.h"
#include "model/message_text.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/stream.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

// The mask used when the base path ends in a separator.
constexpr std::string_view kDefaultMask = "*.msg";

// Suffix of the file a replacement message is written to before it takes
// the old file's place.
constexpr std::string_view kReplacementSuffix = ".tmp";

}  // namespace

// The message number a file name stands for: names of the form
// <decimal digits>.<extension> (extension compared without regard to case;
// without an extension, digits only).  0 for every other name, and for
// numbers beyond kMaxMessageCount: one more must still be a message number,
// since messages are appended under count + 1.
int32_t FidoMessageNumber(std::string_view name, std::string_view extension) {
  std::string_view stem = name;
  if (!extension.empty()) {
    size_t dot = name.find('.');
    if (dot == std::string_view::npos) return 0;
    if (UpperCase(name.substr(dot + 1)) != UpperCase(extension)) return 0;
    stem = name.substr(0, dot);
  }
  if (stem.empty()) return 0;
  int64_t value = 0;
  for (char c : stem) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > kMaxMessageCount) return 0;
  }
  return static_cast<int32_t>(value);
}

bool FidoBase::Open(uint32_t sharing, std::string_view path) {
  RecordOpen(sharing, path);
  TakePath(path);
  if (!DirectoryExists(directory_)) {
    SetOpenFailure(OpenProblem::kNotFound, directory_.empty() ? "." : directory_);
    return false;
  }
  return OpenDirectory();
}

// A Fido base is created by opening it: the directory and the lastread
// file are made when they are missing, and an empty directory has count 0.
bool FidoBase::Create(uint32_t sharing, std::string_view path) {
  if (!PrepareOpen(sharing, path)) return false;
  TakePath(path);
  return OpenDirectory();
}

void FidoBase::TakePath(std::string_view path) {
  std::string target(path);
  message_stream_.reset();
  lastread_stream_.reset();
  size_t last = target.find_last_of("\\/:");
  directory_ = last == std::string::npos ? std::string() : target.substr(0, last + 1);
  mask_ = last == std::string::npos ? target : target.substr(last + 1);
  if (mask_.empty()) mask_ = kDefaultMask;
  size_t dot = mask_.rfind('.');
  extension_ = dot == std::string::npos ? std::string() : mask_.substr(dot + 1);
}

bool FidoBase::OpenDirectory() {
  // A directory that can not be listed is not an empty base.
  int error = platform::kOk;
  CountMessages(&error);
  if (error != platform::kOk) {
    SetOpenFailure(error == platform::kAccessDenied ? OpenProblem::kAccessDenied
                                                    : OpenProblem::kReadFailed,
                   directory_.empty() ? "." : directory_);
    return false;
  }
  // A base opened for reading only gets no lastread file: reading creates
  // nothing.
  if (access_ == Access::kReadWrite) OpenLastread();
  error_state_ = kBaseOpen;
  return true;
}

void FidoBase::OpenLastread() {
  lastread_stream_.reset();
  std::string name = directory_ + std::string(kLastreadName);
  uint32_t mode = FileExists(name) ? platform::kModeReadWrite : platform::kModeCreate;
  auto stream = std::make_unique<FileStream>(name, mode | sharing_);
  // The lastread file is a courtesy to other software; a base whose
  // lastread file can not be opened is still usable.
  if (stream->is_open()) lastread_stream_ = std::move(stream);
}

void FidoBase::CountMessages(int* error) {
  numbers_.clear();
  other_names_.clear();
  count_ = 0;
  // Plain names ("5.msg") give numbers_; any other name of a number
  // ("5.MSG", "05.msg") goes aside, the first one listed kept.
  platform::ForEachFile(
      directory_, mask_,
      [this](const platform::DirEntry& entry) {
        if (entry.is_directory) return;
        int32_t n = FidoMessageNumber(entry.name, extension_);
        if (n < 1) return;
        if (entry.name == PlainName(n)) {
          numbers_.push_back(n);
        } else {
          other_names_.try_emplace(n, entry.name);
        }
        count_ = std::max(count_, n);
      },
      error);
  std::sort(numbers_.begin(), numbers_.end());
  // When several names stand for one number the plain name wins, as it is
  // the one that is written; a number that has only another name is known
  // by that name.
  const auto plain_end = static_cast<std::ptrdiff_t>(numbers_.size());
  for (auto it = other_names_.begin(); it != other_names_.end();) {
    if (std::binary_search(numbers_.begin(), numbers_.begin() + plain_end, it->first)) {
      it = other_names_.erase(it);
    } else {
      numbers_.push_back(it->first);
      ++it;
    }
  }
  std::inplace_merge(numbers_.begin(), numbers_.begin() + plain_end, numbers_.end());
  // The list keeps the room it grew into: fitting it would hold both a
  // million numbers and their copy at once.
}

void FidoBase::KnowFile(int32_t n, std::string_view name) {
  auto at = std::lower_bound(numbers_.begin(), numbers_.end(), n);
  if (at != numbers_.end() && *at == n) return;
  numbers_.insert(at, n);  // at the end, as messages are usually added
  if (name != PlainName(n)) other_names_.try_emplace(n, name);
}

bool FidoBase::Known(int32_t n) const {
  return std::binary_search(numbers_.begin(), numbers_.end(), n);
}

std::string FidoFileName(int32_t n, std::string_view extension) {
  std::string name = std::to_string(n);
  if (!extension.empty()) name.append(".").append(extension);
  return name;
}

std::string FidoBase::PlainName(int32_t n) const { return FidoFileName(n, extension_); }

std::string FidoBase::MessageFileName(int32_t n) const {
  auto other = other_names_.find(n);
  return directory_ + (other != other_names_.end() ? other->second : PlainName(n));
}

void FidoBase::ConvertHeader(Direction direction, MessageRecord& record) {
  MessageBase::ConvertHeader(direction, record);
  if (direction == Direction::kReading) {
    record.from_name = header_.from_name;
    record.to_name = header_.to_name;
    record.subject = header_.subject;
    record.date_text = header_.date_text;
    record.times_read = header_.times_read;
    record.dest_node = header_.dest_node;
    // Tossers store echomail with the origin 0/0, which is no address: the
    // MSGID and the origin line give it then.
    const bool no_origin = header_.orig_net == 0 && header_.orig_node == 0;
    record.orig_node = no_origin ? kAddressNotSet : header_.orig_node;
    record.orig_net = header_.orig_net;
    record.dest_net = header_.dest_net;
    record.attributes = header_.attributes;
    record.replies.fill(0);
    record.replies[0] = header_.next_reply;
    return;
  }
  if (!IsValidDate(record.date_written)) SetNow(&record.date_written);
  if (!IsValidDate(record.date_arrived)) SetNow(&record.date_arrived);
  record.date_text = FormatDate(record.date_written);
  header_ = FidoHeader{};
  header_.from_name = record.from_name.str();
  header_.to_name = record.to_name.str();
  header_.subject = record.subject.str();
  header_.date_text = record.date_text.str();
  header_.times_read = record.times_read;
  header_.dest_node = record.dest_node;
  header_.orig_node = record.orig_node;
  header_.orig_net = record.orig_net;
  header_.dest_net = record.dest_net;
  header_.attributes = static_cast<uint16_t>(record.attributes);
  header_.next_reply = static_cast<uint16_t>(record.replies[0]);
}

bool FidoBase::MessageExists(int32_t n) {
  return is_open() && n >= 1 && Known(n) && FileExists(MessageFileName(n));
}

int64_t FidoBase::NextMessage(int64_t n) {
  if (!is_open() || n > count_) return static_cast<int64_t>(count_) + 1;
  auto next = std::lower_bound(numbers_.begin(), numbers_.end(),
                               static_cast<int32_t>(std::max<int64_t>(n, 1)));
  return next == numbers_.end() ? static_cast<int64_t>(count_) + 1 : *next;
}

bool FidoBase::ReadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || !MessageExists(n)) return false;
  auto file = std::make_unique<FileStream>(MessageFileName(n), platform::kModeRead | sharing_);
  record.Clear();
  if (!file->is_open()) return false;
  message_stream_ = std::move(file);
  Stream& stream = *message_stream_;

  // A file too short for the header is not a message, nor one whose text is
  // too long to be one.
  int64_t size = stream.GetSize();
  bool read = stream.ok() && size >= static_cast<int64_t>(kFidoHeaderSize) &&
              size - static_cast<int64_t>(kFidoHeaderSize) <= kMaxMessageText;
  if (read) {
    FidoHeaderBytes bytes;
    stream.Read(bytes.data(), bytes.size());
    read = stream.ok();
    if (read) header_ = DecodeFidoHeader(bytes);
  }
  if (read) {
    ConvertHeader(Direction::kReading, record);
    // A message of header only has no text; the reader refuses the empty
    // range and the body stays empty.
    (void)ReadText(record, static_cast<int64_t>(kFidoHeaderSize), size);
    record.ConvertFlags(Direction::kReading);
    record.Normalise();
    record.state = kRecordRead;
  }
  message_stream_.reset();
  return read;
}

bool FidoBase::WriteMessageFile(const std::string& name, const std::function<void()>& contents) {
  auto file = std::make_unique<FileStream>(name, platform::kModeCreate | sharing_);
  FileStream* raw = file.get();
  message_stream_ = std::move(file);
  bool written = raw->is_open();
  if (written) {
    contents();
    raw->Flush();
    written = raw->ok();
    written = raw->Close() && written;
  }
  message_stream_.reset();
  return written;
}

bool FidoBase::WriteMessage(int32_t n, MessageRecord& record) {
  if (!BeginChange() || n < 1 || n > kMaxMessageCount) return false;
  record.ConvertFlags(Direction::kWriting);
  ConvertHeader(Direction::kWriting, record);
  if (!StoreFile(n, [&] {
        FidoHeaderBytes bytes = EncodeFidoHeader(header_);
        message_stream_->Write(bytes.data(), bytes.size());
        WriteText(record);
      })) {
    return false;
  }
  record.state = kRecordWritten;
  return true;
}

bool FidoBase::StoreFile(int32_t n, const std::function<void()>& contents) {
  if (stage_) return StageFile(n, contents);
  std::string path = MessageFileName(n);
  if (!MessageExists(n)) {
    // A new message: a failed write must not leave half a message behind
    // that the next count would take for a real one.
    if (!WriteMessageFile(path, contents)) {
      (void)EraseFile(path);
      return false;
    }
  } else {
    // Replacing a message: the old file is given up only once the new one
    // is complete.  The old file must be writable for us as a create of it
    // would be (no other program denying it).
    {
      FileStream probe(path, platform::kModeReadWrite | sharing_);
      if (!probe.is_open()) return false;
    }
    std::string replacement = path + std::string(kReplacementSuffix);
    if (!WriteMessageFile(replacement, contents) ||
        platform::RenameFile(replacement, path) != platform::kOk) {
      (void)platform::DeleteFile(replacement);
      return false;
    }
  }
  KnowFile(n, std::string_view(path).substr(directory_.size()));
  count_ = std::max(count_, n);
  return true;
}

void FidoBase::StageNewFiles(std::unique_ptr<FileStream> stage) {
  stage_ = std::move(stage);
  stage_->KeepSizeInMemory();  // the stage is this base's alone
  staged_first_ = 0;
  staged_sizes_.clear();
}

bool FidoBase::StageFile(int32_t n, const std::function<void()>& contents) {
  if (!staged_sizes_.empty() &&
      int64_t{n} != int64_t{staged_first_} + static_cast<int64_t>(staged_sizes_.size())) {
    return false;
  }
  const int64_t start = stage_->GetPos();
  // The contents are written into the current message stream, which the
  // stage is while they are.
  message_stream_ = std::move(stage_);
  contents();
  stage_.reset(static_cast<FileStream*>(message_stream_.release()));
  const int64_t size = stage_->GetPos() - start;
  if (!stage_->ok() || size < 0 || size > int64_t{UINT32_MAX}) return false;
  if (staged_sizes_.empty()) staged_first_ = n;
  staged_sizes_.push_back(static_cast<uint32_t>(size));
  count_ = std::max(count_, n);
  return true;
}

bool FidoBase::Close() {
  bool ok = true;
  if (stage_) {
    ok = stage_->Close();
    stage_.reset();
  }
  return MessageBase::Close() && ok;
}

bool FidoBase::DeleteMessage(int32_t n) {
  if (!BeginChange() || !MessageExists(n)) return false;
  // A file another program holds open stays, and stays known; the result
  // does not say so.
  if (EraseFile(MessageFileName(n)) == platform::kOk) {
    numbers_.erase(std::lower_bound(numbers_.begin(), numbers_.end(), n));
    other_names_.erase(n);
  }
  return true;
}

bool FidoBase::ReadSortKey(int32_t n, MessageRecord&, SortKey* key) {
  // A missing file does not open; no need to look for it first.
  if (!BeginOperation() || n < 1 || !Known(n)) return false;
  FileStream file(MessageFileName(n), platform::kModeRead | sharing_);
  if (!file.is_open()) return false;
  file.KeepSizeInMemory();  // read at once, as it is now
  const int64_t size = file.GetSize();
  if (!file.ok() || size < static_cast<int64_t>(kFidoHeaderSize) ||
      size - static_cast<int64_t>(kFidoHeaderSize) > kMaxMessageText) {
    return false;
  }
  FidoHeaderBytes bytes;
  file.Read(bytes.data(), bytes.size());
  if (!file.ok()) return false;
  const FidoHeader header = DecodeFidoHeader(bytes);
  // As ReadMessage and the normalisation take the date from the text.
  DateText text = header.date_text;
  DateTime written;
  NormaliseDate(&text, &written);
  key->written = DateToSeconds(written);
  key->times_read = header.times_read;
  return true;
}

bool FidoBase::RereadMessage(int32_t n, MessageRecord& record) {
  if (!BeginOperation() || !MessageExists(n)) return false;
  return ReadMessage(n, record);
}

// ---------------------------------------------------------------------------
// Copies in the stored form

namespace {

// The reply-to and next-reply numbers of a message file's header,
// renumbered by `links` (0 without); of a high-water mark only the mark.
void Relink(std::string& bytes, bool high_water_mark, const LinkMap* links) {
  constexpr uint32_t kMaxField = 0xFFFF;
  auto* header = reinterpret_cast<uint8_t*>(bytes.data());
  if (high_water_mark) {
    // A smaller mark only has messages scanned again.
    if (links) {
      uint32_t mark = links->MapPointer(GetU16LE(header + kFidoReplyToOffset));
      PutU16LE(header + kFidoReplyToOffset, static_cast<uint16_t>(std::min(mark, kMaxField)));
    }
    return;
  }
  for (size_t at : {kFidoReplyToOffset, kFidoNextReplyOffset}) {
    uint32_t link = links ? links->Map(GetU16LE(header + at)) : 0;
    PutU16LE(header + at, static_cast<uint16_t>(link > kMaxField ? 0 : link));
  }
}

}  // namespace

uint32_t FidoBase::LinkId(int32_t n) { return n < 1 ? 0 : static_cast<uint32_t>(n); }

bool FidoBase::CopiesUnreadable() { return true; }

int32_t FidoBase::FirstRebuiltNumber() { return count_ > 0 && !MessageExists(1) ? 2 : 1; }

bool FidoBase::StartNumberingAt(int32_t first) {
  if (!is_open() || count_ != 0 || first < 1 || first > kMaxMessageCount) return false;
  count_ = first - 1;
  return true;
}

bool FidoBase::ReadFileStart(int32_t n, size_t size, std::string* bytes) {
  // A file that is gone does not open; no need to look for it first.
  if (!BeginOperation() || n < 1 || !Known(n)) return false;
  FileStream file(MessageFileName(n), platform::kModeRead | sharing_);
  file.KeepSizeInMemory();  // read at once, as it is now
  int64_t length = file.GetSize();
  if (!file.ok() || length < 0) return false;
  bytes->assign(std::min(static_cast<uint64_t>(length), static_cast<uint64_t>(size)), '\0');
  file.Read(bytes->data(), bytes->size());
  return file.ok();
}

bool FidoBase::ReadFile(int32_t n, std::string* bytes) {
  return ReadFileStart(n, std::numeric_limits<size_t>::max(), bytes);
}

bool FidoBase::IsHighWaterMark(int32_t n) {
  std::string header;
  if (n != 1 || !ReadFileStart(n, kFidoHeaderSize, &header) || header.size() < kFidoHeaderSize) {
    return false;
  }
  std::string subject = header.substr(kFidoSubjectOffset, kFidoSubjectSize);
  subject.resize(std::min(subject.size(), subject.find('\0')));
  std::erase_if(subject, [](char c) { return c == ' ' || c == '\t'; });
  return UpperCase(subject) == kHighWaterMarkSubject;
}

bool FidoBase::CopyStoredMessage(MessageBase& source, int32_t n, const LinkMap* links) {
  auto* from = dynamic_cast<FidoBase*>(&source);
  if (from == nullptr || !BeginOperation() || count_ >= kMaxMessageCount) return false;
  std::string bytes;
  if (!from->ReadFile(n, &bytes)) return false;
  if (bytes.size() >= kFidoHeaderSize) Relink(bytes, from->IsHighWaterMark(n), links);
  return StoreFile(count_ + 1, [&] { message_stream_->Write(bytes); });
}

bool FidoBase::CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) {
  auto* from = dynamic_cast<FidoBase*>(&source);
  std::string header;
  if (from == nullptr || !from->ReadFileStart(n, kFidoHeaderSize, &header)) return true;
  if (header.size() < kFidoHeaderSize) return false;
  std::string copy = header;
  Relink(copy, from->IsHighWaterMark(n), &links);
  return copy != header;
}

void FidoBase::WriteText(MessageRecord& record) {
  if (message_stream_) quil::WriteText(record, *message_stream_);
}

}  // namespace quil
