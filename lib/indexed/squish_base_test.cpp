// Tests of the Squish base: the bytes it writes, reading them back, delete,
// replace, reply links and the read mark.
#include "indexed/squish_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "squish_support.h"
#include "runtime/coding.h"
#include "test_support.h"

namespace quil::squish::testing {
namespace {

using quil::testing::DumpRecordWithout;
using quil::testing::FileSizeOf;
using quil::testing::Printable;

using SquishBaseTest = SquishFixture;

TEST_F(SquishBaseTest, CreateWritesAnEmptyBase) {
  auto base = Create();
  EXPECT_TRUE(base->is_open());
  EXPECT_EQ(base->count(), 0);
  std::string expected(256, '\0');
  PutU16LE(reinterpret_cast<uint8_t*>(&expected[0]), 256);      // len
  PutU32LE(reinterpret_cast<uint8_t*>(&expected[20]), 1);       // uid; high_water 0
  PutU32LE(reinterpret_cast<uint8_t*>(&expected[104]), 256);    // begin_frame
  PutU32LE(reinterpret_cast<uint8_t*>(&expected[120]), 256);    // end_frame
  PutU16LE(reinterpret_cast<uint8_t*>(&expected[130]), 28);     // sz_sqhdr
  EXPECT_EQ(Printable(sqd()), Printable(expected));
  EXPECT_EQ(FileSizeOf(base_path() + ".sqi"), 0);
  EXPECT_EQ(FileSizeOf(base_path() + ".sql"), 0);
}

TEST_F(SquishBaseTest, ThreeAppendsBuildIndexAndChain) {
  CreateWith(3).reset();
  std::string data = sqd();
  std::vector<IndexRecord> index = IndexOf(sqi());
  ASSERT_EQ(index.size(), 3u);
  EXPECT_EQ(index[0].ofs, 256u);
  for (size_t i = 0; i < 3; ++i) {
    // Unique ids from 1, the same in the index and, marked valid, in the
    // message header.
    EXPECT_EQ(index[i].umsgid, i + 1);
    EXPECT_EQ(MessageHeaderAt(data, index[i].ofs).umsgid, i + 1);
    EXPECT_EQ(MessageHeaderAt(data, index[i].ofs).attr & kAttrUniqueId, kAttrUniqueId);
    EXPECT_EQ(index[i].hash, SquishHash("Receiver Name"));
  }
  EXPECT_EQ(WalkChain(data, 256), (std::vector<uint32_t>{index[0].ofs, index[1].ofs, index[2].ofs}));
  BaseHeader h = HeaderOf(data);
  EXPECT_EQ(h.num_msg, 3u);
  EXPECT_EQ(h.high_msg, 3u);
  EXPECT_EQ(h.uid, 4u);
  EXPECT_EQ(h.high_water, 3u);
  EXPECT_EQ(h.begin_frame, 256u);
  EXPECT_EQ(h.last_frame, index[2].ofs);
  EXPECT_EQ(h.end_frame, data.size());
  EXPECT_EQ(h.free_frame, 0u);

  auto base = Open();
  ASSERT_TRUE(base);
  EXPECT_EQ(base->count(), 3);
  EXPECT_EQ(SubjectOf(*base, 2), "Subject 2");
  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(3, r));
  EXPECT_EQ(r.stored_number, 3u);
  EXPECT_EQ(r.unique_id, 3u);
}

TEST_F(SquishBaseTest, NetmailFrameBytes) {
  auto base = Create();
  MessageRecord r;
  FillNetmail(r, "Hi");
  r.orig_point = 5;
  r.unique_id = 4560;  // the id the message had in its old base
  ASSERT_TRUE(base->WriteMessage(1, r));
  EXPECT_EQ(r.state, kRecordWritten);
  base.reset();
  // The id is the base's, not the record's: the same in the header and in
  // the index, and the high water mark is never above it.
  EXPECT_EQ(MessageHeaderAt(sqd(), 256).umsgid, 1u);
  EXPECT_EQ(HeaderOf(sqd()).high_water, 1u);
  EXPECT_EQ(HeaderOf(sqd()).uid, 2u);
  EXPECT_EQ(IndexOf(sqi())[0].umsgid, 1u);

  std::string data = sqd();
  FrameHeader f = FrameAt(data, 256);
  const std::string control =
      "\x01INTL 2:5020/2 2:5020/1\x01"
      "FMPT 5\x01MSGID: 2:5020/1 12345678";
  ASSERT_EQ(f.clen, control.size() + 1);
  EXPECT_EQ(f.msg_length, 238 + f.clen + 7);
  EXPECT_EQ(f.frame_length, f.msg_length);
  EXPECT_EQ(f.frame_type, kFrameTypeMessage);
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238)), Printable(control + '\0' + "Hello\r" + '\0'));
  EXPECT_EQ(data.size(), 256 + 28 + f.msg_length);

  MessageHeader h = MessageHeaderAt(data, 256);
  EXPECT_EQ(h.attr, kAttrUniqueId);
  EXPECT_EQ(h.from, "Sender Name");
  EXPECT_EQ(h.orig.point, 5u);
  // 2001-03-05 17:30:08: date half 0x2A65 low, time half 0x8BC4 high.  A
  // record without a date text gets that of its date written.
  EXPECT_EQ(h.date_written, 0x8BC42A65u);
  EXPECT_EQ(h.ftsc_date, "05 Mar 01  17:30:08");
}

TEST_F(SquishBaseTest, EchomailGetsNoNetmailKludges) {
  auto base = Create();
  MessageRecord r;
  FillEchomail(r, "Echo");
  r.orig_point = 5;
  r.dest_point = 6;
  ASSERT_TRUE(base->WriteMessage(1, r));
  base.reset();
  std::string data = sqd();
  FrameHeader f = FrameAt(data, 256);
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238, f.clen)),
            Printable(std::string("\x01MSGID: 2:5020/1 12345678") + '\0'));
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238 + f.clen)),
            Printable(std::string("Echo text\r--- Quil\r * Origin: Home (2:5020/1.5)\r"
                                  "SEEN-BY: 5020/1 2\r\x01PATH: 5020/1\r") + '\0'));
}

// The control information can not hold ^A inside a line (it would start
// another) nor NUL (it would end the control information): they are left
// out, and the body's text starts its lines below on a line of their own.
TEST_F(SquishBaseTest, ControlLinesHoldNoSeparatorAndTheTailStartsALine) {
  auto base = Create();
  MessageRecord r;
  FillEchomail(r, "Echo");
  r.msgid = "2:5020/1\x01PATH: 1/1";
  r.control_lines.Insert(std::string("\x01" "CHRS:\0 CP866\x01 2", 17));
  // Stored without its NUL and inner ^A, this line reads as a MSGID line
  // without a value, which leaves the MSGID above as it is.
  r.control_lines.Insert(std::string("\x01\0\x01MSGID: ", 10));
  r.body.Seek(0);
  r.body.Truncate();
  r.body.Write("No line end");
  ASSERT_TRUE(base->WriteMessage(1, r));
  base.reset();
  std::string data = sqd();
  FrameHeader f = FrameAt(data, 256);
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238, f.clen)),
            Printable(std::string("\x01MSGID: 2:5020/1PATH: 1/1\x01" "CHRS: CP866 2\x01MSGID: ") +
                      '\0'));
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238 + f.clen, 15)), Printable("No line end\r---"));
  MessageRecord back;
  ASSERT_TRUE(Open()->ReadMessage(1, back));
  EXPECT_EQ(back.control_lines.count(), 1);
  EXPECT_EQ(back.path_lines.count(), 1);
  EXPECT_EQ(back.msgid.str(), "2:5020/1PATH: 1/1");
}

TEST_F(SquishBaseTest, EchomailRoundTrip) {
  auto base = Create();
  MessageRecord written;
  FillEchomail(written, "Round trip");
  written.pid = "Quil 1";
  written.tid = "Quil tosser";
  written.reply = "2:5020/2 87654321";
  written.control_lines.Insert("\x01" "CHRS: CP866 2");
  written.routing_lines.Insert("\x01Via 2:5020/1 @20010305.173008");
  written.attribute_flags[0] = true;           // Pvt
  written.attribute_flags[kFlagDirect] = true;  // FLAGS DIR
  written.reply_to = 9;
  for (int i = 0; i < 9; ++i) written.replies[i] = 20 + i;
  written.utc_offset = 180;
  written.unique_id = 4242;
  written.date_text = FormatDate(written.date_written);
  ASSERT_TRUE(base->WriteMessage(1, written));
  // The base gives the unique id, marked valid in attr.
  written.unique_id = 1;
  written.SetAttribute(kAttrUniqueId, true);
  written.attribute_flags[16] = true;

  MessageRecord read;
  ASSERT_TRUE(base->ReadMessage(1, read));
  EXPECT_EQ(read.state, kRecordRead);
  const std::initializer_list<std::string_view> omit = {"state", "stored_number", "area", "intl", "intl_present", "msgid_present",
                     "tid", "control_lines"};
  EXPECT_EQ(DumpRecordWithout(read, omit), DumpRecordWithout(written, omit));
  // The TID line comes back among the other control lines.
  EXPECT_EQ(read.tid.str(), "");
  ASSERT_EQ(read.control_lines.count(), 2);
  EXPECT_EQ(read.control_lines.At(0), "\x01TID: Quil tosser");
  EXPECT_EQ(read.control_lines.At(1), "\x01" "CHRS: CP866 2");
  EXPECT_EQ(read.stored_number, 1u);
}

TEST_F(SquishBaseTest, NetmailRoundTripAndReadBit) {
  auto base = Create();
  MessageRecord written;
  FillNetmail(written, "Netmail");
  written.orig_point = 5;
  written.dest_point = 7;
  written.times_read = 256;  // only the low bits of the count are zero
  written.date_text = FormatDate(written.date_written);
  ASSERT_TRUE(base->WriteMessage(1, written));
  base.reset();
  EXPECT_EQ(MessageHeaderAt(sqd(), 256).attr & kAttrRead, kAttrRead);

  base = Open();
  MessageRecord read;
  ASSERT_TRUE(base->ReadMessage(1, read));
  EXPECT_EQ(read.times_read, 1);
  EXPECT_EQ(read.attributes, written.attributes | kAttrRead | kAttrUniqueId);
  EXPECT_TRUE(read.intl_present);
  const std::initializer_list<std::string_view> omit = {
      "state",        "stored_number", "times_read", "attributes",
      "intl_present", "msgid_present", "unique_id",  "attribute_flags"};
  EXPECT_EQ(DumpRecordWithout(read, omit), DumpRecordWithout(written, omit));
}

// The packed stamp keeps even seconds only; the date text written beside it
// keeps the odd one, and wins where the two agree.  A text that says
// another time leaves the stamp's.
TEST_F(SquishBaseTest, DateWrittenKeepsTheOddSecondOfItsText) {
  auto base = Create();
  MessageRecord r;
  FillNetmail(r, "Odd second");
  r.date_written = {2023, 12, 31, 1, 43, 11};
  ASSERT_TRUE(base->WriteMessage(1, r));
  base.reset();
  const uint32_t date_text_at = 256 + 28 + 218;
  struct Case {
    const char* text;
    DateTime read;
  };
  const Case cases[] = {
      {"31 Dec 23  01:43:11", {2023, 12, 31, 1, 43, 11}},  // as written
      {"31 Dec 23  01:43:10", {2023, 12, 31, 1, 43, 10}},
      {"31 Dec 23  01:43:13", {2023, 12, 31, 1, 43, 10}},  // another 2 seconds
      {"31 Dec 23  01:44:11", {2023, 12, 31, 1, 43, 10}},
      {"30 Dec 23  01:43:11", {2023, 12, 31, 1, 43, 10}},
      {"31 Dec 23  01:43:61", {2023, 12, 31, 1, 43, 10}},  // not a date
      {"", {2023, 12, 31, 1, 43, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string field(c.text);
    field.resize(kDateTextSize, '\0');
    quil::testing::PatchFile(base_path() + ".sqd", date_text_at, field);
    base = Open();
    ASSERT_TRUE(base);
    ASSERT_TRUE(base->ReadMessage(1, r));
    EXPECT_EQ(r.date_written, c.read);
    EXPECT_EQ(r.date_text.str(), FormatDate(c.read));
    base.reset();
  }
}

// Whatever the base header says, a new message's id lies above the last
// message's, the next id above it, and the high water mark at it; a foreign
// mark far above every id comes down.
TEST_F(SquishBaseTest, NewIdsStayAboveTheHighestAndTheMarkNeverAboveIt) {
  CreateWith(3).reset();
  BaseHeader damaged = HeaderOf(sqd());
  damaged.uid = 2;
  damaged.high_water = 4560;
  BaseHeaderBytes bytes = EncodeBaseHeader(damaged);
  quil::testing::PatchFile(base_path() + ".sqd", 0,
                           std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  auto base = Open();
  ASSERT_TRUE(base);
  MessageRecord r;
  FillNetmail(r, "Fourth");
  r.unique_id = 4560;
  ASSERT_TRUE(base->WriteMessage(4, r));
  base.reset();
  std::vector<IndexRecord> index = IndexOf(sqi());
  ASSERT_EQ(index.size(), 4u);
  EXPECT_EQ(index[3].umsgid, 4u);
  EXPECT_EQ(MessageHeaderAt(sqd(), index[3].ofs).umsgid, 4u);
  EXPECT_EQ(HeaderOf(sqd()).uid, 5u);
  EXPECT_EQ(HeaderOf(sqd()).high_water, 4u);
}

TEST_F(SquishBaseTest, LongNamesAreCutAndNothingLeaksBetweenMessages) {
  auto base = Create();
  MessageRecord r;
  FillNetmail(r, std::string(80, 's'));
  r.from_name = std::string(40, 'f');
  ASSERT_TRUE(base->WriteMessage(1, r));
  FillNetmail(r, "Short");
  r.from_name = "Me";
  ASSERT_TRUE(base->WriteMessage(2, r));
  base.reset();

  std::string data = sqd();
  std::vector<IndexRecord> index = IndexOf(sqi());
  std::string first = data.substr(index[0].ofs + 28, 238);
  EXPECT_EQ(first.substr(4, 36), std::string(35, 'f') + '\0');
  EXPECT_EQ(first.substr(40, 14), std::string("Receiver Name\0", 14));
  EXPECT_EQ(first.substr(76, 72), std::string(71, 's') + '\0');
  std::string second = data.substr(index[1].ofs + 28, 238);
  EXPECT_EQ(second.substr(4, 36), "Me" + std::string(34, '\0'));
  EXPECT_EQ(second.substr(76, 72), "Short" + std::string(67, '\0'));

  // The index hash is that of the to name as the header holds it.
  FillNetmail(r, "Long to");
  r.to_name = std::string(35, 't') + "TAIL";
  base = Open();
  ASSERT_TRUE(base->WriteMessage(3, r));
  base.reset();
  EXPECT_EQ(IndexOf(sqi())[2].hash, SquishHash(std::string(35, 't')));
}

TEST_F(SquishBaseTest, DeleteMiddleMessage) {
  CreateWith(3).reset();
  std::vector<IndexRecord> before = IndexOf(sqi());
  auto base = Open();
  ASSERT_TRUE(base->DeleteMessage(2));
  EXPECT_EQ(base->count(), 2);
  EXPECT_EQ(SubjectOf(*base, 2), "Subject 3");
  EXPECT_FALSE(base->DeleteMessage(3));
  base.reset();

  std::string data = sqd();
  std::string index_bytes = sqi();
  ASSERT_EQ(index_bytes.size(), 24u);
  std::vector<IndexRecord> after = IndexOf(index_bytes);
  EXPECT_EQ(after[1].ofs, before[2].ofs);
  EXPECT_EQ(after[1].umsgid, before[2].umsgid);
  EXPECT_EQ(after[1].hash, before[2].hash);
  BaseHeader h = HeaderOf(data);
  EXPECT_EQ(h.num_msg, 2u);
  EXPECT_EQ(h.high_msg, 2u);
  EXPECT_EQ(WalkChain(data, h.begin_frame), (std::vector<uint32_t>{before[0].ofs, before[2].ofs}));
  EXPECT_EQ(h.free_frame, before[1].ofs);
  EXPECT_EQ(h.last_free_frame, before[1].ofs);
  FrameHeader freed = FrameAt(data, before[1].ofs);
  EXPECT_EQ(freed.frame_type, kFrameTypeFree);
  EXPECT_EQ(freed.next_frame, 0u);
  EXPECT_EQ(freed.prev_frame, 0u);
}

TEST_F(SquishBaseTest, FreeChainKeepsOffsetOrderAtItsHead) {
  CreateWith(4).reset();
  std::vector<IndexRecord> frames = IndexOf(sqi());
  auto base = Open();
  ASSERT_TRUE(base->DeleteMessage(3));  // free: 3
  ASSERT_TRUE(base->DeleteMessage(1));  // lies before the head: 1, 3
  ASSERT_TRUE(base->DeleteMessage(2));  // message 2 is now the old 4: 1, 3, 4
  base.reset();
  BaseHeader h = HeaderOf(sqd());
  EXPECT_EQ(WalkChain(sqd(), h.free_frame),
            (std::vector<uint32_t>{frames[0].ofs, frames[2].ofs, frames[3].ofs}));
  EXPECT_EQ(h.last_free_frame, frames[3].ofs);
  EXPECT_EQ(WalkChain(sqd(), h.begin_frame), std::vector<uint32_t>{frames[1].ofs});
  EXPECT_EQ(h.last_frame, frames[1].ofs);
}

TEST_F(SquishBaseTest, RewriteMiddleMessage) {
  CreateWith(3).reset();
  std::vector<IndexRecord> before = IndexOf(sqi());
  const uint32_t old_end = HeaderOf(sqd()).end_frame;
  auto base = Open();
  MessageRecord r;
  FillNetmail(r, "Replaced");
  ASSERT_TRUE(base->WriteMessage(2, r));
  EXPECT_EQ(base->count(), 3);
  EXPECT_EQ(SubjectOf(*base, 1), "Subject 1");
  EXPECT_EQ(SubjectOf(*base, 2), "Replaced");
  EXPECT_EQ(SubjectOf(*base, 3), "Subject 3");
  base.reset();

  std::string data = sqd();
  std::vector<IndexRecord> after = IndexOf(sqi());
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[1].ofs, old_end);
  // The rewritten message keeps its unique id, in the index and the header.
  EXPECT_EQ(after[1].umsgid, before[1].umsgid);
  EXPECT_EQ(MessageHeaderAt(data, old_end).umsgid, before[1].umsgid);
  BaseHeader h = HeaderOf(data);
  EXPECT_EQ(h.num_msg, 3u);
  EXPECT_EQ(h.uid, 4u);
  EXPECT_EQ(h.end_frame, data.size());
  EXPECT_EQ(WalkChain(data, h.begin_frame),
            (std::vector<uint32_t>{before[0].ofs, old_end, before[2].ofs}));
  EXPECT_EQ(h.free_frame, before[1].ofs);
  EXPECT_EQ(FrameAt(data, before[1].ofs).frame_type, kFrameTypeFree);
}

TEST_F(SquishBaseTest, RewriteFirstAndLastMessages) {
  CreateWith(3).reset();
  std::vector<IndexRecord> before = IndexOf(sqi());
  auto base = Open();
  MessageRecord r;
  FillNetmail(r, "New first");
  ASSERT_TRUE(base->WriteMessage(1, r));
  FillNetmail(r, "New last");
  ASSERT_TRUE(base->WriteMessage(3, r));
  base.reset();
  std::vector<IndexRecord> after = IndexOf(sqi());
  EXPECT_EQ(after[0].umsgid, before[0].umsgid);  // each keeps its id
  EXPECT_EQ(after[2].umsgid, before[2].umsgid);
  BaseHeader h = HeaderOf(sqd());
  EXPECT_EQ(h.begin_frame, after[0].ofs);
  EXPECT_EQ(h.last_frame, after[2].ofs);
  EXPECT_EQ(WalkChain(sqd(), h.begin_frame), IndexOffsets(sqi(), 3));
}

// After any mix of appends, replacements and deletes, the message chain
// holds exactly the indexed frames in index order, the free chain every
// other frame, and each message reads back as the model says.
TEST_F(SquishBaseTest, ChainsFollowTheIndexUnderRandomChanges) {
  std::mt19937 random(20240611);
  auto base = Create();
  std::vector<std::string> model;
  MessageRecord r;
  int frames_written = 0;
  for (int step = 0; step < 150; ++step) {
    int choice = static_cast<int>(random() % 10);
    int n = model.empty() ? 1 : static_cast<int>(random() % model.size()) + 1;
    std::string subject = "Step " + std::to_string(step);
    if (choice < 5 || model.empty()) {
      FillNetmail(r, subject, std::string(random() % 300, 'x'));
      ASSERT_TRUE(base->WriteMessage(base->count() + 1, r));
      model.push_back(subject);
      ++frames_written;
    } else if (choice < 7) {
      FillNetmail(r, subject);
      ASSERT_TRUE(base->WriteMessage(n, r));
      model[static_cast<size_t>(n - 1)] = subject;
      ++frames_written;
    } else {
      ASSERT_TRUE(base->DeleteMessage(n));
      model.erase(model.begin() + (n - 1));
    }
    ASSERT_EQ(base->count(), static_cast<int32_t>(model.size()));
  }
  base.reset();

  std::string data = sqd();
  BaseHeader h = HeaderOf(data);
  std::vector<uint32_t> live = IndexOffsets(sqi(), model.size());
  ASSERT_EQ(sqi().size(), model.size() * kIndexRecordSize);
  EXPECT_EQ(WalkChain(data, h.begin_frame), live);
  EXPECT_EQ(h.last_frame, live.back());
  std::vector<uint32_t> free_frames = WalkChain(data, h.free_frame);
  EXPECT_EQ(free_frames.size() + live.size(), static_cast<size_t>(frames_written));
  for (uint32_t ofs : free_frames) {
    EXPECT_EQ(FrameAt(data, ofs).frame_type, kFrameTypeFree);
    EXPECT_EQ(std::count(live.begin(), live.end(), ofs), 0);
  }
  base = Open();
  ASSERT_EQ(base->count(), static_cast<int32_t>(model.size()));
  for (size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(SubjectOf(*base, static_cast<int32_t>(i + 1)), model[i]);
  }
}

TEST_F(SquishBaseTest, MarkReadSetsOnlyTheReadBit) {
  CreateWith(2).reset();
  std::string before = sqd();
  auto base = Open();
  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(2, r));
  EXPECT_EQ(r.times_read, 0);
  base->MarkRead(2);
  ASSERT_TRUE(base->ReadMessage(2, r));
  EXPECT_EQ(r.times_read, 1);
  base.reset();
  std::string after = sqd();
  uint32_t ofs = IndexOf(sqi())[1].ofs + 28;
  EXPECT_EQ(GetU32LE(reinterpret_cast<const uint8_t*>(&after[ofs])) & kAttrRead, kAttrRead);
  after[ofs + 2] = before[ofs + 2];  // the byte that holds the read bit
  EXPECT_EQ(after, before);
}

TEST_F(SquishBaseTest, ReplyLinks) {
  auto base = CreateWith(4);
  base->AddReply(1, 3);
  base->AddReply(1, 3);  // already there
  base->AddReply(1, 4);
  base->AddReply(2, 2);  // a message is not its own reply
  base->AddReply(2, 9);  // nor one that is not there
  // The links hold unique ids, which are the numbers in a new base.
  EXPECT_EQ(base->GetReplyTo(3), 1);
  EXPECT_EQ(base->GetFirstReply(1), 3);
  EXPECT_EQ(base->GetNextReply(1), 4);
  EXPECT_EQ(base->GetReplyTo(2), 0);
  EXPECT_EQ(base->GetFirstReply(2), 0);
  // After deleting message 1, message n has the unique id n + 1.
  ASSERT_TRUE(base->DeleteMessage(1));
  base->AddReply(1, 2);
  EXPECT_EQ(base->GetReplyTo(2), 2);
  EXPECT_EQ(base->GetFirstReply(1), 3);
  base->SetNextReply(1, 1);
  EXPECT_EQ(base->GetNextReply(1), 2);  // the cached value follows the setter

  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(1, r));
  EXPECT_EQ(r.replies[0], 3);
  EXPECT_EQ(r.replies[1], 2);
  EXPECT_EQ(r.replies[2], 0);
  // Links of a message that does not exist are not loaded.
  EXPECT_EQ(base->GetReplyTo(9), -1);
}

// ---------------------------------------------------------------------------
// Copies in the stored form

class SquishCopyTest : public SquishFixture {
 protected:
  // The source "area": three messages; the third links to the first two
  // (by their unique ids 1 and 2) and to one that is not there, and its
  // frame has 16 bytes of room to spare.  The copy base holds one message.
  void SetUp() override {
    CreateWith(3).reset();
    const uint32_t third = IndexOf(sqi())[2].ofs;
    std::string data = sqd() + std::string(16, 'x');
    auto put = [&data](size_t at, uint32_t value) {
      PutU32LE(reinterpret_cast<uint8_t*>(&data[at]), value);
    };
    put(third + 12, FrameAt(data, third).frame_length + 16);
    put(third + 28 + kReplyToOffset, 1);
    put(third + 28 + kRepliesOffset, 2);
    put(third + 28 + kRepliesOffset + 4, 99);
    put(third + 28 + kUmsgidOffset, 0);  // a writer that set no umsgid
    put(120, static_cast<uint32_t>(data.size()));  // end_frame
    ASSERT_TRUE(quil::testing::WriteFileBytes(base_path() + ".sqd", data));
    source_ = Open();
    ASSERT_TRUE(source_);
    copy_ = std::make_unique<SquishBase>();
    ASSERT_TRUE(copy_->Create(platform::kDenyWrite, copy_path()));
    MessageRecord r;
    FillNetmail(r, "Already there");
    ASSERT_TRUE(copy_->WriteMessage(1, r));
  }

  std::string copy_path() const { return dir_ / "copy"; }

  std::unique_ptr<SquishBase> source_;
  std::unique_ptr<SquishBase> copy_;
};

// The message header, control information and text arrive as stored, but
// for the links and umsgid, which becomes the copy's next unique id in the
// index and the header; the frame is the copy's own, without slack.
TEST_F(SquishCopyTest, KeepsEveryByteButIdsLinksAndFrame) {
  LinkMap links;
  links.Add(1, 10);
  links.Add(2, 11);
  links.Seal();
  ASSERT_TRUE(copy_->CopyStoredMessage(*source_, 3, &links));
  EXPECT_EQ(copy_->count(), 2);
  ASSERT_TRUE(copy_->Close());

  const std::string from_data = sqd();
  const IndexRecord from = IndexOf(sqi())[2];
  const FrameHeader from_frame = FrameAt(from_data, from.ofs);
  const std::string data = ReadFileBytes(copy_path() + ".sqd");
  const std::vector<IndexRecord> index = IndexOf(ReadFileBytes(copy_path() + ".sqi"));
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index[1].umsgid, 2u);
  EXPECT_EQ(index[1].hash, from.hash);
  const FrameHeader frame = FrameAt(data, index[1].ofs);
  EXPECT_EQ(frame.msg_length, from_frame.msg_length);
  EXPECT_EQ(frame.frame_length, from_frame.msg_length);
  EXPECT_EQ(frame.clen, from_frame.clen);
  EXPECT_EQ(frame.prev_frame, index[0].ofs);
  EXPECT_EQ(frame.next_frame, 0u);

  std::string expected = from_data.substr(from.ofs + 28, from_frame.msg_length);
  auto put = [&expected](size_t at, uint32_t value) {
    PutU32LE(reinterpret_cast<uint8_t*>(&expected[at]), value);
  };
  put(kReplyToOffset, 10);
  put(kRepliesOffset, 11);
  put(kRepliesOffset + 4, 0);
  put(kUmsgidOffset, 2);
  EXPECT_EQ(Printable(data.substr(index[1].ofs + 28, frame.msg_length)), Printable(expected));

  const BaseHeader header = HeaderOf(data);
  EXPECT_EQ(header.num_msg, 2u);
  EXPECT_EQ(header.uid, 3u);
  EXPECT_EQ(header.high_water, 2u);
  EXPECT_EQ(header.last_frame, index[1].ofs);
  EXPECT_EQ(header.end_frame, data.size());
  EXPECT_EQ(WalkChain(data, header.begin_frame), (std::vector<uint32_t>{index[0].ofs, index[1].ofs}));
}

TEST_F(SquishCopyTest, WithoutALinkMapTheLinksAreZero) {
  ASSERT_TRUE(copy_->CopyStoredMessage(*source_, 3, nullptr));
  ASSERT_TRUE(copy_->Close());
  const std::string data = ReadFileBytes(copy_path() + ".sqd");
  const uint32_t ofs = IndexOf(ReadFileBytes(copy_path() + ".sqi"))[1].ofs;
  EXPECT_EQ(data.substr(ofs + 28 + kReplyToOffset, 40), std::string(40, '\0'));
}

// Would the copy, as message n of a fresh base, carry other ids or links?
TEST_F(SquishCopyTest, TellsWhetherACopyRenumbers) {
  SquishBase fresh;
  ASSERT_TRUE(fresh.Create(platform::kDenyWrite, dir_ / "fresh"));
  LinkMap same;
  for (uint32_t id = 1; id <= 3; ++id) same.Add(id, id);
  same.Seal();
  EXPECT_FALSE(fresh.CopyRenumbers(*source_, 1, same));
  EXPECT_TRUE(fresh.CopyRenumbers(*source_, 3, same));  // its header holds no umsgid
  SquishBase ours;
  ASSERT_TRUE(ours.Create(platform::kDenyWrite, dir_ / "ours"));
  for (int32_t n = 1; n <= 3; ++n) ASSERT_TRUE(ours.CopyStoredMessage(*source_, n, &same));
  for (int32_t n = 1; n <= 3; ++n) EXPECT_FALSE(fresh.CopyRenumbers(ours, n, same)) << n;
  LinkMap none;
  none.Seal();
  EXPECT_TRUE(fresh.CopyRenumbers(ours, 3, none));  // its links would go
}

TEST_F(SquishBaseTest, ClosedOrBadBaseRefusesWork) {
  SquishBase base;
  MessageRecord r;
  EXPECT_FALSE(base.ReadMessage(1, r));
  EXPECT_FALSE(base.WriteMessage(1, r));
  EXPECT_FALSE(base.DeleteMessage(1));
  EXPECT_FALSE(base.Open(platform::kDenyWrite, dir_ / "missing"));
  EXPECT_EQ(base.error_state(), kBaseBad);
  EXPECT_FALSE(base.WriteMessage(1, r));
  EXPECT_EQ(base.base_header().len, 256u);

  auto created = CreateWith(1);
  EXPECT_FALSE(created->WriteMessage(0, r));
  EXPECT_FALSE(created->RereadMessage(2, r));
  EXPECT_TRUE(created->RereadMessage(1, r));
  EXPECT_EQ(r.subject.str(), "Subject 1");
}

}  // namespace
}  // namespace quil::squish::testing
