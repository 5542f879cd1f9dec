// The packet base: one type 2+ mail packet presented as a numbered message
// base.  Messages are numbered 1 to count in file order.
//
// The packet file stays open while the base is open.  Opening indexes it by
// walking the fields of its messages (fixed header, three NUL-ended strings,
// NUL-ended text).  A packet opened for writing with messages in it keeps
// where every message lies (a sort reads them in any order); otherwise only
// where every 64th message starts is kept, and the few messages in front of
// the one asked for are walked again (see fido/packet_index.h), so that a
// large packet read or written front to back costs little memory.  The
// boundary between two messages (a text's closing NUL and the next type
// word, 00 02 00) is searched for only to find the next message behind a
// damaged one.  New
// messages are appended at the end: they are gathered in memory and written
// together (with the terminator behind the last) when they pass
// kBatchBytes, before anything else reads or changes the packet, and at
// Close.  Deleted messages are only marked, and are removed from the file in
// one rewrite when a message is overwritten, when ApplyDeletions is called,
// and when the base is destroyed.  A base that is only read never changes
// its file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fido/packet_format.h"
#include "fido/packet_index.h"
#include "model/message_base.h"

namespace quil {

class PacketBase : public MessageBase {
 public:
  // Appended bytes gathered before they go to the file.  A batch this
  // small is written in a moment, so a source read ahead of the writer
  // keeps reading while it goes out instead of filling up and waiting.
  static constexpr size_t kBatchBytes = size_t{256} << 10;

  PacketBase() = default;
  // Writes the appended messages and removes the pending deletions from
  // the file (see ApplyDeletions), then closes it.
  ~PacketBase() override;

  // The packet header's addresses: zone (the type 2+ position) ":" net "/"
  // node, then "." point when the point is not 0.
  std::string GetOriginAddress() override;
  std::string GetDestinationAddress() override;
  // The password up to its first NUL, at most 8 characters.
  std::string GetPassword() override;
  // Splits the text at ":", "/", "." and "@" (runs count as one): words 1
  // to 4 become zone (both zone fields), net, node and point; a missing or
  // non-numeric word gives 0.  Only the header in memory changes; Create
  // writes it.
  void SetOriginAddress(std::string_view address) override;
  void SetDestinationAddress(std::string_view address) override;
  // At most 8 characters, NUL-padded (no terminator when 8 long).
  void SetPassword(std::string_view password) override;

  // Opens an existing packet and indexes it.  The file is opened for what
  // access() says; asked for reading and writing and refused for lack of
  // permission, it is opened for reading only (then every write fails).  A
  // file shorter than the 60 bytes of an empty packet opens as an empty
  // packet; the first message written to it gets a fresh header.  Fails
  // when the file can not be opened, and (error state kBaseBad, file
  // closed, kWrongFormat) when a packet with messages is not of type 2.
  [[nodiscard]] bool Open(uint32_t sharing, std::string_view path) override;

  // Opens or creates the packet and writes its header: the addresses and
  // password in memory, type 2 and the current date and time.  An existing
  // packet keeps its messages.  Fails, writing nothing, when the file can
  // not be opened or created, or (error state kBaseBad) when it holds
  // messages but is not of type 2; fails when the header can not be written.
  [[nodiscard]] bool Create(uint32_t sharing, std::string_view path) override;

  // Reading: net/node numbers, cost, attribute word and date text from the
  // fixed message header.  Writing: first replaces an invalid date written
  // or arrived by the current date and time in the record itself and sets
  // the record's date text from the date written, then fills the fixed
  // message header.  The packet header is not touched.
  void ConvertHeader(Direction direction, MessageRecord& record) override;

  // Reads message n: the fixed header, the three names (each up to a NUL or
  // CR, at most 255 characters kept), an "AREA:" first line (any letter
  // case) as the area tag, and the text.  Fails when the base is not open,
  // n is not a message number, or the message is cut short inside its fixed
  // header.  Nothing is read outside the message.
  [[nodiscard]] bool ReadMessage(int32_t n, MessageRecord& record) override;

  // Appends the record as the new last message.  When message n exists it
  // is first deleted and the deletions applied, so an overwritten message
  // moves to the end; when that rewrite fails, nothing is written and the
  // result is false.  Echomail gets the first line "AREA:" + tag.  Names,
  // subject and text are written as they are, except for what the format
  // can not hold: NUL bytes in the text, control bytes (below 0x20) in names
  // and subject, and the tag from its first NUL, CR or LF on; and except
  // that the names are cut to 35 characters and the subject to 71: tossers
  // refuse a whole packet in which one of them is longer.  The message
  // joins the batch (see the top of this file); when writing a batch fails,
  // the file is cut back to the messages before the first one that could
  // not be written, and count() says how many there are.  Fails for an
  // empty packet whose header is not of type 2.
  [[nodiscard]] bool WriteMessage(int32_t n, MessageRecord& record) override;

  // Appends message n of another packet as it is stored: its type word,
  // fixed header, names, subject and text, byte for byte (packets have no
  // links; `links` is not used).  A message cut short inside its names
  // gets the NULs it lacks.  Fails for a message cut short inside its
  // fixed header.
  [[nodiscard]] bool CopyStoredMessage(MessageBase& source, int32_t n,
                                       const LinkMap* links) override;
  // False: a packed message holds no numbers.
  [[nodiscard]] bool CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) override;

  // Marks message n for removal.  It stays readable, and count and
  // numbering stay, until the deletions are applied.  Fails for a packet
  // open for reading only.
  [[nodiscard]] bool DeleteMessage(int32_t n) override;

  // From the fixed message header alone.
  [[nodiscard]] bool ReadSortKey(int32_t n, MessageRecord& scratch, SortKey* key) override;

  // ReadMessage when the base is open and the message exists.
  [[nodiscard]] bool RereadMessage(int32_t n, MessageRecord& record) override;

  // The standard text writer at the packet file's current position; does
  // nothing when no packet file is open.
  void WriteText(MessageRecord& record);

  // Removes the messages marked for deletion from the file and opens the
  // packet again (new index and count).  The new contents are written to a
  // side file that then replaces the packet, so a rewrite that fails keeps
  // the old file whole.  The marks are dropped either way.  False when the
  // base is not open, the rewrite failed or the packet could not be opened
  // again.
  bool ApplyDeletions();

  // Writes the batch of appended messages; false as WriteMessage.
  [[nodiscard]] bool Flush() override;

  // Writes the batch and removes pending deletions (as the destructor
  // does), then flushes and closes the packet; false when a write was lost.
  [[nodiscard]] bool Close() override;

  // Takes over the packet header of another packet (addresses, password,
  // date and time, product code and revision, capability word, product
  // data); only the type stays this packet's own.  Writes the header.
  [[nodiscard]] bool CopySettingsFrom(MessageBase& other) override;

  const PacketHeader& packet_header() const { return header_; }

 private:
  // Opens path_ for what access() says, or for reading only when writing
  // is not permitted.
  bool OpenPacketFile();
  // Reads the index of a packet whose header has been read; sets the count
  // and the error state.
  bool Index();
  // The packet is open and empty: index entry 57 only, count 0.
  void SetEmpty();
  // The header with type 2 and the current date, then `word`, at the start
  // of the file.
  bool WriteHead(uint16_t word);
  // The end of the packet as an append sees it.
  struct PacketEnd {
    AppendPoint at;    // where the next message goes
    int64_t size = 0;  // the file size
  };
  // Finds the end of the packet (giving a file too short for a header a
  // fresh one first).
  bool LocateEnd(PacketEnd* end);
  // Writes `bytes` at the append point, the file ending where they end; on
  // failure the file is restored to `old_end` as far as possible.
  bool WriteAt(const PacketEnd& old_end, const std::string& bytes);
  // Appends `message` (type word, fixed header, names, subject, text) as
  // the new last message to the batch: what completes the last message
  // before it, then the message and its text's NUL (the terminator follows
  // the batch); writes the batch when it is full.
  bool AppendPacked(std::string_view message);
  // AppendPacked in two steps, for a message put together in the batch
  // itself: StartPacked puts what completes the last message in front and
  // sets *start to where the new one begins (false, the batch unchanged,
  // when the end of the packet can not be found); the caller appends the
  // message to batch_.bytes; FinishPacked(start) completes the append.
  bool StartPacked(size_t* start);
  bool FinishPacked(size_t start);
  // Writes the batch and the terminator behind it: all of it in one go,
  // or, when that fails, message by message up to the first that can not
  // be written.  False when a write failed; the rest of the batch is
  // dropped.
  bool WriteBatch();
  // Writes the batch, if any: every operation but an append calls it
  // before it reads or changes the file.
  bool Settled() { return batch_.messages.empty() || WriteBatch(); }
  // The packet file, which is always a file stream.
  FileStream& packet_file() { return static_cast<FileStream&>(*message_stream_); }
  // Where message n lies; false when it is not a message number or its
  // place could not be read.
  bool FindSpan(int32_t n, PacketSpan* span);
  // The rewrite of ApplyDeletions without the reopening.
  bool RemoveDeletions();

  PacketHeader header_;
  uint16_t following_word_ = 0;
  PackedHeader message_header_;
  // Where the messages lie.
  PacketIndex index_;
  // Byte ranges [from, to) of messages marked for deletion, ascending.
  std::vector<std::pair<int64_t, int64_t>> deletions_;
  bool read_only_ = false;
  // The end of the packet after this object's last append.
  std::optional<PacketEnd> known_end_;
  // Appended messages not yet in the file.
  struct Batch {
    PacketEnd end;          // where the first goes: the packet's end before it
    int64_t last_end = -1;  // the end of the message before it, before it came
    std::string bytes;      // each message with what goes in front and its NUL
    std::vector<size_t> messages;  // the length of each in `bytes`
    // The append point of the message being put together (StartPacked).
    int64_t position = 0;
    size_t fill = 0;
  };
  Batch batch_;
};

}  // namespace quil
