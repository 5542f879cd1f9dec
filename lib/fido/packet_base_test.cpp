// Tests of the packet base: header and message bytes, indexing, appending,
// deletions, damaged packets and failed writes.
#include "fido/packet_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

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
using Bodies = std::vector<std::string>;

constexpr uint32_t kSharing = platform::kDenyWrite;

std::string Bytes(std::span<const uint8_t> b) { return std::string(b.begin(), b.end()); }

// One packed message: type word, fixed header, names, text, NUL.
std::string Packed(std::string_view from, std::string_view text, std::string_view to = "All") {
  PackedHeader h;
  h.orig_net = h.dest_net = 5020;
  h.date_text = "05 Mar 01  17:30:08";
  return "\x02\0"s + Bytes(EncodePackedHeader(h)) + std::string(to) + '\0' + std::string(from) +
         "\0Subject\0"s + std::string(text) + '\0';
}

std::string Packet(const std::vector<std::string>& messages, uint16_t type = kPacketType) {
  PacketHeader h;
  h.packet_type = type;
  std::string p = Bytes(EncodePacketHeader(h));
  for (const std::string& m : messages) p += m;
  return p + "\0\0"s;
}

const std::vector<std::string> kThree = {Packed("One", "AREA:TEST\rFirst\r"),
                                         Packed("Two", "AREA:TEST\rSecond\r"),
                                         Packed("Three", "AREA:TEST\rThird\r")};

// The bodies of all messages, "!" for one that fails to read.
Bodies ReadAll(PacketBase& base) {
  Bodies bodies;
  for (int n = 1; n <= base.count(); ++n) {
    MessageRecord r;
    bodies.push_back(base.ReadMessage(n, r) ? r.body.Contents() : "!");
  }
  return bodies;
}

Bodies ReadFile(const std::string& path) {
  PacketBase base;
  return base.Open(kSharing, path) ? ReadAll(base) : Bodies{"no packet"};
}

bool Append(const std::string& path, std::string_view body) {
  PacketBase base;
  MessageRecord r;
  r.body.Write(body);
  return base.Open(kSharing, path) && base.WriteMessage(base.count() + 1, r);
}

void FillEcho(MessageRecord& r) {
  r.from_name = "Ivan Petrov";
  r.to_name = "All";
  r.subject = "Hello";
  r.area = "ECHO.TEST";
  r.date_written = {2001, 3, 5, 17, 30, 8};
  r.orig_zone = r.dest_zone = 2;
  r.orig_net = r.dest_net = 5020;
  r.orig_node = 1, r.dest_node = 0;
  r.orig_point = r.dest_point = 0;
  r.cost = 7;
  r.msgid = "2:5020/1 1234abcd";
  r.body.Write("Hello, world\r");
  r.origin = "Home ";
  r.has_origin = true;
  r.path_lines.Insert("5020/1");
}

TEST(PacketFormatTest, PacketHeaderBytesArePinned) {
  // clang-format off
  PacketHeader h{0x0100, 0x0302, 0x0504, 0x0706, 0x0908, 0x0b0a, 0x0d0c, 0x0f0e, 0x1110,
                 0x1312, 0x1514, 0x1716, 0x18,   0x19,   {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'},
                 0x2322, 0x2524, 0x2726, 0x2928, 0x2a,   0x2b,   0x2d2c, 0x2f2e, 0x3130,
                 0x3332, 0x3534, {0x36, 0x37, 0x38, 0x39}};
  // clang-format on
  std::string expected;
  for (char c = 0; c < 26; ++c) expected += c;
  expected += "ABCDEFGH";
  for (char c = 0x22; c <= 0x39; ++c) expected += c;
  PacketHeaderBytes b = EncodePacketHeader(h);
  EXPECT_EQ(Printable(Bytes(b)), Printable(expected));
  EXPECT_EQ(DecodePacketHeader(b), h);
}

TEST(PacketFormatTest, AppendPointCompletesTheLastMessageAndOverwritesNothingOfIt) {
  // The last message's type word is at 1000; its fixed header is 1002-1033.
  struct {
    int64_t end;   // of its span
    int64_t size;  // of the file
    size_t nuls;   // it has behind its fixed header
    int64_t position;
    size_t fill;
  } cases[] = {
      {1100, 1103, 4, 1101, 0},  // over the terminator behind its NUL
      {1100, 1101, 4, 1101, 0},  // the file ends behind its NUL
      {1100, 5000, 4, 1101, 0},  // over what follows a terminator
      {1200, 1200, 3, 1200, 1},  // the text's NUL is missing
      {1200, 1200, 0, 1200, 4},  // cut in the to name
      {1200, 1200, 4, 1200, 1},  // damaged: a NUL inside its text; closed, kept
      {1012, 1012, 0, 1012, 22 + 4},  // cut in the fixed header
  };
  for (const auto& c : cases) {
    AppendPoint at = FindAppendPoint(PacketSpan{1000, c.end}, c.size, c.nuls);
    EXPECT_EQ(at.position, c.position) << c.end << " " << c.size << " " << c.nuls;
    EXPECT_EQ(at.fill, c.fill) << c.end << " " << c.size << " " << c.nuls;
  }
}

TEST(PacketBaseTest, AddressesAndPasswordGoToTheHeader) {
  PacketBase base;
  base.SetOriginAddress("2:5020/123.4");
  base.SetDestinationAddress("5020/56");
  base.SetPassword("123456789");
  const PacketHeader& h = base.packet_header();
  EXPECT_EQ(h.orig_zone_fts, 2);
  EXPECT_EQ(base.GetOriginAddress(), "2:5020/123.4");
  EXPECT_EQ(base.GetDestinationAddress(), "5020:56/0");
  EXPECT_EQ(base.GetPassword(), "12345678");
  EXPECT_EQ(Bytes(EncodePacketHeader(h)).substr(26, 10), "12345678\x02\0"s);
}

TEST(PacketBaseTest, CreatedPacketIsSixtyBytesAndTheFirstAppendGoesOverTheTerminator) {
  TempDir dir;
  std::string path = dir / "out/new.pkt";
  auto base = std::make_unique<PacketBase>();
  base->SetOriginAddress("2:5020/1.7");
  ASSERT_TRUE(base->Create(kSharing, path));
  std::string head = ReadFileBytes(path);
  ASSERT_EQ(head.size(), kPacketHeadSize);
  EXPECT_EQ(head.substr(58), "\0\0"s);
  DateTime now;
  SetNow(&now);
  EXPECT_EQ(base->packet_header().year, now.year);
  EXPECT_EQ(base->packet_header().month + 1, now.month);
  EXPECT_EQ(base->packet_header().packet_type, 2);
  EXPECT_EQ(base->packet_header().orig_point, 7);

  MessageRecord r;
  FillEcho(r);
  ASSERT_TRUE(base->WriteMessage(1, r));
  ASSERT_TRUE(base->Flush());
  EXPECT_EQ(r.state, kRecordWritten);
  EXPECT_EQ(r.date_text.str(), "05 Mar 01  17:30:08");
  // clang-format off
  std::string message =
      "\x02\0" "\x01\0" "\0\0" "\x9c\x13" "\x9c\x13" "\0\0" "\x07\0" "05 Mar 01  17:30:08\0"
      "All\0Ivan Petrov\0Hello\0AREA:ECHO.TEST\r\x01MSGID: 2:5020/1 1234abcd\rHello, world\r"
      " * Origin: Home (2:5020/1)\r\x01PATH: 5020/1\r\0"s;
  // clang-format on
  EXPECT_EQ(Printable(ReadFileBytes(path)), Printable(head.substr(0, 58) + message + "\0\0"s));
  ASSERT_TRUE(base->WriteMessage(2, r));
  base.reset();
  EXPECT_EQ(ReadFileBytes(path), head.substr(0, 58) + message + message + "\0\0"s);
}

TEST(PacketBaseTest, EchomailAndNetmailRoundTrip) {
  TempDir dir;
  std::string path = dir / "a.pkt";
  MessageRecord echo, net, echo1, net1, echo2, net2;
  FillEcho(echo);
  net.from_name = "Ivan";
  net.date_written = {2001, 3, 5, 17, 30, 8};
  net.orig_zone = 2, net.orig_net = 5020, net.orig_node = 1, net.orig_point = 7;
  net.dest_zone = 1, net.dest_net = 234, net.dest_node = 56, net.dest_point = 3;
  net.intl = "1:234/56 2:5020/1";
  net.msgid = "2:5020/1.7 1234abcd";
  net.attribute_flags[0] = net.attribute_flags[22] = true;
  net.body.Write("Private words\r");
  {
    PacketBase base;
    ASSERT_TRUE(base.Create(kSharing, path));
    ASSERT_TRUE(base.WriteMessage(1, echo));
    ASSERT_TRUE(base.WriteMessage(2, net));
    ASSERT_TRUE(base.ReadMessage(1, echo1));
    ASSERT_TRUE(base.ReadMessage(2, net1));
    ASSERT_TRUE(base.WriteMessage(3, echo1));
    ASSERT_TRUE(base.WriteMessage(4, net1));
  }
  EXPECT_EQ(echo1.area.str(), "ECHO.TEST");
  EXPECT_EQ(echo1.cost, 7);
  EXPECT_EQ(echo1.body.Contents(), "Hello, world\r");
  EXPECT_EQ(echo1.FormatOriginAddress(), "2:5020/1");
  EXPECT_EQ(net1.area.str(), "");
  EXPECT_EQ(net1.FormatOriginAddress(), "2:5020/1.7");  // INTL and FMPT
  EXPECT_EQ(net1.FormatDestinationAddress(), "1:234/56.3");
  EXPECT_EQ(net1.attributes, kAttrPrivate);
  EXPECT_EQ(net1.flags.str(), "IMM");

  PacketBase base;
  ASSERT_TRUE(base.Open(kSharing, path));
  ASSERT_TRUE(base.ReadMessage(3, echo2));
  ASSERT_TRUE(base.ReadMessage(4, net2));
  std::initializer_list<std::string_view> omit = {"date_arrived", "state"};
  EXPECT_EQ(testing::DumpRecordWithout(echo2, omit), testing::DumpRecordWithout(echo1, omit));
  EXPECT_EQ(testing::DumpRecordWithout(net2, omit), testing::DumpRecordWithout(net1, omit));
  ASSERT_TRUE(base.ReadMessageHeader(1, echo2));
  EXPECT_EQ(echo2.msgid.str(), "2:5020/1 1234abcd");
  EXPECT_EQ(echo2.body.GetSize(), 0);
}

TEST(PacketBaseTest, BytesThePacketCanNotHoldAreLeftOut) {
  TempDir dir;
  std::string path = dir / "a.pkt";
  MessageRecord r, back;
  r.to_name = "To\rname";
  r.from_name = "Fr\0o\x02m\x1f"s;
  r.area = "TAG\rX";
  r.body.Write("A\0B\0\x02\0C\r"s);
  {
    PacketBase base;
    ASSERT_TRUE(base.Create(kSharing, path));
    ASSERT_TRUE(base.WriteMessage(1, r));
    ASSERT_TRUE(base.WriteMessage(2, r));
  }
  PacketBase base;
  ASSERT_TRUE(base.Open(kSharing, path));
  ASSERT_EQ(base.count(), 2);
  ASSERT_TRUE(base.ReadMessage(2, back));
  EXPECT_EQ(back.to_name.str() + "|" + back.from_name.str() + "|" + back.area.str(),
            "Toname|From|TAG");
  EXPECT_EQ(back.body.Contents(), "AB\x02"s + "C\r");
}

// Tossers refuse a whole packet in which a name is longer than 35
// characters or the subject longer than 71: both are cut to fit, while a
// longer one in a packet from elsewhere is still read.
TEST(PacketBaseTest, NamesAndSubjectAreCutToWhatTossersAccept) {
  TempDir dir;
  std::string path = dir / "a.pkt";
  MessageRecord r, back;
  r.to_name = std::string(35, 't') + "TO";
  r.from_name = std::string(35, 'f') + "FROM";
  r.subject = std::string(71, 's') + "SUBJECT";
  {
    PacketBase base;
    ASSERT_TRUE(base.Create(kSharing, path));
    ASSERT_TRUE(base.WriteMessage(1, r));
  }
  std::string names = ReadFileBytes(path).substr(kPacketHeadSize + kPackedHeaderSize);
  EXPECT_EQ(names.substr(0, 36 + 36 + 72), std::string(35, 't') + '\0' + std::string(35, 'f') +
                                               '\0' + std::string(71, 's') + '\0');

  ASSERT_TRUE(WriteFileBytes(path, Packet({Packed(std::string(40, 'f'), "Text\r", "To")})));
  PacketBase base;
  ASSERT_TRUE(base.Open(kSharing, path));
  ASSERT_TRUE(base.ReadMessage(1, back));
  EXPECT_EQ(back.from_name.str(), std::string(40, 'f'));
}

TEST(PacketBaseTest, AreaLineIsRecognisedInAnyCase) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  ASSERT_TRUE(WriteFileBytes(
      path, Packet({Packed("A", "area:Echo\r\nBody\r"), Packed("B", "AREAFIX\rBody\r"),
                    Packed("C", "ARE"), Packed("D", "AREA:" + std::string(300, 'x'))})));
  PacketBase base;
  ASSERT_TRUE(base.Open(kSharing, path));
  EXPECT_EQ(ReadAll(base), (Bodies{"Body\r", "AREAFIX\rBody\r", "ARE", ""}));
  MessageRecord r;
  ASSERT_TRUE(base.ReadMessage(1, r));
  EXPECT_EQ(r.area.str(), "Echo");
  ASSERT_TRUE(base.ReadMessage(4, r));
  EXPECT_EQ(r.area.str(), std::string(250, 'x'));  // the line keeps 255 characters
}

TEST(PacketBaseTest, CreateOnAnExistingPacketKeepsItsMessages) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::string original = Packet(kThree);
  ASSERT_TRUE(WriteFileBytes(path, original));
  PacketBase base;
  base.SetDestinationAddress("2:5020/9");
  ASSERT_TRUE(base.Create(kSharing, path));
  EXPECT_EQ(ReadAll(base), (Bodies{"First\r", "Second\r", "Third\r"}));
  EXPECT_EQ(base.packet_header().dest_node, 9);
  EXPECT_NE(base.packet_header().year, 0);
  EXPECT_EQ(ReadFileBytes(path).substr(kPacketHeaderSize), original.substr(kPacketHeaderSize));
}

TEST(PacketBaseTest, DeletedMessagesAreRemovedWhenTheBaseIsDestroyed) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  ASSERT_TRUE(WriteFileBytes(path, Packet(kThree)));
  {
    PacketBase base;
    ASSERT_TRUE(base.Open(kSharing, path));
    ASSERT_TRUE(base.DeleteMessage(2));
    ASSERT_TRUE(base.DeleteMessage(2));  // marking twice is marking once
    EXPECT_FALSE(base.DeleteMessage(4));
    EXPECT_EQ(ReadAll(base), (Bodies{"First\r", "Second\r", "Third\r"}));
  }
  EXPECT_EQ(ReadFileBytes(path), Packet({kThree[0], kThree[2]}));
  EXPECT_FALSE(PathExists(path + ".tmp"));

  PacketBase base;
  ASSERT_TRUE(base.Open(kSharing, path));
  MessageRecord r;
  r.body.Write("New\r");
  ASSERT_TRUE(base.WriteMessage(1, r));  // an overwritten message moves to the end
  EXPECT_EQ(ReadAll(base), (Bodies{"Third\r", "New\r"}));
  ASSERT_TRUE(base.DeleteMessage(1));
  ASSERT_TRUE(base.DeleteMessage(2));
  ASSERT_TRUE(base.ApplyDeletions());
  EXPECT_EQ(base.count(), 0);
  EXPECT_EQ(ReadFileBytes(path), Packet({}));
}

TEST(PacketBaseTest, BoundariesAcrossReadBlocksAreFound) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  // Message 1's closing NUL, and the boundary behind it, land on each
  // position around the end of the first 1 MiB block read, which starts at
  // message 1's to name (its text starts 14 bytes later); a NUL inside the
  // text makes the walk search for that boundary.
  constexpr size_t kBlock = size_t{1} << 20;
  for (size_t length = kBlock - 14 - 6; length <= kBlock - 14 + 3; ++length) {
    for (std::string text : {std::string(length, 't'), "x\0"s + std::string(length - 2, 't')}) {
      ASSERT_TRUE(WriteFileBytes(path, Packet({Packed("1", text), Packed("2", "Two\r"),
                                               Packed("3", std::string(70000, 'x'))})));
      Bodies bodies = ReadFile(path);
      ASSERT_EQ(bodies.size(), 3u) << length;
      EXPECT_EQ(bodies[0], text);
      EXPECT_EQ(bodies[1], "Two\r");
    }
  }
}

TEST(PacketBaseTest, PacketWithoutTerminatorLosesNoByte) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::string full = Packet(kThree);
  for (auto [cut, last] : {std::pair{1, "Third\r"}, {2, "Third\r"}, {3, "Third\r"}, {5, "Thir"}}) {
    SCOPED_TRACE(cut);
    std::string file = full.substr(0, full.size() - cut);
    ASSERT_TRUE(WriteFileBytes(path, file));
    EXPECT_EQ(ReadFile(path), (Bodies{"First\r", "Second\r", last}));
    EXPECT_EQ(ReadFileBytes(path), file);
    // Appending completes the packet for every reader.
    ASSERT_TRUE(Append(path, "Fourth\r"));
    EXPECT_EQ(ReadFileBytes(path).substr(0, full.size() - 5), full.substr(0, full.size() - 5));
    EXPECT_EQ(ReadFileBytes(path).substr(ReadFileBytes(path).size() - 3), "\0\0\0"s);
    EXPECT_EQ(ReadFile(path), (Bodies{"First\r", "Second\r", last, "Fourth\r"}));
  }
}

// A packed message is copied from its type word through its NUL as it is
// stored (the header of the packet it goes into stays that packet's); one
// cut short inside its names gets the NULs it lacks, and one cut short
// inside its fixed header is refused.
TEST(PacketBaseTest, StoredCopyKeepsThePackedMessage) {
  TempDir dir;
  const std::string odd = Packed("Odd\x01name", "AREA:TEST\r\x01TZUTC: 0300\rText\r\r");
  ASSERT_TRUE(WriteFileBytes(dir / "in.pkt", Packet({kThree[0], odd})));
  ASSERT_TRUE(WriteFileBytes(dir / "cut.pkt", Packet({kThree[1]}).substr(0, 58 + 34 + 5)));
  ASSERT_TRUE(WriteFileBytes(dir / "short.pkt", Packet({kThree[1]}).substr(0, 58 + 20)));
  PacketBase source, cut, too_short, copy;
  ASSERT_TRUE(source.Open(kSharing, dir / "in.pkt"));
  ASSERT_TRUE(cut.Open(kSharing, dir / "cut.pkt"));
  ASSERT_TRUE(too_short.Open(kSharing, dir / "short.pkt"));
  copy.SetOriginAddress("2:5020/9");
  ASSERT_TRUE(copy.Create(kSharing, dir / "out.pkt"));
  const std::string head = ReadFileBytes(dir / "out.pkt").substr(0, 58);
  ASSERT_TRUE(copy.CopyStoredMessage(source, 2, nullptr));
  ASSERT_TRUE(copy.CopyStoredMessage(cut, 1, nullptr));
  EXPECT_FALSE(copy.CopyStoredMessage(too_short, 1, nullptr));
  EXPECT_EQ(copy.count(), 2);
  ASSERT_TRUE(copy.Close());
  // "All", NUL, "T" (the from name cut short): the NULs of from name,
  // subject and text follow.
  const std::string cut_message = kThree[1].substr(0, 34 + 5) + "\0\0\0"s;
  EXPECT_EQ(Printable(ReadFileBytes(dir / "out.pkt")),
            Printable(head + odd + cut_message + "\0\0"s));
}

TEST(PacketBaseTest, EveryCutOfAPacketOpensReadsAndTakesAnAppend) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::string full = Packet(kThree);
  for (size_t size = 0; size <= full.size(); ++size) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(WriteFileBytes(path, full.substr(0, size)));
    Bodies before = ReadFile(path);
    ASSERT_LE(before.size(), 3u);
    ASSERT_EQ(ReadFileBytes(path), full.substr(0, size));
    ASSERT_TRUE(Append(path, "Appended\r"));
    Bodies after = ReadFile(path);
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.back(), "Appended\r");
  }
}

TEST(PacketBaseTest, OddFilesOpenAsTheyShouldAndStayUnchanged) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  // Of another type: refused by Open and Create, and not rewritten.
  std::string type3 = Packet(kThree, 3);
  ASSERT_TRUE(WriteFileBytes(path, type3));
  PacketBase base;
  EXPECT_FALSE(base.Open(kSharing, path));
  EXPECT_EQ(base.error_state(), kBaseBad);
  EXPECT_FALSE(base.Create(kSharing, path));
  EXPECT_EQ(ReadFileBytes(path), type3);
  // An empty one opens, but takes no message.
  ASSERT_TRUE(WriteFileBytes(path, Packet({}, 3)));
  EXPECT_EQ(ReadFile(path), Bodies{});
  EXPECT_FALSE(Append(path, "Text\r"));
  EXPECT_EQ(ReadFileBytes(path), Packet({}, 3));

  // Shorter than a header: empty, until a message gives it one.
  for (size_t size : {0, 59}) {
    ASSERT_TRUE(WriteFileBytes(path, std::string(size, '\x02')));
    EXPECT_EQ(ReadFile(path), Bodies{});
    EXPECT_EQ(ReadFileBytes(path), std::string(size, '\x02'));
    ASSERT_TRUE(Append(path, "Text\r"));
    EXPECT_EQ(ReadFile(path), Bodies{"Text\r"});
  }

  // A to name that runs to the end of the file.
  std::string one = Packet({Packed("1", "Text\r")});
  std::string endless = one.substr(0, one.size() - 2) + "\x02\0"s +
                        std::string(kPackedHeaderSize, '\x01') + std::string(5000, 'n');
  ASSERT_TRUE(WriteFileBytes(path, endless));
  EXPECT_EQ(ReadFile(path).size(), 2u);
  EXPECT_EQ(ReadFileBytes(path), endless);
  ASSERT_TRUE(base.Open(kSharing, path));
  MessageRecord r;
  ASSERT_TRUE(base.ReadMessage(2, r));
  EXPECT_EQ(r.to_name.str(), std::string(255, 'n'));
}

// Messages are found by walking their fields; the boundary pattern is
// searched for only behind a message that is followed by something else
// than the next type word or the terminator.  Appending keeps every message.
TEST(PacketBaseTest, MessagesAreFoundByTheirFields) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  const std::string two = Packed("2", "Two\r");
  const std::string first = Packet({Packed("1", "One\r")});  // ends 00 00 00
  PackedHeader boundary_inside;
  boundary_inside.orig_node = 0x0200;  // the header bytes 00 02 00 ...
  const std::string header_with_boundary =
      "\x02\0"s + Bytes(EncodePackedHeader(boundary_inside)) + "To\0From\0Subj\0One\r\0"s;
  struct {
    const char* name;
    std::string packet;
    Bodies bodies;
  } cases[] = {
      {"BoundaryInTheNames", Packet({Packed("\x02", "One\r", ""), two}), {"One\r", "Two\r"}},
      {"BoundaryInTheFixedHeader", Packet({header_with_boundary, two}), {"One\r", "Two\r"}},
      {"NulInsideAText", Packet({Packed("1", "O\0ne\r"s), two}), {"O\0ne\r"s, "Two\r"}},
      {"NulInsideTheLastText", Packet({Packed("1", "O\0ne\r"s)}), {"O\0ne\r"s}},
      {"JunkBehindTheTerminator", first + "junk", {"One\r"}},
      {"FillerBehindTheTerminator", first + std::string(5000, '\0'), {"One\r"}},
      {"MessageBehindJunk", first + "junk\0"s + two + "\0\0"s, {"One\r", "Two\r"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFileBytes(path, c.packet));
    EXPECT_EQ(ReadFile(path), c.bodies);
    ASSERT_TRUE(Append(path, "New\r"));
    Bodies appended = c.bodies;
    appended.push_back("New\r");
    EXPECT_EQ(ReadFile(path), appended);
  }
}

// The bodies of messages 1 to count read in the order `order` gives,
// stored by number.
Bodies ReadInOrder(PacketBase& base, const std::vector<int>& order) {
  Bodies bodies(static_cast<size_t>(base.count()), "?");
  for (int n : order) {
    MessageRecord r;
    bodies[static_cast<size_t>(n) - 1] = base.ReadMessage(n, r) ? r.body.Contents() : "!";
  }
  return bodies;
}

// The orders a reader may go through messages 1 to count in: front to
// back, back to front, every other one, two blocks of 64 at a time and the
// block between skipped and then read, and shuffled.
std::vector<std::vector<int>> ReadingOrders(int count) {
  std::vector<int> onward(static_cast<size_t>(count));
  for (int n = 1; n <= count; ++n) onward[static_cast<size_t>(n) - 1] = n;
  std::vector<int> backward(onward.rbegin(), onward.rend());
  std::vector<int> alternate, skipping;
  for (int n = 1; n <= count; n += 2) alternate.push_back(n);
  for (int n = 2; n <= count; n += 2) alternate.push_back(n);
  for (int n = 1; n <= count; ++n) {
    if ((n - 1) / 64 % 2 == 0) skipping.push_back(n);
  }
  for (int n = 1; n <= count; ++n) {
    if ((n - 1) / 64 % 2 == 1) skipping.push_back(n);
  }
  std::vector<int> shuffled = onward;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  return {onward, backward, alternate, skipping, shuffled};
}

// A large packet with damage in the middle reads the same open for reading
// only (where every 64th message lies is kept, the others walked again) as
// open for writing (every message's place kept), in every order.
TEST(PacketBaseTest, LargePacketsReadTheSameInEveryOrder) {
  TempDir dir;
  const std::string path = dir / "in.pkt";
  std::vector<std::string> front, back;
  Bodies expected;
  for (int i = 0; i < 300; ++i) {
    // Texts of up to 3 KB make a block of 64 messages more than one read.
    std::string text = "Message " + std::to_string(i) + "\r" + std::string(i % 7 * 500, 'x');
    if (i == 70) text = "A NUL\0inside\r"s;
    (i < 130 ? front : back).push_back(Packed(i == 200 ? "\x02" : "F", text));
    expected.push_back(text);
  }
  // Behind message 130 the terminator and bytes that are no message.
  ASSERT_TRUE(WriteFileBytes(path, Packet(front) + "junk\0"s + Packet(back).substr(kPacketHeaderSize)));
  for (Access access : {Access::kReadOnly, Access::kReadWrite}) {
    for (const std::vector<int>& order : ReadingOrders(300)) {
      SCOPED_TRACE(::testing::Message() << (access == Access::kReadOnly ? "read only, " : "")
                                      << "first " << order[0] << ", then " << order[1]);
      PacketBase base;
      base.set_access(access);
      ASSERT_TRUE(base.Open(kSharing, path));
      ASSERT_EQ(base.count(), 300);
      EXPECT_EQ(ReadInOrder(base, order), expected);
    }
  }
}

// Appended messages read back in every order while the packet is still
// open, and the same after opening it again; also after a batch that failed
// to be written, and with a stored copy of a damaged message among them
// whose walk would end elsewhere in the new packet: a packet that ends
// inside a text that holds a NUL, on bytes 00 02.
TEST(PacketBaseTest, AppendedMessagesReadBackInEveryOrder) {
  TempDir dir;
  const std::string damaged = Packet({Packed("D", "A NUL\0inside\0\x02"s)});
  ASSERT_TRUE(WriteFileBytes(dir / "in.pkt", damaged.substr(0, damaged.size() - 3)));
  for (bool copy_damaged : {false, true}) {
    SCOPED_TRACE(copy_damaged ? "with a damaged copy" : "written only");
    const std::string path = dir / "out.pkt";
    ASSERT_EQ(platform::DeleteFile(path), PathExists(path) ? platform::kOk : platform::kNotFound);
    PacketBase source, out;
    ASSERT_TRUE(source.Open(kSharing, dir / "in.pkt"));
    ASSERT_TRUE(out.Create(kSharing, path));
    Bodies expected;
    auto append = [&](int i) {
      if (copy_damaged && i == 100) {
        MessageRecord r;
        EXPECT_TRUE(source.ReadMessage(1, r));
        expected.push_back(r.body.Contents());
        return out.CopyStoredMessage(source, 1, nullptr);
      }
      MessageRecord r;
      expected.push_back("Message " + std::to_string(i) + "\r" + std::string(i % 5 * 400, 'y'));
      r.body.Write(expected.back());
      return out.WriteMessage(out.count() + 1, r);
    };
    for (int i = 0; i < 150; ++i) ASSERT_TRUE(append(i));
    ASSERT_TRUE(out.Flush());
    // A second batch that the disk refuses: the packet is what it was.
    for (int i = 150; i < 260; ++i) ASSERT_TRUE(append(i));
    EXPECT_FALSE(testing::WithWriteFault(0, [&] { return out.Flush(); }));
    expected.resize(150);
    ASSERT_EQ(out.count(), 150);
    for (const std::vector<int>& order : ReadingOrders(150)) {
      EXPECT_EQ(ReadInOrder(out, order), expected) << "first " << order[0];
    }
    for (int i = 150; i < 230; ++i) ASSERT_TRUE(append(i));
    ASSERT_EQ(out.count(), 230);
    EXPECT_EQ(ReadInOrder(out, ReadingOrders(230)[1]), expected);
    EXPECT_FALSE(out.Close());  // it tells of the batch that was lost
    if (!copy_damaged) {
      EXPECT_EQ(ReadFile(path), expected);
    }
  }
}

TEST(PacketBaseTest, RandomlyDamagedPacketsNeverCrash) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::vector<std::string> messages = kThree;
  messages.push_back(Packed("4", "\x01MSGID: 1:2/3 12345678\rText\r--- x\r"));
  std::string good = Packet(messages);
  std::mt19937 random(1234);
  for (int round = 0; round < 200; ++round) {
    std::string bad = good;
    for (int i = 1 + static_cast<int>(random() % 6); i > 0; --i) {
      bad[kPacketHeaderSize + random() % (bad.size() - kPacketHeaderSize)] =
          static_cast<char>(random() % 4 == 0 ? 0 : random());
    }
    if (round % 4 == 0) bad.resize(random() % bad.size());
    ASSERT_TRUE(WriteFileBytes(path, bad));
    Bodies before = ReadFile(path);
    ASSERT_EQ(ReadFileBytes(path), bad);
    {
      PacketBase base;
      ASSERT_TRUE(base.Open(kSharing, path));
      if (round % 4 == 1 && base.count() >= 2) {
        ASSERT_TRUE(base.DeleteMessage(2));
      }
    }
    ASSERT_TRUE(Append(path, "x\r"));
    EXPECT_EQ(ReadFile(path).back(), "x\r");
  }
}

// Every write of an append (which goes to the file with its batch) fails
// in turn until enough succeed: until then the result is false and the
// file is exactly what it was.
TEST(PacketBaseTest, FailedAppendLeavesTheFileAsItWas) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::string original = Packet(kThree);
  ASSERT_TRUE(WriteFileBytes(path, original));
  MessageRecord r;
  r.body.Write(std::string(10000, 'x'));
  const int faults = testing::FaultsUntilSuccess(20, [&](int writes) {
    PacketBase base;
    EXPECT_TRUE(base.Open(kSharing, path));
    if (testing::WithWriteFault(writes,
                                [&] { return base.WriteMessage(4, r) && base.Flush(); })) {
      return true;
    }
    EXPECT_EQ(base.count(), 3);
    EXPECT_EQ(ReadFileBytes(path), original);
    return false;
  });
  EXPECT_GE(faults, 2);
  EXPECT_EQ(ReadFile(path).size(), 4u);
}

TEST(PacketBaseTest, FailedRewriteKeepsTheOldPacket) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::vector<std::string> messages;
  for (int i = 0; i < 40; ++i) messages.push_back(Packed("F", std::string(1000, 'a' + i % 26)));
  std::string original = Packet(messages);
  ASSERT_TRUE(WriteFileBytes(path, original));
  const int faults = testing::FaultsUntilSuccess(40, [&](int writes) {
    PacketBase base;
    EXPECT_TRUE(base.Open(kSharing, path));
    EXPECT_TRUE(base.DeleteMessage(2));
    if (testing::WithWriteFault(writes, [&] { return base.ApplyDeletions(); })) return true;
    EXPECT_EQ(base.count(), 40);  // the marks are dropped, the packet read again
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_FALSE(PathExists(path + ".tmp"));
    return false;
  });
  EXPECT_GE(faults, 3);
  messages.erase(messages.begin() + 1);
  std::string shorter = Packet(messages);
  EXPECT_EQ(ReadFileBytes(path), shorter);
  {
    PacketBase base;  // the rewrite at destruction fails the same way
    ASSERT_TRUE(base.Open(kSharing, path));
    ASSERT_TRUE(base.DeleteMessage(1));
    platform::InjectWriteFault(1, platform::kDiskFull);
  }
  platform::InjectWriteFault(-1, platform::kOk);
  EXPECT_EQ(ReadFileBytes(path), shorter);
}

TEST(PacketBaseTest, PacketHeldByAnotherOpenIsNeitherOpenedNorTruncated) {
  TempDir dir;
  std::string path = dir / "in.pkt";
  std::string original = Packet(kThree);
  ASSERT_TRUE(WriteFileBytes(path, original));
  PacketBase holder;
  ASSERT_TRUE(holder.Open(kSharing, path));
  PacketBase other;
  EXPECT_FALSE(other.Open(kSharing, path));
  EXPECT_FALSE(other.Create(kSharing, path));
  EXPECT_FALSE(other.is_open());
  EXPECT_EQ(ReadFileBytes(path), original);
}

}  // namespace
}  // namespace quil
