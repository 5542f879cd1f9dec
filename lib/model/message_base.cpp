#include "model/message_base.h"

#include <algorithm>

#include "model/message_text.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/run_error.h"

namespace quil {

MessageBase::MessageBase() = default;

MessageBase::~MessageBase() {
  path_.clear();
  lastread_stream_.reset();
  message_stream_.reset();
  count_ = 0;
  error_state_ = kBaseClosed;
}

// Operations a kind does not implement end the program: calling one is a
// programming error, not a condition of the data.
std::string MessageBase::GetOriginAddress() { RunError(kErrorAbstractCall); }
std::string MessageBase::GetDestinationAddress() { RunError(kErrorAbstractCall); }
std::string MessageBase::GetPassword() { RunError(kErrorAbstractCall); }
void MessageBase::SetOriginAddress(std::string_view) { RunError(kErrorAbstractCall); }
void MessageBase::SetDestinationAddress(std::string_view) { RunError(kErrorAbstractCall); }
void MessageBase::SetPassword(std::string_view) { RunError(kErrorAbstractCall); }
bool MessageBase::Open(uint32_t, std::string_view) { RunError(kErrorAbstractCall); }
bool MessageBase::Create(uint32_t, std::string_view) { RunError(kErrorAbstractCall); }
bool MessageBase::ReadMessage(int32_t, MessageRecord&) { RunError(kErrorAbstractCall); }
bool MessageBase::WriteMessage(int32_t, MessageRecord&) { RunError(kErrorAbstractCall); }
bool MessageBase::DeleteMessage(int32_t) { RunError(kErrorAbstractCall); }
bool MessageBase::RereadMessage(int32_t, MessageRecord&) { RunError(kErrorAbstractCall); }
void MessageBase::LoadReplyLinks(int32_t) { RunError(kErrorAbstractCall); }
void MessageBase::SetReplyTo(int32_t, int32_t) { RunError(kErrorAbstractCall); }
void MessageBase::SetFirstReply(int32_t, int32_t) { RunError(kErrorAbstractCall); }
void MessageBase::SetNextReply(int32_t, int32_t) { RunError(kErrorAbstractCall); }
void MessageBase::AddReply(int32_t, int32_t) { RunError(kErrorAbstractCall); }
void MessageBase::MarkRead(int32_t) { RunError(kErrorAbstractCall); }
bool MessageBase::CopyStoredMessage(MessageBase&, int32_t, const LinkMap*) {
  RunError(kErrorAbstractCall);
}
bool MessageBase::CopyRenumbers(MessageBase&, int32_t, const LinkMap&) {
  RunError(kErrorAbstractCall);
}

void MessageBase::ConvertHeader(Direction, MessageRecord&) {}

bool MessageBase::MessageExists(int32_t n) { return is_open() && n >= 1 && n <= count_; }

int64_t MessageBase::NextMessage(int64_t n) { return std::max<int64_t>(n, 1); }

bool MessageBase::ReadText(MessageRecord& record, int64_t from, int64_t to) {
  if (!message_stream_) return false;
  auto* file = dynamic_cast<FileStream*>(message_stream_.get());
  if (file == nullptr) {
    return quil::ReadText(*message_stream_, from, to, header_only_, record, &text_buffer_);
  }
  // Straight from the file's buffer, mostly without a copy.
  if (from < 0 || from >= to || to - from > kMaxMessageText || file->GetSize() < to) return false;
  file->Reset();
  std::string_view stored = file->View(from, static_cast<size_t>(to - from), &text_buffer_);
  file->Reset();
  return quil::ReadText(stored, header_only_, record);
}

bool MessageBase::ReadMessageHeader(int32_t n, MessageRecord& record) {
  header_only_ = true;
  bool ok = ReadMessage(n, record);
  header_only_ = false;
  return ok;
}

bool MessageBase::ReadSortKey(int32_t n, MessageRecord& scratch, SortKey* key) {
  if (!ReadMessageHeader(n, scratch)) return false;
  key->written = DateToSeconds(scratch.date_written);
  key->times_read = scratch.times_read;
  return true;
}

void MessageBase::ResetErrors() {
  if (message_stream_) message_stream_->Reset();
}

bool MessageBase::Flush() { return true; }

bool MessageBase::Close() {
  bool ok = true;
  for (std::unique_ptr<Stream>* stream : {&message_stream_, &lastread_stream_}) {
    if (!*stream) continue;
    if (auto* file = dynamic_cast<FileStream*>(stream->get())) ok = file->Close() && ok;
    stream->reset();
  }
  count_ = 0;
  error_state_ = kBaseClosed;
  return ok;
}

bool MessageBase::CopySettingsFrom(MessageBase&) { return true; }

uint32_t MessageBase::LinkId(int32_t) { return 0; }
bool MessageBase::IsHighWaterMark(int32_t) { return false; }
bool MessageBase::CopiesUnreadable() { return false; }

int32_t MessageBase::FirstRebuiltNumber() { return 1; }

bool MessageBase::StartNumberingAt(int32_t first) { return first == 1; }
bool MessageBase::CopyLastreadFrom(MessageBase&, const LinkMap&) { return true; }

int32_t MessageBase::CachedLink(int32_t n, int32_t ReplyCache::*field) {
  if (reply_cache_.asked == n) return reply_cache_.*field;
  reply_cache_.asked = n;
  return -1;
}

int32_t MessageBase::GetReplyTo(int32_t n) { return CachedLink(n, &ReplyCache::reply_to); }
int32_t MessageBase::GetFirstReply(int32_t n) { return CachedLink(n, &ReplyCache::first_reply); }
int32_t MessageBase::GetNextReply(int32_t n) { return CachedLink(n, &ReplyCache::next_reply); }

bool MessageBase::PrepareOpen(uint32_t sharing, std::string_view path) {
  std::string folder;
  size_t last = path.find_last_of("\\/:");
  if (last != std::string_view::npos) folder = std::string(path.substr(0, last + 1));
  bool exists = folder.empty() || DirectoryExists(folder) ||
                (CreateDirectories(path) && DirectoryExists(folder));
  if (!exists) {
    SetOpenFailure(OpenProblem::kCannotCreate, folder);
    return false;
  }
  RecordOpen(sharing, path);
  access_ = Access::kReadWrite;
  return true;
}

void MessageBase::RecordOpen(uint32_t sharing, std::string_view path) {
  path_ = std::string(path);
  error_state_ = kBaseClosed;
  sharing_ = sharing;
  count_ = 0;
  open_failure_ = {};
}

uint32_t MessageBase::ExistingFileMode(uint32_t sharing) const {
  return (access_ == Access::kReadOnly ? platform::kModeRead : platform::kModeReadWrite) | sharing;
}

void MessageBase::SetOpenFailure(OpenProblem problem, std::string_view file) {
  open_failure_.problem = problem;
  open_failure_.file = std::string(file);
}

void MessageBase::SetOpenFailure(const Stream& stream, std::string_view file) {
  OpenProblem problem = OpenProblem::kOpenFailed;
  switch (stream.status()) {
    case kStreamInitError:
      switch (stream.error_info()) {
        case platform::kNotFound:
        case platform::kPathNotFound:
          problem = OpenProblem::kNotFound;
          break;
        case platform::kAccessDenied:
          problem = OpenProblem::kAccessDenied;
          break;
        case platform::kSharingViolation:
          problem = OpenProblem::kInUse;
          break;
        case platform::kDiskFull:
          problem = OpenProblem::kNoSpace;
          break;
        default:
          break;
      }
      break;
    case kStreamReadError:
    case kStreamSeekError:
      problem = OpenProblem::kReadFailed;
      break;
    case kStreamWriteError:
      problem = stream.error_info() == platform::kDiskFull ? OpenProblem::kNoSpace
                                                           : OpenProblem::kWriteFailed;
      break;
    default:
      break;
  }
  SetOpenFailure(problem, file);
}

}  // namespace quil
