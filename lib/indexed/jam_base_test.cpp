#include "indexed/jam_base.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "indexed/jam_format.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using jam::BaseHeader;
using jam::MessageHeader;
using testing::DumpRecordWithout;
using testing::FaultsUntilSuccess;
using testing::Le32;
using testing::Le32At;
using testing::PatchFile;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WithWriteFault;
using testing::WriteFileBytes;

constexpr uint32_t kDenyWrite = platform::kDenyWrite;

// What JAM does not store, or what a reader derives on its own.
const std::initializer_list<std::string_view> kNotStored = {"tid",         "intl",        "area",
                                                            "orig_domain", "dest_domain", "state"};

class JamBaseTest : public ::testing::Test {
 protected:
  std::string File(std::string_view extension) const {
    return dir_ / ("area" + std::string(extension));
  }

  std::unique_ptr<JamBase> OpenBase() {
    auto base = std::make_unique<JamBase>();
    if (!base->Open(kDenyWrite, dir_ / "area")) return nullptr;
    return base;
  }
  std::unique_ptr<JamBase> CreateBase() {
    auto base = std::make_unique<JamBase>();
    EXPECT_TRUE(base->Create(kDenyWrite, dir_ / "area"));
    return base;
  }

  // A base with messages to the given names, in its files.
  std::unique_ptr<JamBase> BaseWith(int messages) {
    auto base = CreateBase();
    for (int i = 1; i <= messages; ++i) {
      MessageRecord r;
      Fill(r, "Receiver " + std::to_string(i));
      EXPECT_TRUE(base->WriteMessage(base->count() + 1, r));
    }
    EXPECT_TRUE(base->Flush());
    return base;
  }

  static void Fill(MessageRecord& r, const std::string& to) {
    r.from_name = "Sender";
    r.to_name = to;
    r.subject = "About " + to;
    r.date_written = {2001, 3, 5, 17, 30, 9};
    r.date_arrived = {2001, 3, 6, 8, 0, 0};
    r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 1, r.orig_point = 0;
    r.dest_zone = 2, r.dest_net = 5020, r.dest_node = 2, r.dest_point = 0;
    r.body.Write("Text for " + to + "\r");
  }

  std::string Bytes(std::string_view extension) const { return ReadFileBytes(File(extension)); }
  std::string AllFiles() const { return Bytes(".jhr") + "|" + Bytes(".jdt") + "|" + Bytes(".jdx"); }

  uint32_t U32At(std::string_view extension, size_t offset) const {
    return Le32At(Bytes(extension), offset);
  }
  void PutU32At(std::string_view extension, size_t offset, uint32_t value) {
    PatchFile(File(extension), offset, Le32(value));
  }
  BaseHeader StoredBaseHeader() const {
    return BaseHeader::Decode(
        std::span(reinterpret_cast<const uint8_t*>(Bytes(".jhr").data()), jam::kBaseHeaderSize));
  }
  size_t HeaderOffsetOf(int n) const { return testing::JamHeaderOffset(dir_ / "area", n); }
  MessageHeader StoredHeaderAt(size_t offset) const {
    std::string bytes = Bytes(".jhr").substr(offset, jam::kMessageHeaderSize);
    return MessageHeader::Decode(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), jam::kMessageHeaderSize));
  }
  MessageHeader StoredHeader(int n) const { return StoredHeaderAt(HeaderOffsetOf(n)); }

  // The reply list as RereadMessage gives it, up to the terminating 0.
  std::vector<int32_t> Replies(JamBase& base, int32_t n) {
    MessageRecord r;
    EXPECT_TRUE(base.RereadMessage(n, r));
    std::vector<int32_t> list;
    for (int32_t reply : r.replies) {
      if (reply == 0) break;
      list.push_back(reply);
    }
    return list;
  }

  TempDir dir_;
};

TEST_F(JamBaseTest, CreateWritesAFreshBase) {
  auto base = CreateBase();
  EXPECT_EQ(base->count(), 0);
  base.reset();
  std::string jhr = Bytes(".jhr");
  ASSERT_EQ(jhr.size(), 1024u);
  EXPECT_EQ(jhr.substr(0, 4), std::string("JAM\0", 4));
  BaseHeader h = StoredBaseHeader();
  EXPECT_NE(h.date_created, 0u);
  EXPECT_EQ(h.mod_counter, 1u);
  EXPECT_EQ(h.active_msgs, 0u);
  EXPECT_EQ(h.password_crc, 0xFFFFFFFFu);
  EXPECT_EQ(h.base_msg_num, 1u);
  EXPECT_EQ(jhr.substr(24), std::string(1000, '\0'));
  EXPECT_EQ(testing::FileSizeOf(File(".jdt")), 0);
  EXPECT_EQ(testing::FileSizeOf(File(".jdx")), 0);
  EXPECT_EQ(testing::FileSizeOf(File(".jqx")), 0);
  EXPECT_EQ(testing::FileSizeOf(File(".jlr")), 0);  // other JAM software needs it
  ASSERT_TRUE(OpenBase());
}

TEST_F(JamBaseTest, AppendsFillIndexAndCounters) {
  auto base = CreateBase();
  for (const char* to : {"John Smith", "", "SYSOP"}) {
    MessageRecord r;
    Fill(r, to);
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, r));
    EXPECT_EQ(r.state, kRecordWritten);
  }
  // A number far past the end appends as the next one.
  MessageRecord far;
  Fill(far, "Far");
  ASSERT_TRUE(base->WriteMessage(1000, far));
  EXPECT_EQ(base->count(), 4);
  base.reset();

  EXPECT_EQ(Bytes(".jdx").size(), 32u);
  EXPECT_EQ(U32At(".jdx", 0), jam::NameCrc("john smith"));
  EXPECT_EQ(U32At(".jdx", 8), 0xFFFFFFFFu);
  EXPECT_EQ(U32At(".jdx", 16), jam::NameCrc("sysop"));
  EXPECT_EQ(HeaderOffsetOf(1), 1024u);
  BaseHeader h = StoredBaseHeader();
  EXPECT_EQ(h.active_msgs, 4u);
  EXPECT_EQ(h.mod_counter, 5u);
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(StoredHeader(n).message_number, uint32_t(n));

  MessageHeader first = StoredHeader(1);
  EXPECT_EQ(first.subfield_len, HeaderOffsetOf(2) - 1024 - 76);
  EXPECT_EQ(first.txt_offset, 0u);
  EXPECT_EQ(Bytes(".jdt").substr(0, first.txt_len), "Text for John Smith\r");
  EXPECT_EQ(first.attribute, jam::kMsgTypeNet);
  EXPECT_EQ(first.date_written, 983813409u);
  EXPECT_EQ(first.password_crc, 0xFFFFFFFFu);
  EXPECT_EQ(first.msgid_crc, 0xFFFFFFFFu);  // no MSGID text

  auto again = OpenBase();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->count(), 4);
  MessageRecord r;
  ASSERT_TRUE(again->ReadMessage(4, r));
  EXPECT_EQ(r.to_name.str(), "Far");
  EXPECT_EQ(r.stored_number, 4u);
}

TEST_F(JamBaseTest, AttributesAndTypeBit) {
  auto base = CreateBase();
  MessageRecord r;
  Fill(r, "To");
  r.attribute_flags[0] = r.attribute_flags[1] = true;  // Pvt, Cra
  r.attribute_flags[kFlagDirect] = true;
  ASSERT_TRUE(base->WriteMessage(1, r));
  MessageRecord echo;
  Fill(echo, "All");
  echo.area = "NET.TEST";
  ASSERT_TRUE(base->WriteMessage(2, echo));
  ASSERT_TRUE(base->Flush());
  EXPECT_EQ(StoredHeader(1).attribute, 0x02000504u);
  EXPECT_EQ(StoredHeader(2).attribute, 0x01000000u);

  MessageRecord back;
  ASSERT_TRUE(base->ReadMessage(1, back));
  EXPECT_EQ(back.attributes, kAttrPrivate | kAttrCrash);
  EXPECT_EQ(back.flags.str(), "DIR");
  EXPECT_TRUE(back.attribute_flags[kFlagDirect]);
}

// JAM keeps no area tag; the type bits say which mail a message is, and a
// message read back is the same kind of mail when written again.  An INTL
// that only the address subfields make is echomail's never, netmail's
// always; a MSGID only a MSGID subfield gives.
TEST_F(JamBaseTest, TypeBitsSayWhichMailAMessageIs) {
  struct Case {
    const char* name;
    void (*shape)(MessageRecord&);
    uint32_t type;
  };
  const Case cases[] = {
      {"netmail", [](MessageRecord&) {}, jam::kMsgTypeNet},
      {"area tag", [](MessageRecord& r) { r.area = "NET.TEST"; }, jam::kMsgTypeEcho},
      {"SEEN-BY", [](MessageRecord& r) { r.seenby_lines.Insert("5020/1"); }, jam::kMsgTypeEcho},
      {"origin line", [](MessageRecord& r) { r.origin = "Home ", r.has_origin = true; },
       jam::kMsgTypeEcho},
      {"origin line, netmail with INTL",
       [](MessageRecord& r) { r.origin = "Home ", r.has_origin = r.intl_present = true; },
       jam::kMsgTypeNet},
  };
  auto base = CreateBase();
  int32_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageRecord r;
    Fill(r, "To");
    r.msgid.clear();
    c.shape(r);
    ASSERT_TRUE(base->WriteMessage(++n, r));
    ASSERT_TRUE(base->Flush());
    EXPECT_EQ(StoredHeader(n).attribute, c.type);
    MessageRecord back;
    ASSERT_TRUE(base->ReadMessage(n, back));
    const bool echomail = c.type == jam::kMsgTypeEcho;
    EXPECT_EQ(back.stored_type, echomail ? MessageType::kEchomail : MessageType::kNetmail);
    EXPECT_FALSE(back.msgid_present);
    EXPECT_EQ(back.intl_present, !echomail);
    EXPECT_FALSE(back.intl.empty());  // made up by the normalisation when not present
    back.area.clear();
    ASSERT_TRUE(base->WriteMessage(++n, back));
    ASSERT_TRUE(base->Flush());
    EXPECT_EQ(StoredHeader(n).attribute, c.type);
  }
}

// A message as another base kind would have read it; writing it to JAM and
// reading it back must give it again, apart from what JAM does not store.
void FillEchomail(MessageRecord& r) {
  r.from_name = "Ivan Petrov";
  r.to_name = "All";
  r.subject = "Dates past 2038";
  r.date_written = {2039, 1, 20, 3, 14, 8};
  r.date_arrived = {2099, 12, 31, 23, 59, 59};
  r.date_text = FormatDate(r.date_written);
  r.times_read = 3;
  r.reply_to = 12;
  r.replies[0] = 14;
  r.msgid = "2:5020/1 0a1b2c3d";
  r.reply = "2:5020/2 11111111";
  r.pid = "Editor 1.0";
  r.tear_line = " Quil";
  r.has_tear_line = true;
  r.origin = "Home ";
  r.has_origin = true;
  r.area = "NET.TEST";
  r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 1, r.orig_point = 0;
  r.dest_zone = 2, r.dest_net = 5020, r.dest_node = 2, r.dest_point = 0;
  r.cost = 7;
  r.stored_number = 1;
  r.attribute_flags[kFlagZonegate] = true;  // no JAM bit: FLAGS subfield only
  r.attribute_flags[kFlagImmediate] = true;
  r.attribute_flags[8] = true;  // Loc
  r.msgid_present = true;
  r.body.Write("Hello\r\rSecond paragraph\r");
  r.routing_lines.Insert("\x01Via 2:5020/1 @20390120.031408 Quil");
  r.control_lines.Insert(
      "\x01"
      "CHRS: CP866 2");
  r.control_lines.Insert("\x01TZUTC: 0300");
  r.seenby_lines.Insert("5020/1 2");
  r.seenby_lines.Insert("5020/3");
  r.path_lines.Insert("5020/1");
}

TEST_F(JamBaseTest, EchomailRoundTrip) {
  MessageRecord original;
  FillEchomail(original);
  auto base = CreateBase();
  ASSERT_TRUE(base->WriteMessage(1, original));
  MessageRecord back;
  ASSERT_TRUE(base->ReadMessage(1, back));
  EXPECT_EQ(back.state, kRecordRead);
  original.stored_type = MessageType::kEchomail;  // the type bit says so
  EXPECT_EQ(DumpRecordWithout(back, kNotStored), DumpRecordWithout(original, kNotStored));
  EXPECT_EQ(back.flags.str(), "ZON IMM");
  EXPECT_EQ(StoredHeader(1).date_written, 2179106048u);  // past 2^31: unsigned

  // The header-only read fills the same header fields and no body.
  MessageRecord header;
  ASSERT_TRUE(base->ReadMessageHeader(1, header));
  EXPECT_EQ(header.subject.str(), original.subject);
  EXPECT_EQ(header.body.GetSize(), 0);
}

TEST_F(JamBaseTest, NetmailRoundTrip) {
  MessageRecord original;
  Fill(original, "Sysop");
  original.orig_point = 7;
  original.dest_point = 3;
  original.msgid = "2:5020/1.7 12345678";
  original.msgid_present = original.intl_present = true;
  original.date_text = FormatDate(original.date_written);
  original.stored_number = 1;
  original.tear_line = " ";
  original.has_tear_line = true;
  original.attribute_flags[0] = original.attribute_flags[4] = true;   // Pvt, Att
  original.attribute_flags[3] = original.attribute_flags[17] = true;  // Snt, deleted bit
  original.subject = "C:\\FILES\\NODELIST.ZIP";
  auto base = CreateBase();
  ASSERT_TRUE(base->WriteMessage(1, original));
  MessageRecord back;
  ASSERT_TRUE(base->ReadMessage(1, back));
  original.stored_type = MessageType::kNetmail;
  EXPECT_EQ(DumpRecordWithout(back, kNotStored), DumpRecordWithout(original, kNotStored));
  EXPECT_EQ(back.intl.str(), "2:5020/2 2:5020/1");
}

TEST_F(JamBaseTest, DatesBefore1970AndInvalidDates) {
  auto base = CreateBase();
  MessageRecord old;
  Fill(old, "Old");
  old.date_written = {1969, 7, 20, 20, 17, 0};
  old.date_arrived = {};  // no date: replaced by the current time
  ASSERT_TRUE(base->WriteMessage(1, old));
  ASSERT_TRUE(base->Flush());
  EXPECT_TRUE(IsValidDate(old.date_arrived));
  EXPECT_EQ(StoredHeader(1).date_written, 0u);
  MessageRecord back;
  ASSERT_TRUE(base->ReadMessage(1, back));
  EXPECT_EQ(back.date_written, (DateTime{1970, 1, 1, 0, 0, 0}));
  EXPECT_EQ(back.date_arrived, old.date_arrived);
}

TEST_F(JamBaseTest, RewriteKeepsCountAndMarksOldHeader) {
  auto base = BaseWith(3);
  base->SetNextReply(2, 3);
  size_t old_offset = HeaderOffsetOf(2);
  MessageRecord r;
  Fill(r, "Replacement");
  ASSERT_TRUE(base->WriteMessage(2, r));
  EXPECT_EQ(StoredHeader(2).reply_next, 3u);  // the sibling link survives
  EXPECT_EQ(base->count(), 3);
  EXPECT_EQ(base->base_header().active_msgs, 3u);
  EXPECT_EQ(base->base_header().mod_counter, 5u);
  EXPECT_EQ(StoredBaseHeader().mod_counter, 5u);
  MessageHeader old = StoredHeaderAt(old_offset);
  EXPECT_TRUE(old.attribute & jam::kMsgDeleted);
  EXPECT_EQ(old.txt_offset, 0u);
  EXPECT_EQ(old.txt_len, 0u);
  EXPECT_GT(HeaderOffsetOf(2), HeaderOffsetOf(3));
  EXPECT_EQ(StoredHeader(2).message_number, 2u);
  MessageRecord back;
  ASSERT_TRUE(base->ReadMessage(2, back));
  EXPECT_EQ(back.to_name.str(), "Replacement");
  EXPECT_EQ(back.body.Contents(), "Text for Replacement\r");
  // An append right after that read starts without its links.
  ASSERT_TRUE(base->WriteMessage(4, back));
  ASSERT_TRUE(base->Flush());
  EXPECT_EQ(StoredHeader(4).reply_next, 0u);
}

TEST_F(JamBaseTest, DeleteLeavesAHoleThatCanBeRefilled) {
  auto base = BaseWith(3);
  ASSERT_TRUE(base->DeleteMessage(2));
  EXPECT_FALSE(base->MessageExists(2));
  MessageRecord r;
  r.subject = "untouched";
  EXPECT_FALSE(base->ReadMessage(2, r));
  EXPECT_EQ(r.subject.str(), "untouched");
  EXPECT_EQ(base->count(), 3);
  EXPECT_EQ(Bytes(".jdx").substr(8, 8), std::string(8, '\xff'));
  EXPECT_EQ(StoredBaseHeader().active_msgs, 2u);
  EXPECT_EQ(StoredBaseHeader().mod_counter, 4u);
  EXPECT_FALSE(base->DeleteMessage(2));
  EXPECT_FALSE(base->DeleteMessage(0));
  EXPECT_FALSE(base->DeleteMessage(4));

  Fill(r, "Refill");
  ASSERT_TRUE(base->WriteMessage(2, r));
  EXPECT_EQ(base->count(), 3);
  EXPECT_EQ(StoredBaseHeader().active_msgs, 3u);
  ASSERT_TRUE(base->ReadMessage(2, r));
  EXPECT_EQ(r.to_name.str(), "Refill");
}

TEST_F(JamBaseTest, MessageExistsBounds) {
  auto base = BaseWith(2);
  EXPECT_FALSE(base->MessageExists(0));
  EXPECT_TRUE(base->MessageExists(1));
  EXPECT_TRUE(base->MessageExists(2));
  EXPECT_FALSE(base->MessageExists(3));
  EXPECT_FALSE(base->MessageExists(-1));
  MessageRecord r;
  EXPECT_FALSE(base->WriteMessage(0, r));
  JamBase closed;
  EXPECT_FALSE(closed.MessageExists(1));
  EXPECT_FALSE(closed.ReadMessage(1, r));
  EXPECT_FALSE(closed.WriteMessage(1, r));
}

TEST_F(JamBaseTest, ReplyChainsStayAscending) {
  auto base = BaseWith(7);
  for (int reply : {4, 2, 6, 3, 5}) base->AddReply(1, reply);
  base->AddReply(1, 2);  // twice: no change
  base->AddReply(1, 4);
  base->AddReply(1, 1);  // to itself: nothing
  base->AddReply(1, 9);  // missing: nothing
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{2, 3, 4, 5, 6}));
  for (int reply = 2; reply <= 6; ++reply) EXPECT_EQ(base->GetReplyTo(reply), 1);
  EXPECT_EQ(base->GetFirstReply(1), 2);
  EXPECT_EQ(base->GetNextReply(6), 0);
  EXPECT_EQ(base->GetReplyTo(7), 0);

  // Delete from the middle, the start and the end of the chain.
  ASSERT_TRUE(base->DeleteMessage(4));
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{2, 3, 5, 6}));
  ASSERT_TRUE(base->DeleteMessage(2));
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{3, 5, 6}));
  ASSERT_TRUE(base->DeleteMessage(6));
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{3, 5}));
  // A new reply lands in order behind the survivors.
  base->AddReply(1, 7);
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{3, 5, 7}));

  // The links survive reopening: they are in the file.
  base.reset();
  auto again = OpenBase();
  EXPECT_EQ(Replies(*again, 1), (std::vector<int32_t>{3, 5, 7}));
  EXPECT_EQ(again->GetReplyTo(5), 1);
}

TEST_F(JamBaseTest, ReplyLinkCache) {
  auto base = BaseWith(3);
  base->SetReplyTo(2, 1);
  EXPECT_EQ(base->GetReplyTo(2), 1);
  base->SetReplyTo(2, 3);  // the cached number: the cache follows
  EXPECT_EQ(base->GetReplyTo(2), 3);
  // A number that does not exist: -1 at first, then 0; never the values of
  // the number asked before.
  EXPECT_EQ(base->GetReplyTo(9), -1);
  EXPECT_EQ(base->GetReplyTo(9), 0);
  base->LoadReplyLinks(2);
  EXPECT_EQ(base->GetReplyTo(2), 3);
}

TEST_F(JamBaseTest, DamagedChainsEndTheWalks) {
  auto base = BaseWith(6);
  base->SetFirstReply(1, 2);
  base->SetReplyTo(2, 1);
  base->SetReplyTo(3, 1);
  base->SetNextReply(2, 3);
  base->SetNextReply(3, 2);  // a cycle
  // The walk round the cycle stops after as many steps as there are
  // messages.
  std::vector<int32_t> replies = Replies(*base, 1);
  ASSERT_EQ(replies.size(), 8u);
  EXPECT_EQ(replies[0], 2);
  EXPECT_EQ(replies[7], 3);
  base->AddReply(1, 5);  // the walk goes round the cycle, bounded
  EXPECT_EQ(base->GetReplyTo(5), 1);
  ASSERT_TRUE(base->DeleteMessage(6));  // not linked at all
  base->SetReplyTo(4, 1);               // claims a parent whose chain lacks it
  ASSERT_TRUE(base->DeleteMessage(4));

  // Links to deleted and missing messages.
  base->SetFirstReply(1, 6);
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{6}));
  base->SetFirstReply(1, 2);
  base->SetNextReply(2, 99);
  base->SetNextReply(3, -5);
  EXPECT_EQ(Replies(*base, 1), (std::vector<int32_t>{2, 99}));
  base->SetReplyTo(2, 77);
  ASSERT_TRUE(base->DeleteMessage(2));
  // The first reply is gone: the new one takes its place.
  base->AddReply(1, 3);
  EXPECT_EQ(base->GetReplyTo(3), 1);
  EXPECT_EQ(base->GetFirstReply(1), 3);
}

TEST_F(JamBaseTest, MarkRead) {
  auto base = BaseWith(2);
  std::string base_header = Bytes(".jhr").substr(0, 1024);
  base->MarkRead(2);
  base->MarkRead(2);
  base->MarkRead(5);
  EXPECT_EQ(StoredHeader(2).times_read, 2u);
  EXPECT_EQ(StoredHeader(1).times_read, 0u);
  EXPECT_EQ(Bytes(".jhr").substr(0, 1024), base_header);
  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(2, r));
  EXPECT_EQ(r.times_read, 2);
}

// ---------------------------------------------------------------------------
// Damaged files

class JamDamageTest : public JamBaseTest {
 protected:
  void SetUp() override { BaseWith(3).reset(); }

  // Opens the damaged base, reads every message, and checks that reading
  // changed nothing.  Returns which messages read.
  std::string ReadAll() {
    std::string before = AllFiles();
    std::string result;
    {
      auto base = OpenBase();
      if (!base) return "not opened";
      for (int32_t n = 1; n <= base->count(); ++n) {
        MessageRecord r;
        result += base->ReadMessage(n, r) ? "+" : "-";
        (void)base->RereadMessage(n, r);
        (void)base->ReadMessageHeader(n, r);
        base->GetNextReply(n);
      }
    }
    EXPECT_EQ(AllFiles(), before) << "reading changed the base";
    return result;
  }
};

TEST_F(JamDamageTest, Undamaged) {
  EXPECT_EQ(ReadAll(), "+++");
  PutU32At(".jhr", 20, 100);  // BaseMsgNum does not shift the numbering
  EXPECT_EQ(ReadAll(), "+++");
}

TEST_F(JamDamageTest, SignatureOrRevisionSuffices) {
  size_t offset = HeaderOffsetOf(2);
  PutU32At(".jhr", offset, 0x12345678);  // signature gone, revision 1 left
  EXPECT_EQ(ReadAll(), "+++");
  PutU32At(".jhr", offset + 4, 2);  // revision gone too
  EXPECT_EQ(ReadAll(), "+-+");
  auto base = OpenBase();
  MessageRecord r;
  r.subject = "kept";
  EXPECT_FALSE(base->ReadMessage(2, r));
  EXPECT_EQ(r.state, kRecordCleared);
  EXPECT_FALSE(base->DeleteMessage(2));
}

// A SubfieldLen that says more than is stored (some writers count 16 bytes
// per subfield header): the subfields read up to the end of the .jhr or up
// to the next message's header, never into it.
TEST_F(JamDamageTest, SubfieldLengthBeyondTheFile) {
  auto receiver = [this](int32_t n) {
    auto base = OpenBase();
    MessageRecord r;
    EXPECT_TRUE(base->ReadMessage(n, r)) << n;
    return r.to_name.str() + "/" + r.subject.str();
  };
  PutU32At(".jhr", HeaderOffsetOf(3) + 8, 0xFFFFFFF0);
  EXPECT_EQ(ReadAll(), "+++");
  EXPECT_EQ(receiver(3), "Receiver 3/About Receiver 3");
  PutU32At(".jhr", HeaderOffsetOf(2) + 8, U32At(".jhr", HeaderOffsetOf(2) + 8) + 3 * 8);
  EXPECT_EQ(ReadAll(), "+++");
  EXPECT_EQ(receiver(2), "Receiver 2/About Receiver 2");
}

TEST_F(JamDamageTest, TextBeyondTheFile) {
  PutU32At(".jhr", HeaderOffsetOf(1) + 64, 0xFFFFFFFF);  // TxtLen
  PutU32At(".jhr", HeaderOffsetOf(2) + 60, 0x00100000);  // TxtOffset
  EXPECT_EQ(ReadAll(), "--+");
}

TEST_F(JamDamageTest, IndexEntriesPointingAstray) {
  PutU32At(".jdx", 4, static_cast<uint32_t>(HeaderOffsetOf(1) + 30));  // into a header
  PutU32At(".jdx", 12, 16);                                            // into the base header
  PutU32At(".jdx", 20, 0x7FFFFF00);                                    // past the end
  EXPECT_EQ(ReadAll(), "---");
  const std::string before = AllFiles();
  auto base = OpenBase();
  EXPECT_FALSE(base->MessageExists(2));
  EXPECT_FALSE(base->MessageExists(3));
  for (int32_t n = 1; n <= 3; ++n) {
    base->MarkRead(n);
    base->SetReplyTo(n, 1);
    base->AddReply(n, 1);
    EXPECT_FALSE(base->DeleteMessage(n));
  }
  EXPECT_EQ(AllFiles(), before);
}

TEST_F(JamDamageTest, IndexSizeNotAMultipleOfEight) {
  std::string jdx = Bytes(".jdx");
  ASSERT_TRUE(WriteFileBytes(File(".jdx"), jdx.substr(0, 20)));
  EXPECT_EQ(ReadAll(), "++");
  auto base = OpenBase();
  ASSERT_EQ(base->count(), 2);
  MessageRecord r;
  Fill(r, "Third again");
  ASSERT_TRUE(base->WriteMessage(3, r));  // appends over the stray bytes
  ASSERT_TRUE(base->Flush());
  EXPECT_EQ(base->count(), 3);
  EXPECT_EQ(Bytes(".jdx").size(), 24u);
  base.reset();
  EXPECT_EQ(ReadAll(), "+++");
}

TEST_F(JamDamageTest, ShortHeaderFileDoesNotOpen) {
  ASSERT_TRUE(WriteFileBytes(File(".jhr"), Bytes(".jhr").substr(0, 1023)));
  JamBase base;
  EXPECT_FALSE(base.Open(kDenyWrite, dir_ / "area"));
  EXPECT_EQ(base.error_state(), kBaseBad);
  MessageRecord r;
  EXPECT_FALSE(base.ReadMessage(1, r));
  // Create afterwards starts an empty base, whatever the failed open saw.
  ASSERT_TRUE(base.Create(kDenyWrite, dir_ / "area"));
  EXPECT_EQ(base.count(), 0);
  EXPECT_EQ(base.base_header().active_msgs, 0u);
}

TEST_F(JamDamageTest, MissingFilesDoNotOpen) {
  ASSERT_EQ(std::remove(File(".jdt").c_str()), 0);
  EXPECT_EQ(ReadAll(), "not opened");
}

TEST_F(JamDamageTest, RandomByteFlips) {
  auto base = BaseWith(8);
  for (int i = 2; i <= 8; ++i) base->AddReply(i / 2, i);
  base.reset();
  const std::string jhr = Bytes(".jhr"), jdt = Bytes(".jdt"), jdx = Bytes(".jdx");
  std::mt19937 random(1234567);
  for (int round = 0; round < 150; ++round) {
    std::string files[3] = {jhr, jdt, jdx};
    for (int flips = 1 + random() % 6; flips > 0; --flips) {
      std::string& f = files[random() % 3];
      if (f.empty()) continue;
      uint8_t value = random() % 3 == 0 ? 0xFF : static_cast<uint8_t>(random());
      f[random() % f.size()] = static_cast<char>(value);
    }
    ASSERT_TRUE(WriteFileBytes(File(".jhr"), files[0]));
    ASSERT_TRUE(WriteFileBytes(File(".jdt"), files[1]));
    ASSERT_TRUE(WriteFileBytes(File(".jdx"), files[2]));
    ReadAll();
    // Changing operations on a damaged base must not crash or hang either.
    if (auto damaged = OpenBase()) {
      damaged->AddReply(1, 5);
      (void)damaged->DeleteMessage(2);
      damaged->MarkRead(3);
      MessageRecord r;
      Fill(r, "New");
      (void)damaged->WriteMessage(4, r);
    }
  }
}

// ---------------------------------------------------------------------------
// Copies in the stored form

class JamCopyTest : public JamBaseTest {
 protected:
  // The source "area": three messages, the third with every header field
  // set as other software may set it, echomail type, an unknown subfield
  // and a SubfieldLen that counts 8 bytes more than the file holds.
  void SetUp() override {
    BaseWith(3).reset();
    const size_t third = HeaderOffsetOf(3);
    PutU32At(".jhr", third + 12, 7);            // TimesRead
    PutU32At(".jhr", third + 24, 1);            // ReplyTo
    PutU32At(".jhr", third + 28, 2);            // Reply1st
    PutU32At(".jhr", third + 32, 9);            // ReplyNext: no such message
    PutU32At(".jhr", third + 40, 0x12345678);   // DateReceived
    PutU32At(".jhr", third + 52, 0x01000004);   // Attribute: TYPEECHO, private
    PutU32At(".jhr", third + 56, 0x0BADF00D);   // Attribute2
    PutU32At(".jhr", third + 68, 0xCAFEBABE);   // PasswordCRC
    const std::string unknown = std::string("\x0f\x27\0\0", 4) + Le32(5) + "extra";
    ASSERT_TRUE(testing::WriteFileBytes(File(".jhr"), Bytes(".jhr") + unknown));
    const uint32_t subfield_len = U32At(".jhr", third + 8);
    PutU32At(".jhr", third + 8, subfield_len + static_cast<uint32_t>(unknown.size()) + 8);
    source_ = OpenBase();
    ASSERT_TRUE(source_);
    copy_ = std::make_unique<JamBase>();
    ASSERT_TRUE(copy_->Create(kDenyWrite, dir_ / "copy"));
    MessageRecord r;
    Fill(r, "Already there");
    ASSERT_TRUE(copy_->WriteMessage(1, r));
    ASSERT_TRUE(copy_->Flush());
  }

  std::string CopyBytes(std::string_view extension) const {
    return ReadFileBytes(dir_ / ("copy" + std::string(extension)));
  }

  std::unique_ptr<JamBase> source_;
  std::unique_ptr<JamBase> copy_;
};

// Header, subfields, text and name CRC arrive as stored; the message number,
// the links and the text offset are the new place's.
TEST_F(JamCopyTest, KeepsEveryByteButNumberLinksAndPlace) {
  LinkMap links;
  links.Add(1, 5);
  links.Add(2, 7);
  links.Seal();
  const uint32_t text_offset = static_cast<uint32_t>(CopyBytes(".jdt").size());
  ASSERT_TRUE(copy_->CopyStoredMessage(*source_, 3, &links));
  EXPECT_EQ(copy_->count(), 2);
  EXPECT_EQ(copy_->base_header().active_msgs, 2u);
  EXPECT_EQ(copy_->base_header().mod_counter, 3u);
  ASSERT_TRUE(copy_->Close());

  const size_t from = HeaderOffsetOf(3);
  const std::string jhr = Bytes(".jhr");
  const std::string original = jhr.substr(from, 76 + (jhr.size() - from - 76));
  const size_t to = testing::JamHeaderOffset(dir_ / "copy", 2);
  const std::string copied = CopyBytes(".jhr").substr(to);
  std::string expected = original;
  expected.replace(24, 12, Le32(5) + Le32(7) + Le32(0));  // ReplyTo, Reply1st, ReplyNext
  expected.replace(48, 4, Le32(2));                       // MessageNumber
  expected.replace(60, 4, Le32(text_offset));             // TxtOffset
  EXPECT_EQ(testing::Printable(copied), testing::Printable(expected));
  const MessageHeader header = StoredHeader(3);
  EXPECT_EQ(CopyBytes(".jdt").substr(text_offset), Bytes(".jdt").substr(header.txt_offset));
  EXPECT_EQ(Le32At(CopyBytes(".jdx"), 8), U32At(".jdx", 16));  // the name CRC

  // It reads as the original does, but for the number and the links.
  auto reopened = std::make_unique<JamBase>();
  ASSERT_TRUE(reopened->Open(kDenyWrite, dir_ / "copy"));
  MessageRecord a, b;
  ASSERT_TRUE(source_->ReadMessage(3, a));
  ASSERT_TRUE(reopened->ReadMessage(2, b));
  // (The MSGID that reading makes up for a message without one is new each
  // time.)
  const std::initializer_list<std::string_view> numbers = {"reply_to", "replies",
                                                            "stored_number", "msgid"};
  EXPECT_EQ(DumpRecordWithout(b, numbers), DumpRecordWithout(a, numbers));
}

TEST_F(JamCopyTest, WithoutALinkMapTheLinksAreZero) {
  ASSERT_TRUE(copy_->CopyStoredMessage(*source_, 3, nullptr));
  ASSERT_TRUE(copy_->Close());
  const std::string copied = CopyBytes(".jhr").substr(testing::JamHeaderOffset(dir_ / "copy", 2));
  EXPECT_EQ(copied.substr(24, 12), std::string(12, '\0'));
}

// What a sort asks before it writes anything: would the copy, in the same
// place, carry other numbers or links?
TEST_F(JamCopyTest, TellsWhetherACopyRenumbers) {
  JamBase fresh;
  ASSERT_TRUE(fresh.Create(kDenyWrite, dir_ / "fresh"));
  LinkMap same;
  for (uint32_t id = 1; id <= 3; ++id) same.Add(id, id);
  same.Seal();
  EXPECT_FALSE(fresh.CopyRenumbers(*source_, 1, same));
  EXPECT_TRUE(fresh.CopyRenumbers(*source_, 3, same));  // its ReplyNext names no message
  EXPECT_FALSE(fresh.CopyRenumbers(*source_, 2, same));
  LinkMap swapped;
  swapped.Add(1, 2);
  swapped.Add(2, 1);
  swapped.Seal();
  EXPECT_TRUE(fresh.CopyRenumbers(*source_, 3, swapped));
  source_.reset();
  PutU32At(".jhr", HeaderOffsetOf(1) + 48, 5);  // a MessageNumber other than its place
  source_ = OpenBase();
  EXPECT_TRUE(fresh.CopyRenumbers(*source_, 1, same));
}

TEST_F(JamCopyTest, FailedCopyLeavesTheBaseAsItWas) {
  ASSERT_TRUE(copy_->Close());
  const std::string before = CopyBytes(".jhr") + CopyBytes(".jdt") + CopyBytes(".jdx");
  FaultsUntilSuccess(20, [&](int writes) {
    JamBase copy;
    EXPECT_TRUE(copy.Open(kDenyWrite, dir_ / "copy"));
    const bool copied = WithWriteFault(
        writes, [&] { return copy.CopyStoredMessage(*source_, 3, nullptr) && copy.Flush(); });
    EXPECT_TRUE(copy.Close() || !copied);
    if (!copied) {
      EXPECT_EQ(CopyBytes(".jhr") + CopyBytes(".jdt") + CopyBytes(".jdx"), before);
    }
    return copied;
  });
}

// ---------------------------------------------------------------------------
// Failed writes

// Appends reach the files in one batch; every write of it fails once in
// turn (a full disk): the base keeps, whole, the messages before the first
// one that could not be written, and its counters say how many; when none
// could, the files are as they were.
TEST_F(JamBaseTest, FailedAppendLeavesTheBaseAsItWas) {
  BaseWith(2).reset();
  const std::string before = AllFiles();
  FaultsUntilSuccess(40, [&](int writes) {
    auto base = OpenBase();
    EXPECT_TRUE(base);
    if (!base) return false;
    const bool succeeded = WithWriteFault(writes, [&] {
      for (int32_t n = 3; n <= 5; ++n) {
        MessageRecord r;
        Fill(r, "Receiver " + std::to_string(n));
        if (!base->WriteMessage(n, r)) return false;
      }
      return base->Flush();
    });
    const int32_t kept = base->count();
    EXPECT_EQ(base->base_header().active_msgs, static_cast<uint32_t>(kept));
    EXPECT_EQ(kept == 5, succeeded);
    base.reset();
    auto again = OpenBase();
    EXPECT_TRUE(again);
    if (!again) return false;
    EXPECT_EQ(again->count(), kept);
    EXPECT_EQ(again->base_header().active_msgs, static_cast<uint32_t>(kept));
    MessageRecord back;
    for (int32_t n = 1; n <= again->count(); ++n) {
      EXPECT_TRUE(again->ReadMessage(n, back));
      EXPECT_EQ(back.to_name.str(), "Receiver " + std::to_string(n));
    }
    if (kept == 2) {
      EXPECT_EQ(AllFiles(), before);
    }
    return succeeded;
  });
  EXPECT_EQ(StoredBaseHeader().active_msgs, 5u);
}

TEST_F(JamBaseTest, FailedRewriteKeepsAReadableMessage) {
  BaseWith(3).reset();
  FaultsUntilSuccess(20, [&](int writes) {
    auto base = OpenBase();
    MessageRecord r;
    Fill(r, "Replacement");
    const bool succeeded = WithWriteFault(writes, [&] { return base->WriteMessage(2, r); });
    base.reset();
    auto again = OpenBase();
    EXPECT_EQ(again->count(), 3);
    MessageRecord back;
    for (int n = 1; n <= 3; ++n) EXPECT_TRUE(again->ReadMessage(n, back));
    EXPECT_TRUE(again->ReadMessage(2, back));
    // Either message 2 is still the old one, with its text, or the new one.
    EXPECT_EQ(back.body.Contents(), "Text for " + back.to_name.str() + "\r");
    if (succeeded) {
      EXPECT_EQ(back.to_name.str(), "Replacement");
    }
    return succeeded;
  });
}

TEST_F(JamBaseTest, FailedDeleteKeepsTheMessage) {
  BaseWith(2).reset();
  auto base = OpenBase();
  EXPECT_FALSE(WithWriteFault(0, [&] { return base->DeleteMessage(1); }));
  EXPECT_TRUE(base->MessageExists(1));
  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(1, r));
  EXPECT_EQ(r.to_name.str(), "Receiver 1");
}

}  // namespace
}  // namespace quil
