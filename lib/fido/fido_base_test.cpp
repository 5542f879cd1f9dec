// Tests of the Fido *.msg directory base: the stored bytes, the count, the
// round trip of a record, damaged files and failed writes.
#include "fido/fido_base.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using namespace std::string_literals;
using testing::PathExists;
using testing::Printable;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr uint32_t kSharing = platform::kDenyWrite;

std::string Mask(const TempDir& dir) { return dir / "*.msg"; }

// Netmail from 2:5020/1.7 to 1:234/56.3.
void FillNetmail(MessageRecord& r) {
  r.from_name = std::string(40, 'F');
  r.to_name = "John Smith";
  r.subject = std::string(80, 'S');
  r.date_written = {2001, 3, 5, 17, 30, 8};
  r.times_read = 3;
  r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 1, r.orig_point = 7;
  r.dest_zone = 1, r.dest_net = 234, r.dest_node = 56, r.dest_point = 3;
  r.intl = "1:234/56 2:5020/1";
  r.msgid = "2:5020/1.7 1234abcd";
  r.attribute_flags[0] = true;   // private
  r.attribute_flags[19] = true;  // DIR
  r.attributes = 0x0400;         // a bit without a flag survives
  r.replies[0] = 12;
  r.body.Write("Hello\r");
  r.tear_line = " Quil";
  r.has_tear_line = true;
}

TEST(FidoBaseTest, WrittenFileHasTheExactHeaderAndTextWithoutNul) {
  TempDir dir;
  FidoBase base;
  ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
  MessageRecord r;
  FillNetmail(r);
  ASSERT_TRUE(base.WriteMessage(1, r));
  EXPECT_EQ(r.state, kRecordWritten);
  EXPECT_EQ(r.date_text.str(), "05 Mar 01  17:30:08");
  EXPECT_TRUE(IsValidDate(r.date_arrived));  // the invalid (empty) one became now

  // clang-format off
  std::string expected = std::string(35, 'F') + '\0' + "John Smith" + std::string(26, '\0') +
                         std::string(71, 'S') + '\0' + "05 Mar 01  17:30:08" + '\0' +
                         "\x03\0" "\x38\0" "\x01\0" "\0\0" "\x9c\x13" "\xea\0"s +  // .. nets
                         std::string(10, '\0') +  // packed dates and reply-to stay 0
                         "\x01\x04" "\x0c\0"s +   // attributes, first reply
                         "\x01INTL 1:234/56 2:5020/1\r\x01" "FMPT 7\r\x01TOPT 3\r"
                         "\x01MSGID: 2:5020/1.7 1234abcd\r\x01" "FLAGS DIR\rHello\r--- Quil\r";
  // clang-format on
  EXPECT_EQ(Printable(ReadFileBytes(dir / "1.msg")), Printable(expected));
}

TEST(FidoBaseTest, NetmailRoundTripsThroughTheFile) {
  TempDir dir;
  FidoBase base;
  ASSERT_TRUE(base.Create(kSharing, Mask(dir)));
  MessageRecord original;
  FillNetmail(original);
  ASSERT_TRUE(base.WriteMessage(1, original));

  MessageRecord first;
  ASSERT_TRUE(base.ReadMessage(1, first));
  EXPECT_EQ(first.state, kRecordRead);
  EXPECT_EQ(first.subject.str(), std::string(71, 'S'));
  EXPECT_EQ(first.FormatOriginAddress(), "2:5020/1.7");
  EXPECT_EQ(first.FormatDestinationAddress(), "1:234/56.3");
  EXPECT_EQ(first.date_written, (DateTime{2001, 3, 5, 17, 30, 8}));
  EXPECT_EQ(first.date_arrived, DateTime{});  // the header supplies none
  EXPECT_EQ(first.attributes, kAttrPrivate | 0x0400);
  EXPECT_TRUE(first.attribute_flags[19]);
  EXPECT_EQ(first.replies[0], 12);
  EXPECT_EQ(first.body.Contents(), "Hello\r");

  // What was read is written and read again unchanged.
  ASSERT_TRUE(base.WriteMessage(2, first));
  MessageRecord second;
  ASSERT_TRUE(base.ReadMessage(2, second));
  std::initializer_list<std::string_view> omit = {"date_arrived", "state"};
  EXPECT_EQ(testing::DumpRecordWithout(second, omit), testing::DumpRecordWithout(first, omit));

  ASSERT_TRUE(base.ReadMessageHeader(1, second));
  EXPECT_EQ(second.msgid.str(), "2:5020/1.7 1234abcd");
  EXPECT_EQ(second.body.GetSize(), 0);
}

TEST(FidoBaseTest, CreatingMakesTheDirectoryAndTheLastreadFileOpeningDoesNot) {
  TempDir dir;
  const std::string path = dir.path() + "\\new\\area\\*.msg";
  FidoBase missing;
  EXPECT_FALSE(missing.Open(kSharing, path));
  EXPECT_EQ(missing.open_failure().problem, OpenProblem::kNotFound);
  EXPECT_EQ(missing.open_failure().file, dir.path() + "\\new\\area\\");
  EXPECT_FALSE(PathExists(dir / "new"));

  FidoBase base;
  ASSERT_TRUE(base.Create(kSharing, path));
  EXPECT_EQ(base.count(), 0);
  EXPECT_EQ(testing::FileSizeOf(dir / "new/area/lastread.qlr"), 0);
  MessageRecord r;
  ASSERT_TRUE(base.WriteMessage(base.count() + 1, r));
  EXPECT_TRUE(PathExists(dir / "new/area/1.msg"));

  // A directory that can not be made: a file stands in its way.
  ASSERT_TRUE(WriteFileBytes(dir / "file", "x"));
  FidoBase blocked;
  EXPECT_FALSE(blocked.Open(kSharing, dir / "file/area/*.msg"));
  EXPECT_FALSE(blocked.Create(kSharing, dir / "file/area/*.msg"));
  EXPECT_EQ(blocked.open_failure().problem, OpenProblem::kCannotCreate);
  EXPECT_FALSE(blocked.is_open());
  EXPECT_FALSE(blocked.WriteMessage(1, r));
}

TEST(FidoBaseTest, CountIsTheHighestNumberAndGapsDoNotExist) {
  TempDir dir;
  MessageRecord r;
  {
    FidoBase base;
    ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
    for (int n : {1, 2, 7}) {
      r.subject = "message " + std::to_string(n);
      ASSERT_TRUE(base.WriteMessage(n, r));
    }
  }
  FidoBase base;
  ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
  EXPECT_EQ(base.count(), 7);
  for (int n : {0, 3, 4, 5, 6, 8}) {
    EXPECT_FALSE(base.MessageExists(n)) << n;
    EXPECT_FALSE(base.ReadMessage(n, r)) << n;
    EXPECT_FALSE(base.RereadMessage(n, r)) << n;
    EXPECT_FALSE(base.DeleteMessage(n)) << n;
  }
  ASSERT_TRUE(base.RereadMessage(7, r));
  EXPECT_EQ(r.subject.str(), "message 7");

  // Deleting keeps the count; writing raises it to at least the number.
  ASSERT_TRUE(base.DeleteMessage(2));
  EXPECT_FALSE(PathExists(dir / "2.msg"));
  EXPECT_FALSE(base.MessageExists(2));
  ASSERT_TRUE(base.WriteMessage(1, r));
  EXPECT_EQ(base.count(), 7);
  ASSERT_TRUE(base.WriteMessage(10, r));
  EXPECT_EQ(base.count(), 10);
  EXPECT_FALSE(base.WriteMessage(0, r));
}

TEST(FidoBaseTest, OnlyDecimalNamesAreMessages) {
  TempDir dir;
  MessageRecord r;
  {
    FidoBase writer;
    ASSERT_TRUE(writer.Open(kSharing, Mask(dir)));
    r.subject = "plain seven";
    ASSERT_TRUE(writer.WriteMessage(7, r));
    r.subject = "upper case";
    ASSERT_TRUE(writer.WriteMessage(5, r));
  }
  std::string message = ReadFileBytes(dir / "5.msg");
  ASSERT_EQ(platform::RenameFile(dir / "5.msg", dir / "5.MSG"), platform::kOk);
  // "07.msg" stands beside the plain "7.msg", which wins; "08.msg" has no
  // plain name beside it and is message 8.
  for (const char* name :
       {"12abc.msg", "x.msg", "9.msg.bak", "99999999999.msg", "07.msg", "08.msg"}) {
    ASSERT_TRUE(WriteFileBytes(dir / name, message));
  }
  ASSERT_EQ(platform::CreateDirectory(dir / "3.msg"), platform::kOk);

  FidoBase base;
  ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
  EXPECT_EQ(base.count(), 8);
  EXPECT_EQ(base.NextMessage(1), 5);
  EXPECT_EQ(base.NextMessage(6), 7);
  EXPECT_EQ(base.NextMessage(8), 8);
  EXPECT_EQ(base.NextMessage(9), 9);
  ASSERT_TRUE(base.ReadMessage(7, r));
  EXPECT_EQ(r.subject.str(), "plain seven");
  ASSERT_TRUE(base.ReadMessage(8, r));
  EXPECT_EQ(r.subject.str(), "upper case");
  ASSERT_TRUE(base.ReadMessage(5, r));
  EXPECT_EQ(r.subject.str(), "upper case");
  EXPECT_FALSE(base.ReadMessage(3, r));
  EXPECT_FALSE(base.DeleteMessage(3));
  EXPECT_TRUE(PathExists(dir / "3.msg"));

  // Rewriting message 5 replaces the file under its own name.
  r.subject = "rewritten";
  ASSERT_TRUE(base.WriteMessage(5, r));
  EXPECT_FALSE(PathExists(dir / "5.msg"));
  ASSERT_TRUE(base.ReadMessage(5, r));
  EXPECT_EQ(r.subject.str(), "rewritten");
}

TEST(FidoBaseTest, FilesTooShortForAHeaderAreNotMessages) {
  TempDir dir;
  std::string full_fields(kFidoHeaderSize, '\0');
  full_fields.replace(0, 36, std::string(36, 'A'));  // no NUL in the field
  ASSERT_TRUE(WriteFileBytes(dir / "1.msg", std::string(10, 'x')));
  ASSERT_TRUE(WriteFileBytes(dir / "2.msg", full_fields));
  ASSERT_TRUE(WriteFileBytes(dir / "3.msg", full_fields + "Text\r\0\0"s));
  FidoBase base;
  ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
  MessageRecord r;
  r.subject = "left over";
  EXPECT_FALSE(base.ReadMessage(1, r));
  EXPECT_EQ(r.subject.str(), "");
  ASSERT_TRUE(base.ReadMessage(2, r));
  EXPECT_EQ(r.from_name.str(), std::string(36, 'A'));
  EXPECT_EQ(r.body.GetSize(), 0);
  ASSERT_TRUE(base.ReadMessage(3, r));
  EXPECT_EQ(r.body.Contents(), "Text\r");  // the NUL terminator is dropped
  EXPECT_EQ(ReadFileBytes(dir / "1.msg"), std::string(10, 'x'));
}

// A message file as a tosser stores it: stray bytes after the strings'
// NULs, packed dates at 176-183, a reply-to of 2 and a next reply of 4, the
// text with its NUL.
std::string TossedFile(const std::string& subject) {
  std::string bytes(kFidoHeaderSize, '\0');
  bytes.replace(0, 12, "Ivan\0\x7f\x11\x22\x33\x44\x55\x66"s);
  bytes.replace(36, 3, "All"s);
  bytes.replace(72, subject.size() + 4, subject + "\0\xec\x80\x80"s);
  bytes.replace(144, 19, "08 Dec 26  15:31:58"s);
  bytes.replace(176, 14, "\x01\x02\x03\x04\x05\x06\x07\x08" "\x02\0" "\x00\x01" "\x04\0"s);
  return bytes + "\x01MSGID: 2:5020/2 1822ee00\rHello\r\0"s;
}

TEST(FidoBaseTest, StoredCopyKeepsTheFileButTheLinks) {
  TempDir dir;
  std::filesystem::create_directories(dir / "in");
  ASSERT_TRUE(WriteFileBytes(dir / "in/1.msg", TossedFile("First")));
  ASSERT_TRUE(WriteFileBytes(dir / "in/2.msg", std::string(10, 'x')));  // no header
  FidoBase source, copy;
  ASSERT_TRUE(source.Open(kSharing, dir / "in/*.msg"));
  ASSERT_TRUE(copy.Create(kSharing, dir / "out/*.msg"));
  LinkMap links;
  links.Add(2, 70000);  // beyond what the field holds
  links.Add(4, 9);
  links.Seal();
  ASSERT_TRUE(copy.CopyStoredMessage(source, 1, &links));
  ASSERT_TRUE(copy.CopyStoredMessage(source, 2, &links));
  ASSERT_TRUE(copy.CopyStoredMessage(source, 1, nullptr));
  EXPECT_EQ(copy.count(), 3);
  std::string expected = TossedFile("First");
  expected.replace(184, 2, "\0\0"s);
  expected.replace(188, 2, "\x09\0"s);
  EXPECT_EQ(Printable(ReadFileBytes(dir / "out/1.msg")), Printable(expected));
  EXPECT_EQ(ReadFileBytes(dir / "out/2.msg"), std::string(10, 'x'));
  expected.replace(188, 2, "\0\0"s);
  EXPECT_EQ(Printable(ReadFileBytes(dir / "out/3.msg")), Printable(expected));
  EXPECT_TRUE(copy.CopiesUnreadable());
}

// 1.msg is a high-water mark when its subject, without regard to case and
// blanks, is HIGHWATERMARK; only 1.msg can be one.  Copied, it keeps its
// bytes but the mark, which is renumbered as a lastread pointer.
TEST(FidoBaseTest, HighWaterMarkIsKnownBySubjectAndPlace) {
  struct Case {
    const char* subject;
    int number;
    bool mark;
  } const cases[] = {
      {"HighWater mark", 1, true}, {"HIGHWATERMARK", 1, true}, {" high\twater  MARK ", 1, true},
      {"HighWater", 1, false},     {"HighWater mark", 2, false}, {"Re: HighWater mark", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject);
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / (std::to_string(c.number) + ".msg"), TossedFile(c.subject)));
    FidoBase base;
    ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
    EXPECT_EQ(base.IsHighWaterMark(c.number), c.mark);
  }
  TempDir dir;
  std::filesystem::create_directories(dir / "in");
  ASSERT_TRUE(WriteFileBytes(dir / "in/1.msg", TossedFile("HighWater mark")));
  FidoBase source, copy;
  ASSERT_TRUE(source.Open(kSharing, dir / "in/*.msg"));
  ASSERT_TRUE(copy.Create(kSharing, dir / "out/*.msg"));
  LinkMap links;  // messages 3 and 4 become 2 and 3; 2 (scanned) is left out
  links.Add(3, 2);
  links.Add(4, 3);
  links.SetNext(5, 4);
  links.Seal();
  ASSERT_TRUE(copy.CopyStoredMessage(source, 1, &links));
  std::string expected = TossedFile("HighWater mark");
  expected.replace(184, 2, "\x01\0"s);  // the mark: message 3 was not scanned, now 2
  EXPECT_EQ(Printable(ReadFileBytes(dir / "out/1.msg")), Printable(expected));
}

// Tossers store echomail with the header addresses 0/0: the origin then
// comes from the MSGID and the origin line, which writing it elsewhere
// puts back into the origin line.  A message with no address anywhere keeps
// the 0/0.
TEST(FidoBaseTest, OriginOfZeroIsTakenFromTheText) {
  TempDir dir;
  FidoHeader header;
  header.from_name = "Ivan Petrov";
  header.to_name = "All";
  header.date_text = "05 Mar 01  17:30:08";
  FidoHeaderBytes bytes = EncodeFidoHeader(header);
  const std::string head(bytes.begin(), bytes.end());
  const std::string origin = "Text\r--- \r * Origin: Home (2:5020/1.7)\r";
  ASSERT_TRUE(WriteFileBytes(dir / "1.msg", head + "\x01MSGID: 2:5020/1.7 0a1b2c3d\r" + origin));
  ASSERT_TRUE(WriteFileBytes(dir / "2.msg", head + origin));
  ASSERT_TRUE(WriteFileBytes(dir / "3.msg", head + "Text\r"));
  FidoBase base;
  ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
  MessageRecord r;
  ASSERT_TRUE(base.ReadMessage(1, r));
  EXPECT_EQ(r.FormatOriginAddress(), "2:5020/1.7");
  ASSERT_TRUE(base.ReadMessage(2, r));
  EXPECT_EQ(r.FormatOriginAddress(), "2:5020/1");
  ASSERT_TRUE(base.ReadMessage(3, r));
  EXPECT_EQ(r.FormatOriginAddress(), "2:0/0");
  EXPECT_EQ(r.FormatDestinationAddress(), "2:0/0");
}

// Every write of WriteMessage fails in turn until enough of them succeed:
// until then the result is false and the base keeps exactly what it had.
TEST(FidoBaseTest, FailedWritesLeaveNoHalfMessageAndKeepTheOldOne) {
  TempDir dir;
  MessageRecord r;
  FillNetmail(r);
  {
    FidoBase base;
    ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
    ASSERT_TRUE(base.WriteMessage(1, r));
  }
  std::string old_message = ReadFileBytes(dir / "1.msg");
  r.body.Write(std::string(10000, 'x') + "\r");  // more than a buffer's worth
  for (int n : {2, 1}) {                         // a new message, then a replaced one
    SCOPED_TRACE(::testing::Message() << "message " << n);
    const int faults = testing::FaultsUntilSuccess(20, [&](int writes) {
      FidoBase base;
      EXPECT_TRUE(base.Open(kSharing, Mask(dir)));
      if (testing::WithWriteFault(writes, [&] { return base.WriteMessage(n, r); })) return true;
      EXPECT_EQ(base.count(), 1);
      EXPECT_FALSE(PathExists(dir / "2.msg"));
      EXPECT_FALSE(PathExists(dir / "1.msg.tmp"));
      EXPECT_EQ(ReadFileBytes(dir / "1.msg"), old_message);
      return false;
    });
    EXPECT_GE(faults, 2);
    FidoBase base;
    ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
    MessageRecord back;
    ASSERT_TRUE(base.ReadMessage(n, back));
    EXPECT_EQ(back.body.GetSize(), 6 + 10001);
    if (n == 2) {
      ASSERT_TRUE(base.DeleteMessage(2));
    }
  }
}

TEST(FidoBaseTest, DamagedFilesNeverCrashTheReaderNorChange) {
  TempDir dir;
  MessageRecord r;
  FillNetmail(r);
  {
    FidoBase base;
    ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
    ASSERT_TRUE(base.WriteMessage(1, r));
  }
  std::string good = ReadFileBytes(dir / "1.msg");
  std::mt19937 random(4711);
  FidoBase base;
  ASSERT_TRUE(base.Open(kSharing, Mask(dir)));
  for (int round = 0; round < 200; ++round) {
    std::string bad = good;
    for (int i = 1 + static_cast<int>(random() % 8); i > 0; --i) {
      bad[random() % bad.size()] = static_cast<char>(random());
    }
    if (round % 5 == 0) bad.resize(random() % bad.size());
    ASSERT_TRUE(WriteFileBytes(dir / "1.msg", bad));
    MessageRecord back;
    (void)base.ReadMessage(1, back);
    (void)base.ReadMessageHeader(1, back);
    ASSERT_EQ(ReadFileBytes(dir / "1.msg"), bad);
  }
}

}  // namespace
}  // namespace quil
