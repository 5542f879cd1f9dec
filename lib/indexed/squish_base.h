// The Squish message base: a data file (.sqd) holding a base header and a
// doubly linked chain of message frames, an index file (.sqi) with one
// 12-byte record per message in message-number order, and a lastread file
// (.sql: one unique id per reader) that is kept open and written only when a
// rebuilt base takes over another's (CopyLastreadFrom).  Layouts:
// squish_format.h.
//
// Message numbers are positions in the index: deleting message n moves every
// later message down by one number.  New frames always go to the end of the
// data; deleted frames join the free chain and are not reused.
//
// Writes are ordered so that a failed write (disk full, I/O error) leaves a
// base that still reads with its old messages: a new frame is written before
// anything points at it, and the base header, which holds the count, last.
// Appended messages are gathered in memory and go to the files together in
// that order (all frames, their index records, the link from the frame
// before them, the base header): when they pass kBatchBytes, before anything
// else reads or changes the base, and at Close.  The sizes of the files are
// kept in memory.
//
// Other FidoNet programs on this system take an fcntl write lock on byte 0
// of the .sqd while they change a base.  A base open with deny write holds a
// shared lock on that byte (deny all: an exclusive one) until it is closed,
// so they can not change it under us; while one of them holds its lock, Open
// and Create fail as they do on a sharing conflict.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "indexed/squish_format.h"
#include "model/message_base.h"
#include "runtime/stream.h"

namespace quil {

class SquishBase : public MessageBase {
 public:
  // Appended bytes gathered before they go to the files.  A batch this
  // small is written in a moment, so a source read ahead of the writer
  // keeps reading while it goes out instead of filling up and waiting.
  static constexpr size_t kBatchBytes = size_t{256} << 10;

  SquishBase();
  ~SquishBase() override;

  // Reading: the working message header (and index record) to the record;
  // the date written takes the seconds of the FTS-0001 date text when the
  // two agree.  Writing: the record to the working message header (but for
  // the unique id, which WriteMessage gives); invalid dates are replaced in
  // the record by the current date and time.
  void ConvertHeader(Direction direction, MessageRecord& record) override;

  // Opens path + ".sqd" and ".sqi" for what access() says (for reading and
  // writing, ".sql" too, created when missing).  Fails, leaving the base in
  // the error state with no file open, when a file can not be opened, the
  // base header can not be read (a .sqd shorter than 256 bytes), or another
  // program holds a write lock on the .sqd.  The count is the smaller of
  // num_msg and the records the index holds.
  [[nodiscard]] bool Open(uint32_t sharing, std::string_view path) override;

  // Creates an empty base: a .sqd of exactly the 256-byte base header, an
  // empty .sqi and an empty .sql (existing files are truncated).  Fails,
  // changing nothing, while another program holds a write lock on an
  // existing .sqd.
  [[nodiscard]] bool Create(uint32_t sharing, std::string_view path) override;

  // The first number from n on whose index record points where a frame
  // can be, passing holes of the .sqi unread.
  int64_t NextMessage(int64_t n) override;

  // Reads message n.  Fails without touching the record when n does not
  // exist or its index record points beyond the .sqd; fails with only the
  // record state set to 0 when the frame there is damaged (wrong id, lengths
  // that do not fit the frame or the file).
  [[nodiscard]] bool ReadMessage(int32_t n, MessageRecord& record) override;

  // Stores the record as message n: an existing n is replaced in its place
  // (the old frame goes to the free chain) and keeps its unique id; any
  // larger n appends as count + 1 with the base's next unique id, which
  // becomes the high water mark.  The id stands in the index and, marked
  // valid, in the message header.  Returns false, with the base still
  // readable, when any write failed; n below 1 fails, and so does an append
  // to a full base (kMaxMessageCount messages).  An append joins the batch
  // (see the top of this file); when writing a batch fails, the files keep
  // the messages before the first one that could not be written, and
  // count() says how many there are.
  [[nodiscard]] bool WriteMessage(int32_t n, MessageRecord& record) override;

  // Removes message n: its index record goes, its frame is unlinked from the
  // message chain and put on the free chain.  False when n does not exist or
  // a write failed.
  [[nodiscard]] bool DeleteMessage(int32_t n) override;

  // From the message header alone.
  [[nodiscard]] bool ReadSortKey(int32_t n, MessageRecord& scratch, SortKey* key) override;

  // ReadMessage when the base is open and n exists, else failure.
  [[nodiscard]] bool RereadMessage(int32_t n, MessageRecord& record) override;

  // Resets the error status of the .sqd and the .sqi streams.
  void ResetErrors() override;

  // Caches replyto and the first two entries of replies of message n as its
  // reply-to, first-reply and next-reply links (all 0 when the frame is
  // damaged).
  void LoadReplyLinks(int32_t n) override;
  // The cached link of message n, loaded from the base when the cache holds
  // no link (a value below 1) for it.
  int32_t GetReplyTo(int32_t n) override;
  int32_t GetFirstReply(int32_t n) override;
  int32_t GetNextReply(int32_t n) override;
  // Store the unique id of message `value` (0 when there is no such
  // message) in replyto, or the first or second entry of replies.
  void SetReplyTo(int32_t n, int32_t value) override;
  void SetFirstReply(int32_t n, int32_t value) override;
  void SetNextReply(int32_t n, int32_t value) override;
  // SetReplyTo(reply, parent), and the reply's unique id into the first free
  // of the parent's nine replies entries unless it is there already.
  void AddReply(int32_t parent, int32_t reply) override;
  // Sets the read bit in message n's stored attr.
  void MarkRead(int32_t n) override;

  // Writes the batch of appended messages; false as WriteMessage.
  [[nodiscard]] bool Flush() override;

  // Writes the batch, flushes and closes the .sqd, .sqi and .sql; false
  // when a write was lost.
  [[nodiscard]] bool Close() override;

  // Takes over keep_days, max_msg, skip_msg and the base name field of
  // another Squish base and stores them in the base header.
  [[nodiscard]] bool CopySettingsFrom(MessageBase& other) override;

  // Appends message n of another Squish base as it is stored.  Kept byte
  // for byte: the message header but for umsgid, replyto and replies (attr
  // with its read bit, names, subject, addresses, both dates, utc_ofs and
  // __ftsc_date), the control information and the text, and the index
  // record's hash.  Changed: umsgid, in the index and in the message header,
  // becomes this base's next unique id (so the ids ascend in the new order);
  // replyto and the nine replies are renumbered, or 0; the frame (its place,
  // its chain links, frame_length = msg_length, no slack) and the base
  // header's counters, high_water included, are this base's.
  [[nodiscard]] bool CopyStoredMessage(MessageBase& source, int32_t n,
                                       const LinkMap* links) override;
  [[nodiscard]] bool CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) override;

  // The unique id the next appended message gets: the base header's next
  // id, but never one at or below the last message's (should the header
  // say so), and at least 1.
  uint32_t NextUniqueId();

  // The umsgid of message n's index record; beyond the count, the unique id
  // the message appended as number n will get.
  uint32_t LinkId(int32_t n) override;

  // Writes this base's .sql as a copy of the source's, every unique id in
  // it renumbered, and high_water the source's, renumbered the same way.
  [[nodiscard]] bool CopyLastreadFrom(MessageBase& source, const LinkMap& links) override;

  // len 256, sz_sqhdr 28, uid 1 when 0, end_frame 256 when 0, and the
  // working frame header's id.
  void NormaliseBaseHeader();

  // The in-memory copy of the base header (as last read or written).
  const squish::BaseHeader& base_header() const { return base_header_; }

 private:
  enum class FrameCheck { kValid, kNotAFrame, kIoError };
  enum class Link { kNext, kPrev };

  FileStream& data() { return static_cast<FileStream&>(*message_stream_); }
  // Releases the streams; drops the batch.
  void ReleaseStreams();
  // Makes the .sqd and .sqi streams keep their files' sizes in memory.
  void KeepSizesInMemory();
  // Error state, no files: the end of a failed Open or Create.
  bool FailOpen();
  // The same after recording the failure of `stream`, the file `file`.
  bool FailOpen(const Stream& stream, std::string_view file);
  // Takes the lock other FidoNet programs honour on byte 0 of the .sqd:
  // shared for deny write, exclusive for deny all, none otherwise.  False
  // when another program holds a conflicting lock.
  bool LockData(uint32_t sharing);
  // False when the existing .sqd `name` is write-locked by another program.
  static bool DataIsFree(const std::string& name);

  bool ReadIndexRecord(int32_t n, squish::IndexRecord* record);
  // Reads the frame header at `ofs` and checks that a frame is there.
  FrameCheck ReadFrameHeader(uint32_t ofs, squish::FrameHeader* frame);
  // Reads index record, frame header and message header of message n into
  // the working fields; false when the frame is not valid.
  bool LoadMessage(int32_t n);
  enum class Found { kNothing, kDamaged, kFrame };
  // Finds message n: its index record and frame header.  kNothing when n
  // does not exist or its index record points beyond the .sqd, kDamaged
  // when no sound frame is there (wrong id, lengths that do not fit the
  // frame or the file).  After kFrame the .sqd stands at the message header.
  Found FindFrame(int32_t n, squish::IndexRecord* index, squish::FrameHeader* frame);
  // Message n as it is stored: its index record and the msg_length bytes
  // after its frame header (message header, control information, text), of
  // which the control information is `clen`.  False when there is no sound
  // frame.
  bool ReadStored(int32_t n, squish::IndexRecord* index, std::string* message, uint32_t* clen);

  // Writes a new frame holding `message` (message header, `clen` bytes of
  // control information, text) behind everything in the .sqd, linked to
  // `prev` and `next`; nothing points at it yet.
  bool WriteFrame(std::string_view message, uint32_t clen, uint32_t prev, uint32_t next,
                  uint32_t* frame_ofs);
  // Appends `message` as message count + 1 to the batch: its frame, index
  // record `index` (ofs and umsgid filled in here, umsgid = `umsgid`), the
  // chain link from the previous frame, and the base header with
  // `high_water` and the next unique id past `umsgid`; writes the batch
  // when it is full.  False when the .sqd can not take it (nothing
  // changes) or writing the batch failed.
  bool AppendFrame(std::string_view message, uint32_t clen, squish::IndexRecord index,
                   uint32_t umsgid, uint32_t high_water);
  // Writes the batch: all of it in one go, or, when that fails, message by
  // message up to the first that can not be written.  False when a write
  // failed; the rest of the batch is dropped.
  bool WriteBatch();
  // Writes the batch's index records from its message `first` on, `count`
  // of them, and cuts the index behind them.
  bool PutRecords(int32_t written, size_t first, size_t count);
  // Writes the batch, if any: every operation but an append calls it
  // before it reads or changes the files.
  bool Settled() { return batch_.messages.empty() || WriteBatch(); }
  // Replaces existing message n by `message`: a new frame in its place in
  // the chain, the old one freed, index record n switched over.
  bool ReplaceFrame(int32_t n, std::string_view message, uint32_t clen,
                    squish::IndexRecord index);

  bool WriteAt(Stream& stream, int64_t position, const void* bytes, size_t count);
  bool WriteFrameHeader(uint32_t ofs, const squish::FrameHeader& frame);
  bool WriteBaseHeader(const squish::BaseHeader& header);
  // Sets one link of the frame at `ofs`; a place that holds no frame is left
  // alone.  False only when a write failed.
  bool SetFrameLink(uint32_t ofs, Link link, uint32_t value);
  // Takes the frame at `ofs` out of the message chain (neighbours or the
  // header's begin/last frame).
  bool UnlinkFrame(squish::BaseHeader& header, const squish::FrameHeader& frame);
  // Marks the frame at `ofs` free and puts it on the free chain.
  bool FreeFrame(squish::BaseHeader& header, uint32_t ofs, squish::FrameHeader frame);
  // Removes index record n, moving the later ones down.
  bool RemoveIndexRecord(int32_t n);
  // Patches a 32-bit field of the stored message header of the message
  // LoadMessage read last.
  void PatchHeaderField(size_t field_offset, uint32_t value);
  int32_t GetLink(int32_t n, int32_t ReplyCache::*field);
  // The unique id of message n as its index record holds it; 0 when there
  // is no message n.
  uint32_t UniqueIdOf(int32_t n);
  void SetLink(int32_t n, size_t field_offset, int32_t value, int32_t ReplyCache::*field);

  // Appended messages not yet in the files.
  struct Batch {
    uint32_t start = 0;        // where the first frame goes in the .sqd
    std::string frames;        // the frames, back to back
    std::string records;       // their index records
    uint32_t linked_from = 0;  // the frame in the file before the first, if any
    squish::BaseHeader before;  // the base header as the file holds it
    struct Message {
      uint32_t size;  // of its frame, header included
      uint32_t umsgid;
      uint32_t high_water;
    };
    std::vector<Message> messages;
  };

  squish::BaseHeader base_header_;  // with the batch counted
  Batch batch_;
  squish::MessageHeader working_header_;
  std::string message_buffer_;  // the stored form WriteMessage builds
  std::string control_buffer_;  // the control information ReadMessage reads
  squish::FrameHeader frame_header_;
  squish::IndexRecord index_record_;
  std::unique_ptr<FileStream> index_stream_;
};

}  // namespace quil
