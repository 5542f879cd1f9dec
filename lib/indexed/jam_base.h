// The JAM message base: a header file (.jhr), a text file (.jdt) and an
// index file (.jdx) in the published JAM layout (see jam_format.h), plus the
// library's private side file (.jqx), which is opened or created with the
// base (unless it is opened for reading only) and never read or written.
// The .jlr lastread file (16-byte records: UserCRC, UserID, LastReadMsg,
// HighReadMsg) is created, empty, with a new base (other JAM software does
// not open a base without one), and written only when a rebuilt base takes
// over another's (CopyLastreadFrom).
//
// Message n is index entry n, whatever the base header's BaseMsgNum says;
// the message count is the .jdx size divided by 8 (at most
// kMaxMessageCount) and includes deleted entries.  Other JAM software names
// message n BaseMsgNum + n - 1 in its header and in reply links and lastread
// records: stored-form copies and LinkId follow that numbering (WriteMessage
// stores n itself).  Message headers and texts are only ever appended: a rewrite of
// number n appends a new header and text and repoints entry n; a delete
// marks the header deleted and the index entry 0xFFFFFFFF.
//
// Writes are ordered so that a failed write leaves the base readable with
// its old messages: the text and the header go first, the index entry (which
// makes the message visible) after them, the base header last.  Appended
// messages are gathered in memory and go to the files together in that
// order (all texts, all headers, all index entries, the base header): when
// they pass kBatchBytes, before anything else reads or changes the base, and
// at Close, so a base killed at any moment holds the messages of the last
// batch written, each whole.  The sizes of the files are kept in memory.
//
// Locking: while the base is open with deny write (0x20) a shared lock,
// with deny all (0x10) an exclusive one, is held on byte 0 of the .jhr,
// which other JAM software on this system takes a write lock on while it
// writes the base; when that lock is held elsewhere, Open and Create fail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "indexed/jam_format.h"
#include "model/message_base.h"
#include "runtime/stream.h"

namespace quil {

class JamBase : public MessageBase {
 public:
  // Appended bytes gathered before they go to the files.  A batch this
  // small is written in a moment, so a source read ahead of the writer
  // keeps reading while it goes out instead of filling up and waiting.
  static constexpr size_t kBatchBytes = size_t{256} << 10;

  JamBase();
  ~JamBase() override;

  // kReading: working header to record (dates, reply-to, first reply, cost,
  // attribute word and FLAGS text from the Attribute bits, the stored type
  // from MSG_TYPEECHO or MSG_TYPENET, times read, stored number).
  // kWriting: record to working header (an invalid date written or arrived
  // is first replaced in the record by the current local date and time;
  // MSG_TYPEECHO for echomail, else MSG_TYPENET); SubfieldLen,
  // MessageNumber, TxtOffset and TxtLen are left to WriteMessage.
  void ConvertHeader(Direction direction, MessageRecord& record) override;

  // Opens the existing base `path` (without extension) for what access()
  // says.  Fails, leaving the error state kBaseBad, when a file can not be
  // opened, the .jhr is shorter than the 1024-byte base header, or another
  // program holds its write lock on the .jhr.  Opened for reading and
  // writing, the .jqx is created when it is missing.
  [[nodiscard]] bool Open(uint32_t sharing, std::string_view path) override;

  // Creates an empty base (truncating existing files): a .jhr holding only
  // a fresh base header, empty .jdt, .jdx, .jqx and .jlr.  Count 0.
  [[nodiscard]] bool Create(uint32_t sharing, std::string_view path) override;

  // True when the base is open, 1 <= n <= count and index entry n points at
  // a place in the .jhr past the base header where a whole message header
  // fits.  Deleted messages do not exist.
  bool MessageExists(int32_t n) override;

  // The first number from n on whose index entry points at a message
  // header (see MessageExists), passing holes of the .jdx unread.
  int64_t NextMessage(int64_t n) override;

  // Reads message n.  Fails with the record untouched when n does not exist
  // or its text lies outside the .jdt; fails with only the record state set
  // to 0 when the header is not valid.  Subfields that would run past the
  // end of the .jhr are read up to it.
  [[nodiscard]] bool ReadMessage(int32_t n, MessageRecord& record) override;

  // Stores the record as message n.  n > count appends as count + 1; an
  // existing or deleted n is rewritten: a new header and text are appended,
  // entry n points at them and the old header is marked deleted.  A
  // rewritten message keeps the old header's next-reply link, date
  // received, second attribute word and password; an appended one starts
  // with none.  False when the base is not open, n < 1, an append finds the
  // base full (kMaxMessageCount messages), or any write failed: a failed
  // rewrite leaves message n either the old or the new message, readable
  // either way (a rewrite stands once its index entry is written).  An
  // append joins the batch (see the top of this file); when writing a
  // batch fails, the files keep the messages before the first one that
  // could not be written, whole, and count() says how many there are.
  [[nodiscard]] bool WriteMessage(int32_t n, MessageRecord& record) override;

  // Marks message n deleted (index entry 0xFFFFFFFF, header flagged with
  // no text) and takes it out of its parent's reply chain.  False when n
  // does not exist, its header is not valid, or a write failed.
  [[nodiscard]] bool DeleteMessage(int32_t n) override;

  // From the message header alone.
  [[nodiscard]] bool ReadSortKey(int32_t n, MessageRecord& scratch, SortKey* key) override;

  // ReadMessage, then the reply list: the first reply followed by its
  // siblings in chain order, ending with 0 when there are fewer than 66.
  [[nodiscard]] bool RereadMessage(int32_t n, MessageRecord& record) override;

  // Resets the error status of the text, index and header streams.
  void ResetErrors() override;

  // Fills the reply-link cache with message n's ReplyTo, Reply1st and
  // ReplyNext (all 0 when its header can not be read) and makes n the
  // cached number.
  void LoadReplyLinks(int32_t n) override;

  // One link of message n, from the cache or loaded into it.  -1 the first
  // time a number that does not exist is asked for, 0 after that.
  int32_t GetReplyTo(int32_t n) override;
  int32_t GetFirstReply(int32_t n) override;
  int32_t GetNextReply(int32_t n) override;

  // Rewrite one link field in message n's header (nothing happens when n
  // does not exist or its header is not valid).
  void SetReplyTo(int32_t n, int32_t value) override;
  void SetFirstReply(int32_t n, int32_t value) override;
  void SetNextReply(int32_t n, int32_t value) override;

  // Inserts `reply` into `parent`'s reply chain, keeping the chain in
  // ascending number order, and sets its reply-to.  Nothing happens unless
  // both messages exist and differ; adding a reply twice changes nothing.
  void AddReply(int32_t parent, int32_t reply) override;

  // Adds one to message n's TimesRead in the file.
  void MarkRead(int32_t n) override;

  // Writes the batch of appended messages; false as WriteMessage.
  [[nodiscard]] bool Flush() override;

  // Writes the batch, flushes and closes the four files; false when a
  // write was lost.
  [[nodiscard]] bool Close() override;

  // Takes over DateCreated, PasswordCRC, BaseMsgNum and the reserved bytes
  // of another JAM base's header, and a ModCounter past its own, and
  // stores them in the base header.
  [[nodiscard]] bool CopySettingsFrom(MessageBase& other) override;

  // Appends message n of another JAM base as it is stored.  Kept byte for
  // byte: every header field (TimesRead, the CRCs, the three dates,
  // Attribute and Attribute2, PasswordCRC, Cost, Signature, Revision,
  // ReservedWord, SubfieldLen), every whole subfield in its order (unknown
  // ids too), the text and the index entry's name CRC.  Changed:
  // MessageNumber (this base's number for the new place, BaseMsgNum +
  // count), ReplyTo, Reply1st and ReplyNext (renumbered, or 0), TxtOffset,
  // the index entry's header offset, and ModCounter and ActiveMsgs.  Bytes
  // after the last whole subfield that SubfieldLen claims (a header that
  // follows, or the end of the .jhr) are not copied.
  [[nodiscard]] bool CopyStoredMessage(MessageBase& source, int32_t n,
                                       const LinkMap* links) override;
  [[nodiscard]] bool CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) override;

  // BaseMsgNum + n - 1 (a BaseMsgNum of 0 counts as 1).
  uint32_t LinkId(int32_t n) override;

  // Writes this base's .jlr as a copy of the source's, LastReadMsg and
  // HighReadMsg of every record renumbered; UserCRC and UserID stay.  A
  // source without a .jlr leaves this one empty.
  [[nodiscard]] bool CopyLastreadFrom(MessageBase& source, const LinkMap& links) override;

  // The in-memory copy of the base header.
  const jam::BaseHeader& base_header() const { return base_header_; }

 private:
  // Releases the four streams; drops the batch.
  void ReleaseStreams();
  // The .jdt stream.
  FileStream& text() { return static_cast<FileStream&>(*message_stream_); }
  // Makes the three streams keep their files' sizes in memory.
  void KeepSizesInMemory();
  // Ends a failed Open or Create: error state, streams released.
  bool FailOpen();
  // The same after recording the failure of `stream`, the file `file`.
  bool FailOpen(const Stream& stream, std::string_view file);
  // Takes the lock on byte 0 of the .jhr that the sharing mode asks for.
  bool LockHeaderFile(FileStream& stream, bool exclusive);

  // Index entry n (1 <= n <= count); false when it can not be read.
  bool ReadIndexEntry(int32_t n, jam::IndexEntry* entry);
  // The offset of message n's header when the message exists, else -1.
  int64_t HeaderOffset(int32_t n);
  // Reads and validates the header at `offset`.
  bool ReadHeaderAt(int64_t offset, jam::MessageHeader* header);
  // Message n's valid header and its offset; false when there is none.
  bool LoadHeader(int32_t n, jam::MessageHeader* header, int64_t* offset);

  enum class Found { kNothing, kInvalid, kMessage };
  // Finds message n for reading: its header and where its subfield area
  // begins and ends (as far as the .jhr holds it).  kNothing when n does
  // not exist or its text lies outside the .jdt, kInvalid when the header
  // there is not valid.
  Found FindMessage(int32_t n, jam::MessageHeader* header, int64_t* area_start,
                    int64_t* area_end);

  // Message n as it is stored: header, whole subfields, text and the name
  // CRC of its index entry.  False when it can not be read as a message.
  struct Stored {
    jam::MessageHeader header;
    std::string area;
    std::string text;
    uint32_t name_crc = 0;
  };
  bool ReadStored(int32_t n, Stored* message);

  // Stores `header` (TxtOffset and TxtLen are set here) with its subfield
  // area and text as the existing message `number`, pointing index entry
  // `number` (name CRC `name_crc`) at it; the replaced message's header
  // `replaced` (at `replaced_offset`), when there is one, is marked
  // deleted; `old_entry` is index entry `number` as it was.  False when a
  // write failed: message n is then either the old or the new message.
  bool StoreMessage(int32_t number, jam::MessageHeader& header, std::string_view area,
                    std::string_view text, uint32_t name_crc, const jam::MessageHeader* replaced,
                    int64_t replaced_offset, const jam::IndexEntry& old_entry);

  // Appends `header` (TxtOffset and TxtLen are set here) with its subfield
  // area and text as message count + 1 to the batch, its index entry
  // holding `name_crc`, and counts it in the base header; writes the batch
  // when it is full.  False when the files could not take it (nothing
  // changes) or writing the batch failed.
  // The text is what `append_text` appends to the string it is given.
  bool AppendMessage(jam::MessageHeader& header, std::string_view area,
                     const std::function<void(std::string&)>& append_text, uint32_t name_crc);

  // Writes the batch: all of it in one go, or, when that fails, message by
  // message up to the first that can not be written (the files are cut
  // back to the messages before it, and the rest of the batch is dropped).
  // False when a write failed.
  bool WriteBatch();
  // Writes `count` messages of the batch from its message `first` on, the
  // files standing at `text_size`, `header_size` and `index_size` with
  // the batch's bytes before message `first` in them.
  bool WriteBatchPart(size_t first, size_t count, int64_t text_size, int64_t header_size,
                      int64_t index_size);
  // The base header with the batch's first `appended` messages counted.
  jam::BaseHeader HeaderWith(size_t appended) const;

  // Write `count` bytes at `offset` of `stream` and flush; false when it
  // failed.  WriteAt writes the batch first, as it changes what is there.
  static bool PutAt(Stream& stream, int64_t offset, const void* bytes, size_t count);
  bool WriteAt(Stream& stream, int64_t offset, const void* bytes, size_t count);
  // Writes the batch, if any, before the files are read or changed.
  bool Settled() { return batch_.sizes.empty() || WriteBatch(); }
  bool WriteIndexEntry(int32_t n, const jam::IndexEntry& entry);
  bool WriteHeader(int64_t offset, const jam::MessageHeader& header);
  bool WriteBaseHeader();

  // Best effort after a failed append: cut a file back to its old size.
  static void CutBack(Stream& stream, int64_t size);

  // Reads the valid header of n, applies `change` to it and writes it back;
  // false when there is no such header or the write failed.
  template <typename Change>
  bool ChangeHeader(int32_t n, Change change);

  // Empties the reply-link cache: headers changed behind it.
  void ForgetReplyLinks();
  // A link of the reply-link cache, loaded when needed.
  int32_t CachedOrLoaded(int32_t n, int32_t ReplyCache::*field);

  // Takes message `child` (header `header`) out of its parent's reply
  // chain; false when a write failed.
  bool Unlink(int32_t child, const jam::MessageHeader& header);

  // Appended messages not yet in the files.
  struct Batch {
    std::string texts;    // for the .jdt, behind its end
    std::string headers;  // for the .jhr, behind its end
    std::string entries;  // for the .jdx, from the entry after the last written on
    std::vector<std::pair<uint32_t, uint32_t>> sizes;  // each message's text and header bytes
    size_t bytes() const { return texts.size() + headers.size() + entries.size(); }
  };

  jam::MessageHeader working_;
  std::vector<uint8_t> area_buffer_;  // the subfields ReadMessage takes apart
  std::string subfield_buffer_;       // the subfields WriteMessage puts together
  jam::BaseHeader base_header_;  // with the batch counted
  Batch batch_;
  std::unique_ptr<FileStream> header_stream_;
  std::unique_ptr<FileStream> index_stream_;
  uint32_t constructed_at_ = 0;  // JAM seconds of the construction time
};

}  // namespace quil
