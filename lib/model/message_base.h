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

#include "model/link_map.h"
#include "model/message_record.h"
#include "runtime/stream.h"

namespace quil {

// Values of the error state of a base.
constexpr int kBaseOpen = 0;    // usable
constexpr int kBaseClosed = 1;  // not opened yet, or destroyed
constexpr int kBaseBad = 2;     // its files could not be opened or are of a wrong kind

// What Open opens a base's files for.
enum class Access : uint8_t {
  kReadWrite,  // reading and writing
  kReadOnly,   // reading only: Open creates, writes and truncates nothing
               // (no side or lastread file either), and every change fails
};

// Why a base could not be opened or created.  A kind's Open and Create
// leave one on the base; the base opener adds those only it can see.
enum class OpenProblem : uint8_t {
  kNone,
  kNotFound,      // `file` does not exist
  kAccessDenied,  // the user may not open or create `file`
  kInUse,         // another program holds `file` open or locked
  kTooShort,      // `file` is too short for its header
  kWrongFormat,   // `file` holds something else than this kind of base
  kReadFailed,    // `file` could not be read
  kOpenFailed,    // `file` could not be opened for another reason
  kCannotCreate,  // the folder `file` could not be created
  kWriteFailed,   // `file` could not be written
  kNoSpace,       // `file` could not be written: the disk is full
  // Seen by the base opener.
  kNoBase,          // not one file of the base exists
  kBadSpec,         // the name given says no kind of base
  kSameBase,        // it is the other base of the same run
  kUnfinishedSort,  // an interrupted sort of it is still to be finished
};

struct OpenFailure {
  OpenProblem problem = OpenProblem::kNone;
  std::string file;  // as the base named it; empty for the opener's own
};

// What a sort orders a message by.
struct SortKey {
  int64_t written = 0;      // the date written, in seconds (DateToSeconds)
  uint16_t times_read = 0;  // the times-read count
};

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

  // Open an existing base (never creating it; for what access() says), or
  // create an empty one (always for reading and writing).  `sharing` is
  // OR-ed into every file open mode.  True on success; on failure
  // open_failure() says why.
  [[nodiscard]] virtual bool Open(uint32_t sharing, std::string_view path);
  [[nodiscard]] virtual bool Create(uint32_t sharing, std::string_view path);

  // The access the next Open asks for; kReadWrite unless set.
  void set_access(Access access) { access_ = access; }
  Access access() const { return access_; }

  // Why the last Open or Create failed (kNone after a success).
  const OpenFailure& open_failure() const { return open_failure_; }

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

  // The date written and the times-read count of message n as
  // ReadMessageHeader gives them, and false when it fails; the kinds read
  // only the fields that hold them.  The common version reads the message
  // header into `scratch`.
  [[nodiscard]] virtual bool ReadSortKey(int32_t n, MessageRecord& scratch, SortKey* key);

  [[nodiscard]] virtual bool WriteMessage(int32_t n, MessageRecord& record);
  [[nodiscard]] virtual bool DeleteMessage(int32_t n);
  [[nodiscard]] virtual bool RereadMessage(int32_t n, MessageRecord& record);

  // Common: resets the current message stream's error status.
  virtual void ResetErrors();

  // Writes what the base holds back of its changes (some kinds gather
  // appended messages in memory) to its files.  False when a write failed;
  // count() then says how many messages the base holds.  The common version
  // holds nothing back.
  [[nodiscard]] virtual bool Flush();

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

  // Appends message n of `source`, an open base of the same kind, to this
  // base in its stored form: every byte as the source stores it except what
  // the new place makes necessary (its number or unique id, its place in
  // the files, the index, the base header's counters).  Its reply links are
  // renumbered by `links`, or set to 0 when `links` is null.  False, with
  // this base as it was, when the source is of another kind, message n can
  // not be taken as it is stored, or a write failed.  Each kind's version
  // says what exactly it keeps and changes.
  [[nodiscard]] virtual bool CopyStoredMessage(MessageBase& source, int32_t n,
                                               const LinkMap* links);

  // True when CopyStoredMessage(source, n, &links) onto message number n of
  // this base would store other numbers or links than message n of
  // `source` holds: its own id, or one of its reply links.  The place of
  // its bytes in the files does not count.
  [[nodiscard]] virtual bool CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links);

  // The id by which reply links and lastread pointers name message n: the
  // message number of a JAM base (BaseMsgNum + n - 1), the unique id of a
  // Squish message, the file number in a *.msg directory.  For n beyond
  // the count, the id the message appended as number n will get.  The
  // common version, for kinds without links, is 0.
  virtual uint32_t LinkId(int32_t n);

  // True when message n is a *.msg directory's high-water mark, which
  // tossers keep as 1.msg: it is not a message to sort or to copy.  The
  // common version says false.
  virtual bool IsHighWaterMark(int32_t n);

  // The number a rebuild of this base gives its first message (the new base
  // is told with StartNumberingAt).  The common version says 1; a *.msg
  // directory that holds messages but no 1.msg keeps that number free, as
  // tossers keep it for their high-water mark and write it over.
  virtual int32_t FirstRebuiltNumber();

  // Makes this empty base give the first message appended to it the number
  // `first`.  The common version takes only 1; a *.msg directory any
  // number.  False when it can not.
  [[nodiscard]] virtual bool StartNumberingAt(int32_t first);

  // True when CopyStoredMessage takes a message of this base that does not
  // read as it is (a *.msg file too short for its header), so that a
  // rebuild can keep it.  The common version says false.
  virtual bool CopiesUnreadable();

  // Takes over the lastread pointers of `source`, an open base of the same
  // kind whose messages were copied into this one (the JAM .jlr, the Squish
  // .sql and high_water), each renumbered by links.MapPointer.  The common
  // version, for kinds without them, does nothing.  False when they could
  // not be read or stored.
  [[nodiscard]] virtual bool CopyLastreadFrom(MessageBase& source, const LinkMap& links);

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
  // The common create step: makes sure the folder of `path` exists
  // (creating it level by level) and, when it does, goes on as RecordOpen
  // and sets the access to kReadWrite.  Returns false (changing nothing but
  // the open failure, kCannotCreate) when the folder can not be created.
  bool PrepareOpen(uint32_t sharing, std::string_view path);

  // The common open step: records path and sharing mode, sets the error
  // state to closed and the count to 0, and forgets an earlier failure.
  // Creates nothing.
  void RecordOpen(uint32_t sharing, std::string_view path);

  // The open mode of an existing file of the base, by access(), with
  // `sharing` OR-ed in.
  uint32_t ExistingFileMode(uint32_t sharing) const;

  // The start of every change to the base (write, delete, mark): as
  // BeginOperation, and false for a base opened for reading only.
  bool BeginChange() { return BeginOperation() && access_ == Access::kReadWrite; }

  // Record why Open or Create failed: a problem with `file`, or the failure
  // of `stream`, which tried to open, read or write `file`.
  void SetOpenFailure(OpenProblem problem, std::string_view file);
  void SetOpenFailure(const Stream& stream, std::string_view file);

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
  std::string text_buffer_;  // the stored text ReadText takes apart
  Access access_ = Access::kReadWrite;
  OpenFailure open_failure_;
};

}  // namespace quil
