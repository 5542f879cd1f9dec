// The Fido message directory base: one FTS-0001 message file n.msg per
// message in a single directory.
//
// The base path is the directory followed by a file mask, as the opener
// gives it ("Mail/Net/*.msg"; "\" is accepted as a separator too).  Message
// n is the file directory + n + "." + the mask's extension.  The message
// count is the highest message number present, so gaps count: with 1.msg,
// 2.msg and 7.msg the count is 7 and messages 3 to 6 do not exist.
//
// Only names of the form <decimal digits>.<extension> (the extension in any
// letter case) are message files; "12abc.msg", "x.msg" or a directory named
// "3.msg" are not messages and do not raise the count.
//
// The directory also holds the library's own empty lastread file
// "lastread.qlr", kept open while the base is open for reading and writing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fido/fido_format.h"
#include "model/message_base.h"
#include "runtime/stream.h"

namespace quil {

// The message number a file name stands for: names of the form
// <decimal digits>.<extension> (extension compared without regard to case;
// without an extension, digits only).  0 for every other name, and for
// numbers too large to append behind.
int32_t FidoMessageNumber(std::string_view name, std::string_view extension);
// The plain file name of message n: "<n>.<extension>" (digits only without
// an extension), the name a base writes it under.
std::string FidoFileName(int32_t n, std::string_view extension);

class FidoBase : public MessageBase {
 public:
  // The library's lastread file in every Fido base directory.
  static constexpr std::string_view kLastreadName = "lastread.qlr";

  FidoBase() = default;
  ~FidoBase() override = default;

  // Opens the directory of `path` and counts the messages; opened for
  // reading and writing, it also makes sure the lastread file exists.
  // False, with the base left closed, when the directory does not exist
  // (kNotFound) or can not be listed (kAccessDenied, kReadFailed).
  [[nodiscard]] bool Open(uint32_t sharing, std::string_view path) override;

  // Open, but a missing directory is created (level by level) first.  False
  // when it can not be created or listed.
  [[nodiscard]] bool Create(uint32_t sharing, std::string_view path) override;

  // Reading: the header fields into the record (names, subject, date text,
  // times read, the four net/node numbers, attribute word, first reply; the
  // other replies are cleared, the dates and the reply-to number are left).
  // An origin of 0/0 counts as not given, so the text completes it.
  // Writing: first replaces an invalid date written or arrived by the
  // current date and time in the record itself and sets the record's date
  // text from the date written; then fills the header with cost, packed
  // dates and reply-to 0.
  void ConvertHeader(Direction direction, MessageRecord& record) override;

  // True when the base is open, n >= 1 and the file of message n exists and
  // is not a directory.  The base knows its message files from the
  // directory listing made when it was opened, plus the files it wrote and
  // minus those it erased since; each lookup checks that the known file is
  // still there.  So lookups cost no directory search however the names
  // are cased, and a file another program adds later is not seen until the
  // base is opened again.
  bool MessageExists(int32_t n) override;

  // The lowest number from n on that the base knows a message file of.
  int64_t NextMessage(int64_t n) override;

  // Reads message n.  Fails (the record left cleared) when the base is not
  // open, the message does not exist, its file can not be opened or is
  // shorter than the 190-byte header.
  [[nodiscard]] bool ReadMessage(int32_t n, MessageRecord& record) override;

  // Writes the record as the file of message n (1 <= n <= kMaxMessageCount;
  // a larger n fails, the base is full): header, then the
  // text as WriteText produces it, no NUL after it.  Converts the attribute
  // flags into the FLAGS text and fixes the record's dates first (see
  // ConvertHeader).  The count becomes at least n.  A new file is written
  // in place and removed again when any write fails; an existing one is
  // replaced only after its successor was written completely, so a failed
  // write leaves the old message as it was.  Fails for a base opened for
  // reading only.
  [[nodiscard]] bool WriteMessage(int32_t n, MessageRecord& record) override;

  // Erases the file of message n (a file another program holds open stays).
  // Fails only when the base is not open (or open for reading only) or the
  // message does not exist; the count does not change.
  [[nodiscard]] bool DeleteMessage(int32_t n) override;

  // From the message file's header alone.
  [[nodiscard]] bool ReadSortKey(int32_t n, MessageRecord& scratch, SortKey* key) override;

  // ReadMessage when the base is open and the message exists.
  [[nodiscard]] bool RereadMessage(int32_t n, MessageRecord& record) override;

  // Appends message n of another *.msg directory as the file count + 1: a
  // copy of its file, byte for byte (all of the header, bytes 176-183 and
  // whatever follows the strings' NULs included, and the text as it is),
  // except the reply-to (offset 184) and next-reply (188) numbers, which
  // are renumbered, or 0 (a number beyond 65535 becomes 0).  A high-water
  // mark keeps its next-reply; its reply-to, the last message scanned, is
  // renumbered as a lastread pointer (kept when `links` is null).  A file
  // too short for a header is copied as it is.
  [[nodiscard]] bool CopyStoredMessage(MessageBase& source, int32_t n,
                                       const LinkMap* links) override;
  [[nodiscard]] bool CopyRenumbers(MessageBase& source, int32_t n, const LinkMap& links) override;

  // n: links name messages by their file numbers.
  uint32_t LinkId(int32_t n) override;

  // True when 1.msg's subject is "HighWater mark" (ignoring case and
  // blanks); false for every other number.
  bool IsHighWaterMark(int32_t n) override;

  // True: a file too short for a header is copied as it is.
  bool CopiesUnreadable() override;

  // 2 when the directory holds messages but no 1.msg (tossers keep that
  // number for their high-water mark and write it over), else 1.
  int32_t FirstRebuiltNumber() override;

  // Makes this empty base write its first message as `first`.msg.
  [[nodiscard]] bool StartNumberingAt(int32_t first) override;

  // The standard text writer on the current message stream (the message
  // file being written); does nothing without one.
  void WriteText(MessageRecord& record);

  // From now on the file of a new message is not made in the directory:
  // its bytes go into `stage` (a file open for writing, at its end), one
  // message behind the other, and the base keeps how many each took.  A
  // rebuild writes its new base so, to put the files in place later.  The
  // staged messages must follow each other in number; they do not count as
  // existing (MessageExists, NextMessage), only in count().  Close closes
  // the stage too.
  void StageNewFiles(std::unique_ptr<FileStream> stage);
  // The number of the first staged message (0 when none was staged), and
  // the size of each staged message file, in number order.
  int32_t staged_first() const { return staged_first_; }
  const std::vector<uint32_t>& staged_sizes() const { return staged_sizes_; }

  // Closes the base and its stage; false when a write to either failed.
  [[nodiscard]] bool Close() override;

  // The path of message n's file: directory + the name the directory listing
  // found for n, or directory + "<n>.<extension>" for a number it did not.
  std::string MessageFileName(int32_t n) const;

 private:
  // Splits the base path into directory, mask and extension.
  void TakePath(std::string_view path);
  // The rest of Open and Create, once the directory exists; false (with
  // the open failure) when it can not be listed.
  bool OpenDirectory();
  void OpenLastread();
  // Lists the directory; *error is the file layer's reason when it can
  // not be listed (then the count is 0).
  void CountMessages(int* error);
  // "<n>.<extension>", the name this base gives message n.
  std::string PlainName(int32_t n) const;
  // Writes a new file `name`, its contents put into the current message
  // stream by `contents`; false when the file can not be created or any
  // write failed.
  bool WriteMessageFile(const std::string& name, const std::function<void()>& contents);
  // Stores the file of message n as WriteMessage describes, its contents
  // written by `contents` into the current message stream.
  bool StoreFile(int32_t n, const std::function<void()>& contents);
  // Appends the file of message n to the stage; false when n does not
  // follow the last staged message or a write failed.
  bool StageFile(int32_t n, const std::function<void()>& contents);
  // The whole file of message n; false when it can not be read.
  bool ReadFile(int32_t n, std::string* bytes);
  // The first `size` bytes of message n's file (fewer when it is shorter).
  bool ReadFileStart(int32_t n, size_t size, std::string* bytes);

  std::string directory_;  // up to and including the last separator
  std::string mask_;       // "*.msg"
  std::string extension_;  // "msg"
  FidoHeader header_;
  // Records message n as known, its file named `name` (without directory).
  void KnowFile(int32_t n, std::string_view name);
  // True when message n has a file this base knows of.
  bool Known(int32_t n) const;

  // The number of every known message, ascending; a directory of a million
  // messages costs 4 MB here.
  std::vector<int32_t> numbers_;
  // The file name of a known message whose name is not "<n>.<extension>"
  // ("5.MSG", "05.msg"), by number; usually empty.
  std::map<int32_t, std::string> other_names_;

  std::unique_ptr<FileStream> stage_;
  int32_t staged_first_ = 0;
  std::vector<uint32_t> staged_sizes_;
};

}  // namespace quil
