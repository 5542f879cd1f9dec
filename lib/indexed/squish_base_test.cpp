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
  PutU32LE(reinterpret_cast<uint8_t*>(&expected[16]), 1);       // high_water
  PutU32LE(reinterpret_cast<uint8_t*>(&expected[20]), 2);       // uid
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
    EXPECT_EQ(index[i].umsgid, i + 2);
    EXPECT_EQ(index[i].hash, SquishHash("Receiver Name"));
  }
  EXPECT_EQ(WalkChain(data, 256), (std::vector<uint32_t>{index[0].ofs, index[1].ofs, index[2].ofs}));
  BaseHeader h = HeaderOf(data);
  EXPECT_EQ(h.num_msg, 3u);
  EXPECT_EQ(h.high_msg, 3u);
  EXPECT_EQ(h.uid, 5u);
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
  EXPECT_EQ(r.stored_number, 4u);
}

TEST_F(SquishBaseTest, NetmailFrameBytes) {
  auto base = Create();
  MessageRecord r;
  FillNetmail(r, "Hi");
  r.orig_point = 5;
  r.unique_id = 77;
  ASSERT_TRUE(base->WriteMessage(1, r));
  EXPECT_EQ(r.state, kRecordWritten);
  base.reset();
  // The header keeps the record's unique id; the index takes the base's.
  EXPECT_EQ(MessageHeaderAt(sqd(), 256).umsgid, 77u);
  EXPECT_EQ(HeaderOf(sqd()).high_water, 77u);
  EXPECT_EQ(IndexOf(sqi())[0].umsgid, 2u);

  std::string data = sqd();
  FrameHeader f = FrameAt(data, 256);
  const std::string control = "\x01" "FMPT 5\x01INTL 2:5020/2 2:5020/1\x01MSGID: 2:5020/1 12345678";
  ASSERT_EQ(f.clen, control.size() + 1);
  EXPECT_EQ(f.msg_length, 238 + f.clen + 7);
  EXPECT_EQ(f.frame_length, f.msg_length);
  EXPECT_EQ(f.frame_type, kFrameTypeMessage);
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238)), Printable(control + '\0' + "Hello\r" + '\0'));
  EXPECT_EQ(data.size(), 256 + 28 + f.msg_length);

  MessageHeader h = MessageHeaderAt(data, 256);
  EXPECT_EQ(h.from, "Sender Name");
  EXPECT_EQ(h.orig.point, 5u);
  // 2001-03-05 17:30:08: date half 0x2A65 low, time half 0x8BC4 high.
  EXPECT_EQ(h.date_written, 0x8BC42A65u);
  EXPECT_EQ(h.ftsc_date, "06 Mar 01  09:15:00");
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
  r.body.Seek(0);
  r.body.Truncate();
  r.body.Write("No line end");
  ASSERT_TRUE(base->WriteMessage(1, r));
  base.reset();
  std::string data = sqd();
  FrameHeader f = FrameAt(data, 256);
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238, f.clen)),
            Printable(std::string("\x01MSGID: 2:5020/1PATH: 1/1\x01" "CHRS: CP866 2") + '\0'));
  EXPECT_EQ(Printable(data.substr(256 + 28 + 238 + f.clen, 15)), Printable("No line end\r---"));
  MessageRecord back;
  ASSERT_TRUE(Open()->ReadMessage(1, back));
  EXPECT_EQ(back.control_lines.count(), 1);
  EXPECT_EQ(back.path_lines.count(), 1);
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
  EXPECT_EQ(read.stored_number, 2u);
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
  EXPECT_EQ(read.attributes, written.attributes | kAttrRead);
  EXPECT_TRUE(read.intl_present);
  const std::initializer_list<std::string_view> omit = {"state", "stored_number", "times_read", "attributes", "intl_present",
                     "msgid_present"};
  EXPECT_EQ(DumpRecordWithout(read, omit), DumpRecordWithout(written, omit));
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
  EXPECT_EQ(after[1].umsgid, before[0].umsgid + 1);
  BaseHeader h = HeaderOf(data);
  EXPECT_EQ(h.num_msg, 3u);
  EXPECT_EQ(h.uid, 5u);
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
  EXPECT_EQ(after[0].umsgid, 1u);                  // first of several: 1
  EXPECT_EQ(after[2].umsgid, before[2].umsgid);  // the last keeps its id
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
  EXPECT_EQ(base->GetReplyTo(3), 2);  // message 1 has unique id 2
  EXPECT_EQ(base->GetFirstReply(1), 4);
  EXPECT_EQ(base->GetNextReply(1), 5);
  EXPECT_EQ(base->GetReplyTo(2), 0);
  EXPECT_EQ(base->GetFirstReply(1), 4);
  base->SetNextReply(1, 1);
  EXPECT_EQ(base->GetNextReply(1), 2);  // the cached value follows the setter

  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(1, r));
  EXPECT_EQ(r.replies[0], 4);
  EXPECT_EQ(r.replies[1], 2);
  EXPECT_EQ(r.replies[2], 0);
  // Links of a message that does not exist are not loaded.
  EXPECT_EQ(base->GetReplyTo(9), -1);
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
