// The abstract message base: the one interface through which the programs
// and the base opener use every storage format.
//
// A base kind (Fido *.msg directory, packet, Squish, JAM) derives from
// MessageBase and overrides the format-specific operations.  An operation a
// kind does not implement ends the program with run-time error 211.
//
// Lifecycle: construct (closed), Open or Create (open: error state 0 and the
// message count set), then ReadMessage for 1..count and WriteMessage with
// count + 1 to append, then destroy, which closes every file.  Operations
// that return bool report success as true; a failed operation leaves the
// base open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/message_record.h"
#include "runtime/stream.h"

namespace quil {

// Values of the error state of a base.
constexpr int kBaseOpen = 0;    // usable
constexpr int kBaseClosed = 1;  // not opened yet, or destroyed
constexpr int kBaseBad = 2;     // its files could not be opened or are of a wrong kind

// The most messages a base holds: one more must still be a message number,
// since messages are appended under count + 1.  Files that claim more are
// damaged; the count stops here, and an append to a full base fails.
constexpr int32_t kMaxMessageCount = INT32_MAX - 1;

class MessageBase {
 public:
  MessageBase();
  MessageBase(const MessageBase&) = delete;
  MessageBase& operator=(const MessageBase&) = delete;
  // Closes the base: the kind's destructor first, then this common tail
  // (path forgotten, streams freed, count 0, error state closed).
  virtual ~MessageBase();

  // Packet header addresses and password (packet kind only).
  virtual std::string GetOriginAddress();
  virtual std::string GetDestinationAddress();
  virtual std::string GetPassword();
  virtual void SetOriginAddress(std::string_view address);
  virtual void SetDestinationAddress(std::string_view address);
  virtual void SetPassword(std::string_view password);

  // Maps between the kind's stored header and the record.  The common
  // version does nothing.
  virtual void ConvertHeader(Direction direction, MessageRecord& record);

  // Open an existing base, or create an empty one.  `sharing` is OR-ed into
  // every file open mode.  True on success.
  [[nodiscard]] virtual bool Open(uint32_t sharing, std::string_view path);
  [[nodiscard]] virtual bool Create(uint32_t sharing, std::string_view path);

  // Common: the base is open and 1 <= n <= count.
  virtual bool MessageExists(int32_t n);

  // The first number from n on (n >= 1) that may hold a message, count + 1
  // when none can.  The numbers it passes hold no message, so a caller that
  // visits every message of the base may skip them: a kind that knows where
  // its messages are passes the gaps between *.msg files, or the holes and
  // dangling entries of an index that claims many more messages than its
  // files hold, without reading each number.  The common version answers n.
  virtual int64_t NextMessage(int64_t n);

  // Common: the text reader.  Splits the bytes [from, to) of the current
  // message stream into `record` (see message_text.h).  Fails without
  // touching the record for an empty or impossible range.
  [[nodiscard]] virtual bool ReadText(MessageRecord& record, int64_t from, int64_t to);

  [[nodiscard]] virtual bool ReadMessage(int32_t n, MessageRecord& record);

  // Common: ReadMessage with only the leading control lines parsed and the
  // body left empty.
  [[nodiscard]] virtual bool ReadMessageHeader(int32_t n, MessageRecord& record);

  [[nodiscard]] virtual bool WriteMessage(int32_t n, MessageRecord& record);
  [[nodiscard]] virtual bool DeleteMessage(int32_t n);
  [[nodiscard]] virtual bool RereadMessage(int32_t n, MessageRecord& record);

  // Common: resets the current message stream's error status.
  virtual void ResetErrors();

  // Flushes and closes every file of the base now; the base is closed
  // afterwards.  False when a pending write could not be stored (the last
  // writes of a base are buffered, so only this shows whether they reached
  // the file).  The common version closes the current message stream and
  // the lastread stream; kinds with more files close theirs too.
  [[nodiscard]] virtual bool Close();

  // Takes over the settings of `other`, an open base of the same kind, that
  // belong to the base rather than to its messages (a packet's addresses,
  // password, product code and capability word; a Squish base's keep_days,
  // max_msg, skip_msg and name; a JAM base's DateCreated and PasswordCRC),
  // and stores them.  The common version has none.  False when they could
  // not be stored.
  [[nodiscard]] virtual bool CopySettingsFrom(MessageBase& other);

  // Reply links.  The common getters answer from a one-entry cache: the
  // cached value when n is the cached number, otherwise n becomes the cached
  // number and the answer is -1.
  virtual void LoadReplyLinks(int32_t n);
  virtual int32_t GetReplyTo(int32_t n);
  virtual int32_t GetFirstReply(int32_t n);
  virtual int32_t GetNextReply(int32_t n);
  virtual void SetReplyTo(int32_t n, int32_t value);
  virtual void SetFirstReply(int32_t n, int32_t value);
  virtual void SetNextReply(int32_t n, int32_t value);
  virtual void AddReply(int32_t parent, int32_t reply);
  virtual void MarkRead(int32_t n);

  int32_t count() const { return count_; }
  int error_state() const { return error_state_; }
  bool is_open() const { return error_state_ == kBaseOpen; }
  const std::string& path() const { return path_; }
  uint32_t sharing() const { return sharing_; }

 protected:
  // The common open/create step: makes sure the folder of `path` exists
  // (creating it level by level) and, when it does, records path and
  // sharing mode, sets the error state to closed and the count to 0.
  // Returns false (changing nothing) when the folder can not be created.
  bool PrepareOpen(uint32_t sharing, std::string_view path);

  // The start of every read, write, delete and re-read: ResetErrors, then
  // whether the base is open.
  bool BeginOperation() {
    ResetErrors();
    return is_open();
  }

  struct ReplyCache {
    int32_t asked = 0;
    int32_t reply_to = 0;
    int32_t first_reply = 0;
    int32_t next_reply = 0;
  };
  // The common cache lookup: `field` of the cache when n is the asked
  // number; otherwise n becomes the asked number and the result is -1.
  int32_t CachedLink(int32_t n, int32_t ReplyCache::*field);

  std::string path_;
  std::unique_ptr<Stream> message_stream_;
  std::unique_ptr<Stream> lastread_stream_;
  int error_state_ = kBaseClosed;
  int32_t count_ = 0;
  uint32_t sharing_ = static_cast<uint32_t>(-1);
  ReplyCache reply_cache_;
  bool header_only_ = false;
};

}  // namespace quil
