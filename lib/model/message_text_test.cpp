#include "model/message_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace quil {
namespace {

using testing::DumpRecord;
using testing::DumpRecordWithout;
using testing::Printable;

// Reads stored text the way every base kind does after its header.
bool ReadOnly(std::string_view text, MessageRecord& r) {
  MemoryStream stream(4096);
  stream.Write(text);
  return ReadText(stream, 0, static_cast<int64_t>(text.size()), false, r);
}

void Read(std::string_view text, MessageRecord& r) {
  r.Clear();
  ReadOnly(text, r);
  r.ConvertFlags(Direction::kReading);
  r.Normalise();
}

std::string Write(MessageRecord& r) {
  r.ConvertFlags(Direction::kWriting);
  MemoryStream out(4096);
  WriteText(r, out);
  return out.Contents();
}

std::string Body(MessageRecord& r) { return r.body.Contents(); }

std::string Lines(const StringList& list) {
  std::string out;
  for (const auto& line : list) out += "[" + Printable(line) + "]";
  return out;
}

const char kTail[] =
    "Hello\r--- \r * Origin: Home (2:5020/1)\rSEEN-BY: 5020/1\r\x01PATH: 5020/1\r";

// The text fields that the cases below look at, by name.
std::string Field(MessageRecord& r, const std::string& name) {
  if (name == "body") return Body(r);
  if (name == "msgid") return r.msgid.str();
  if (name == "reply") return r.reply.str();
  if (name == "intl") return r.intl.str();
  if (name == "pid") return r.pid.str();
  if (name == "tid") return r.tid.str();
  if (name == "flags") return r.flags.str();
  if (name == "tear") return r.tear_line.str();
  if (name == "origin") return r.origin.str();
  if (name == "points") return std::to_string(r.orig_point) + " " + std::to_string(r.dest_point);
  if (name == "routing") return Lines(r.routing_lines);
  if (name == "control") return Lines(r.control_lines);
  if (name == "seenby") return Lines(r.seenby_lines);
  if (name == "path") return Lines(r.path_lines);
  ADD_FAILURE() << "no field " << name;
  return "";
}

TEST(ReadTextTest, LinesGoToTheirFieldsAndTheRestToTheBody) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    std::vector<std::pair<std::string, std::string>> fields;  // name, value
    bool normalise = false;  // read as every base kind does, flags and addresses completed
  } const cases[] = {
      // clang-format off
      {"\x01MSGID: 2:5020/1 1234abcd\rHello\r",
       {{"msgid", "2:5020/1 1234abcd"}, {"body", "Hello\r"}}},
      // CR LF line ends: the trailing block's scan takes the last LF too.
      {"Hello\r\n--- \r\n * Origin: Home (2:5020/1)\r\nSEEN-BY: 5020/1\r\n\x01PATH: 5020/1\r\n",
       {{"body", "Hello\r"}, {"origin", "Home "}, {"seenby", "[5020/1]"}}, true},
      // A second tear line above the one found stays in the body.
      {"Text\r--- one\r--- two\r", {{"tear", " two"}, {"body", "Text\r--- one\r"}}},
      {"Text\r\x01Via 1:2/3 A\r\x01Via 1:2/3 B\r",
       {{"routing", "[\\x01Via 1:2/3 A][\\x01Via 1:2/3 B]"}, {"body", "Text\r"}}},
      // Two identical lines at the top: one routing line, one other kludge.
      {"\x01Via x\r\x01Via x\rText\r",
       {{"routing", "[\\x01Via x]"}, {"control", "[\\x01Via x]"}, {"body", "Text\r"}}},
      // Two identical lines at the bottom: the upper one ends the scan.
      {"Text\r\x01Via x\r\x01Via x\r",
       {{"routing", "[\\x01Via x]"}, {"body", "Text\r\x01Via x\r"}}},
      // A routing line is stored with the prefix in its fixed case.
      {"Text\r\x01via z\r\x01RECD q\r", {{"routing", "[\\x01Via z][\\x01Recd q]"}}},
      // Repeated PATH and SEEN-BY lines stay in text order, right below the
      // kludges (an empty body) as well as at the bottom.
      {"\x01PID: x\rSEEN-BY: 1/1\rSEEN-BY: 2/2\r\x01PATH: 1/1\r\x01PATH: 2/2\r",
       {{"seenby", "[1/1][2/2]"}, {"path", "[1/1][2/2]"}}},
      {"Text\rSEEN-BY: 1/1\rSEEN-BY: 1/1\rSEEN-BY: 2/2\r\x01PATH: 9/9\r\x01PATH: 9/9\r",
       {{"seenby", "[1/1][1/1][2/2]"}, {"path", "[9/9][9/9]"}, {"body", "Text\r"}}},
      // Kludges go to their fields; a second, identical CHRS line is not
      // recognised and ends the leading block there.
      {"\x01INTL 2:5020/1 2:5020/2\r\x01topt 3\r\x01" "FMPT 4\r\x01MSGID: 2:5020/2.4 0a1b2c3d\r"
       "\x01REPLY: 2:5020/1 11223344\r\x01" "FLAGS DIR\r\x01PID: Ed 1.0\r\x01TID: Tosser 2\r"
       "\x01" "CHRS: CP866 2\r\x01" "CHRS: CP866 2\r\rBody\r",
       {{"intl", "2:5020/1 2:5020/2"}, {"points", "4 3"}, {"msgid", "2:5020/2.4 0a1b2c3d"},
        {"reply", "2:5020/1 11223344"}, {"flags", "DIR"}, {"pid", "Ed 1.0"}, {"tid", "Tosser 2"},
        {"control", "[\\x01" "CHRS: CP866 2]"}, {"body", "\x01" "CHRS: CP866 2\r\rBody\r"}}},
      // A field's line without a value keeps the value of the line above.
      {"\x01MSGID: 2:5020/1 1234abcd\r\x01MSGID: \r\x01PID: \rHello\r",
       {{"msgid", "2:5020/1 1234abcd"}, {"pid", ""}, {"body", "Hello\r"}}},
      // Blank lines inside the leading block stay in the body.
      {"\x01PID: a\r\r\x01TID: b\rBody\r", {{"pid", "a"}, {"tid", "b"}, {"body", "\rBody\r"}}},
      // Only control lines leave an empty body.
      {"\x01MSGID: 1:2/3 12345678\r--- x\r * Origin: here (1:2/3)\rSEEN-BY: 2/3\r",
       {{"body", ""}, {"tear", " x"}, {"seenby", "[2/3]"}}},
      {"\x01PATH: 1/1", {{"path", "[1/1]"}, {"body", ""}}},
      // Trailing NULs never reach the body.
      {"Hello\r\0\0\0\0"s, {{"body", "Hello\r"}}},
      {std::string(5000, '\0'), {{"body", ""}}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Printable(c.text.substr(0, 60)));
    MessageRecord r;
    if (c.normalise) {
      Read(c.text, r);
    } else {
      EXPECT_TRUE(ReadOnly(c.text, r));
    }
    for (const auto& [name, value] : c.fields) EXPECT_EQ(Field(r, name), value) << name;
  }
}

TEST(ReadTextTest, TrailingBlockWithCrLineEnds) {
  MessageRecord r;
  Read(kTail, r);
  EXPECT_EQ(Body(r), "Hello\r");
  EXPECT_EQ(r.tear_line.str(), " ");
  EXPECT_TRUE(r.has_tear_line);
  EXPECT_EQ(r.origin.str(), "Home ");
  EXPECT_TRUE(r.has_origin);
  EXPECT_EQ(r.orig_zone, 2);
  EXPECT_EQ(r.orig_net, 5020);
  EXPECT_EQ(r.orig_node, 1);
  EXPECT_EQ(r.orig_point, 0);
  EXPECT_EQ(Lines(r.seenby_lines), "[5020/1]");
  EXPECT_EQ(Lines(r.path_lines), "[5020/1]");

  // Written back: the generated MSGID line, then the same five lines.  The
  // generated INTL is not written: the message is echomail.
  std::string written = Write(r);
  std::string expected_tail(kTail);
  ASSERT_GE(written.size(), expected_tail.size());
  EXPECT_EQ(written.substr(written.size() - expected_tail.size()), expected_tail);
  std::string head = written.substr(0, written.size() - expected_tail.size());
  EXPECT_EQ(head, "\x01MSGID: " + r.msgid.str() + "\r");
}

TEST(ReadTextTest, FiveDashesAtTheTopAreTheTearLine) {
  MessageRecord r;
  Read("-----\rBody text\r", r);
  EXPECT_EQ(r.tear_line.str(), "--");
  EXPECT_EQ(Body(r), "Body text\r");
  std::string written = Write(r);
  EXPECT_NE(written.find("Body text\r-----\r"), std::string::npos) << Printable(written);
}

TEST(ReadTextTest, EmptyOrImpossibleRangeFailsWithoutTouchingTheRecord) {
  MessageRecord r;
  r.subject = "kept";
  MemoryStream stream(4096);
  stream.Write("abc");
  EXPECT_FALSE(ReadText(stream, 2, 2, false, r));
  EXPECT_FALSE(ReadText(stream, 0, 4, false, r));
  EXPECT_EQ(r.subject.str(), "kept");
  EXPECT_EQ(Body(r), "");
}

TEST(ReadTextTest, HeaderOnlyScanParsesKludgesAndLeavesTheBody) {
  MemoryStream stream(4096);
  stream.Write("junk\x01PID: p\r\x01MSGID: 1:2/3 4\rBody\rmore");
  MessageRecord r;
  r.body.Write("untouched");
  ASSERT_TRUE(ReadText(stream, 4, 28, true, r));
  EXPECT_EQ(r.pid.str(), "p");
  EXPECT_EQ(r.msgid.str(), "1:2/3 4");
  EXPECT_EQ(Body(r), "untouched");
}

// The trailing scan reads backwards and keeps the last 255 bytes of a line:
// a longer body line whose end looks like a tear, origin or SEEN-BY line is
// body text, not a line below the body.
TEST(ReadTextTest, ALongLineIsNoLineBelowTheBody) {
  for (const std::string tail : {"--- Tosser", " * Origin: Home (2:5020/1)", "SEEN-BY: 5020/1"}) {
    const std::string last = std::string(300, 'x') + tail;
    MessageRecord r;
    Read("Body\r" + last, r);
    EXPECT_EQ(Body(r), "Body\r" + last) << tail;
    EXPECT_FALSE(r.has_tear_line || r.has_origin || r.seenby_lines.count() > 0) << tail;
  }
}

TEST(ReadTextTest, HostileShapesDoNotCrash) {
  const std::string cases[] = {
      std::string(1000, '\r'),
      std::string(1000, '\x01'),
      std::string(100000, 'x'),
      "\x01" + std::string(300, 'K'),
      "Text\r" + std::string("SEEN-BY: ") + std::string(400, '9'),
      "\x01PATH: 1/1",
      "\n\r\n\r\r\n",
      std::string("\x01MSGID:\0\0\0", 10),
  };
  for (const auto& text : cases) {
    MessageRecord r;
    Read(text, r);
    EXPECT_LE(r.msgid.size(), 255u);
    for (const auto& line : r.seenby_lines) EXPECT_LE(line.size(), 255u);
  }
}

// Netmail from 2:5020/1.7 to 2:5020/2.3 with an INTL text.
void FillPointNetmail(MessageRecord& r) {
  r.orig_zone = r.dest_zone = 2;
  r.orig_net = r.dest_net = 5020;
  r.orig_node = 1;
  r.dest_node = 2;
  r.orig_point = 7;
  r.dest_point = 3;
  r.intl = "2:5020/2 2:5020/1";
}

TEST(WriteTextTest, NetmailKludgesComeFirstIntlLeadingAndEchomailHasNone) {
  MessageRecord r;
  FillPointNetmail(r);
  r.msgid = "2:5020/1.7 abcdef01";
  r.control_lines.Insert("\x01" "CHRS: CP866 2");
  r.body.Write("Body\r");
  EXPECT_EQ(Write(r),
            "\x01INTL 2:5020/2 2:5020/1\r\x01"
            "FMPT 7\r\x01TOPT 3\r"
            "\x01MSGID: 2:5020/1.7 abcdef01\r\x01"
            "CHRS: CP866 2\rBody\r");
  // A point that is not set is written as no point.
  r.orig_point = kAddressNotSet;
  r.dest_point = kAddressNotSet;
  EXPECT_EQ(Write(r).substr(0, 30), "\x01INTL 2:5020/2 2:5020/1\r\x01MSGID");
  r.orig_point = 7;
  r.area = "ECHO";
  EXPECT_EQ(Write(r), "\x01MSGID: 2:5020/1.7 abcdef01\r\x01" "CHRS: CP866 2\rBody\r");
  // An echomail origin line is written even when its text is empty.
  r.has_origin = true;
  EXPECT_EQ(Write(r).substr(Write(r).find("Body")), "Body\r * Origin: (2:5020/1.7)\r");
}

// Which messages are echomail, and so get no INTL, FMPT or TOPT: any sign
// of echomail makes one, but an origin line only where nothing says the
// message is netmail (netmail may carry an origin line).
TEST(WriteTextTest, EchomailIsKnownByItsSigns) {
  struct Case {
    const char* name;
    void (*shape)(MessageRecord&);
    bool echomail;
  };
  const Case cases[] = {
      {"nothing", [](MessageRecord&) {}, false},
      {"area tag", [](MessageRecord& r) { r.area = "ECHO"; }, true},
      {"SEEN-BY", [](MessageRecord& r) { r.seenby_lines.Insert("5020/1"); }, true},
      {"PATH", [](MessageRecord& r) { r.path_lines.Insert("5020/1"); }, true},
      {"stored type echomail", [](MessageRecord& r) { r.stored_type = MessageType::kEchomail; },
       true},
      {"origin line", [](MessageRecord& r) { r.has_origin = true; }, true},
      {"origin line and an INTL line of its own",
       [](MessageRecord& r) { r.has_origin = r.intl_present = true; }, false},
      {"origin line and stored type netmail",
       [](MessageRecord& r) {
         r.has_origin = true;
         r.stored_type = MessageType::kNetmail;
       },
       false},
      {"PATH and stored type netmail",
       [](MessageRecord& r) {
         r.path_lines.Insert("5020/1");
         r.stored_type = MessageType::kNetmail;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageRecord r;
    FillPointNetmail(r);
    r.origin = "Home ";
    c.shape(r);
    EXPECT_EQ(r.IsEchomail(), c.echomail);
    const std::string written = Write(r);
    for (std::string_view kludge :
         {control_line::kIntl, control_line::kFmpt, control_line::kTopt}) {
      EXPECT_EQ(written.find(kludge) != std::string::npos, !c.echomail) << Printable(kludge);
    }
  }
}

// Every line written stays one line when read again: a value loses the CR
// and LF it can not hold as a line, and the lines below the body start on a
// line of their own when the body ends inside a line.
TEST(WriteTextTest, EveryLineStaysALineOfItsOwn) {
  // What a read of the text gives: body | MSGID | control | SEEN-BY | routing |
  // tear | origin.
  auto read_back = [](const std::string& text) {
    MessageRecord r;
    ReadOnly(text, r);
    auto list = [](const StringList& lines) {
      std::string joined;
      for (const std::string& line : lines) joined += "[" + line + "]";
      return joined;
    };
    return Printable(Body(r) + "|" + r.msgid.str() + "|" + list(r.control_lines) + "|" +
                     list(r.seenby_lines) + "|" + list(r.routing_lines) + "|" +
                     r.tear_line.str() + "|" + r.origin.str());
  };
  struct {
    const char* what;
    std::function<void(MessageRecord&)> fill;
    std::string text;
    std::string read;
  } const cases[] = {
      {"body without a final line end",
       [](MessageRecord& r) {
         r.body.Write("Body");
         r.seenby_lines.Insert("5020/1");
       },
       "Body\rSEEN-BY: 5020/1\r", "Body\r|||[5020/1]|||"},
      {"body ending in LF",
       [](MessageRecord& r) {
         r.body.Write("Body\n");
         r.tear_line = " x";
         r.has_tear_line = true;
       },
       "Body\n--- x\r", "Body\n||||| x|"},
      {"line ends inside values",
       [](MessageRecord& r) {
         r.msgid = "1:2/3\r\n 12345678";
         r.control_lines.Insert("\x01" "CHRS: CP866\r2");
         r.seenby_lines.Insert("5020/1\n2");
         r.routing_lines.Insert("\x01Via 1:2/3\r@x");
       },
       "\x01MSGID: 1:2/3 12345678\r\x01" "CHRS: CP8662\rSEEN-BY: 5020/12\r\x01Via 1:2/3@x\r",
       "|1:2/3 12345678|[\x01" "CHRS: CP8662]|[5020/12]|[\x01Via 1:2/3@x]||"},
      {"nothing below an open body", [](MessageRecord& r) { r.body.Write("Body"); }, "Body",
       "Body||||||"},
      // A line read backwards keeps its last 255 bytes: one longer would lose
      // its prefix and end the lines below the body there.
      {"lines below the body no longer than a reader takes",
       [](MessageRecord& r) {
         r.body.Write("Body\r");
         r.tear_line = std::string(260, 't');
         r.has_tear_line = true;
         r.origin = std::string(250, 'o');
         r.has_origin = true;
         r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 1, r.orig_point = 0;
         r.seenby_lines.Insert(std::string(255, '1'));
       },
       "Body\r---" + std::string(252, 't') + "\r * Origin: " + std::string(234, 'o') +
           "(2:5020/1)\rSEEN-BY: " + std::string(246, '1') + "\r",
       "Body\r|||[" + std::string(246, '1') + "]||" + std::string(252, 't') + "|" +
           std::string(234, 'o') + "(2:5020/1)"},
  };
  for (const auto& c : cases) {
    MessageRecord r;
    c.fill(r);
    const std::string text = Write(r);
    EXPECT_EQ(Printable(text), Printable(c.text)) << c.what;
    EXPECT_EQ(read_back(text), Printable(c.read)) << c.what;
  }
}

// A corpus of realistic texts: read, write, read again gives the same
// record, and a further cycle changes nothing.
TEST(TextRoundTripTest, RealisticMessagesSurviveReadWriteRead) {
  const std::string corpus[] = {
      // Echomail with the usual kludges and tail.
      "\x01MSGID: 2:5020/1.7@fidonet 0a1b2c3d\r\x01REPLY: 2:5020/2 11223344\r\x01PID: Ed 1.0\r"
      "\x01TID: Tosser 2.1\r\x01" "CHRS: CP866 2\rHi All!\r\rFirst line.\r\r--- Ed 1.0\r"
      " * Origin: The Station (2:5020/1.7)\rSEEN-BY: 5020/1 2 3\rSEEN-BY: 5030/4\r"
      "\x01PATH: 5020/1\r",
      // Netmail with INTL, points and routing lines, CR LF line ends.
      "\x01INTL 1:2/3 2:5020/1\r\n\x01" "FMPT 7\r\n\x01TOPT 1\r\n\x01MSGID: 2:5020/1.7 deadbeef\r\n"
      "\x01" "FLAGS DIR IMM\r\nHello there,\r\n\r\nbye.\r\n\x01Via 2:5020/1 @20010101.000000\r\n"
      "\x01Recd 1:2/3\r\n",
      // No kludges at all, no final line end.
      "Just a body without anything",
      // Empty body with only an origin line.
      " * Origin: Nowhere (3:4/5)\r",
      // Cyrillic and high bytes, and ^A inside lines.
      "\x01MSGID: 2:5020/9 00000001\r\xc0\xe1\xe2 \x8f\xe0\xa8\xa2\xa5\xe2!\rmid\x01line\r"
      "\xff\xfe\x80\r--- \r",
      // LF only.
      "\x01PID: x\nline one\nline two\n--- y\n",
  };
  for (const auto& text : corpus) {
    MessageRecord first, second, third;
    Read(text, first);
    std::string w1 = Write(first);
    Read(w1, second);
    std::string w2 = Write(second);
    Read(w2, third);
    EXPECT_EQ(DumpRecordWithout(second, {"msgid_present", "intl_present"}),
              DumpRecordWithout(third, {"msgid_present", "intl_present"}))
        << Printable(text);
    EXPECT_EQ(Body(first), Body(second)) << Printable(text);
    EXPECT_EQ(w1, w2) << Printable(text);
  }
}

// The lines of a text with their line ends dropped (CR, LF, CR LF, LF CR).
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    lines.push_back(line);
    line.clear();
    if (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n') && text[i + 1] != c) {
      ++i;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Texts made of random lines from a fixed vocabulary, duplicates, odd line
// ends and NUL padding included: reading never crashes, never stores an
// over-long value, and the body is made of whole lines of the text, in
// their order (the cut never leaves a fragment of a line behind).
TEST(TextRoundTripTest, GeneratedTextsAreCutAtWholeLines) {
  const std::vector<std::string> vocabulary = {
      "\x01MSGID: 2:5020/1 12345678", "\x01REPLY: 1:2/3 aabbccdd", "\x01INTL 1:2/3 2:5020/1",
      "\x01" "FMPT 3", "\x01TOPT 9", "\x01" "FLAGS PVT DIR", "\x01PID: p", "\x01TID: t",
      "\x01" "CHRS: CP866 2", "\x01TZUTC: 0300", "\x01Via 2:5020/1 x", "\x01Recd 1:1/1",
      "\x01" "Forwarded by someone", "--- tear", "---", " * Origin: o (2:5020/1)",
      " * Origin: (Moscow)", "SEEN-BY: 5020/1", "\x01PATH: 5020/1", "", "", "Body line",
      "Another body line", "\xa0\xa1\xe0 cyr", "in\x01line", std::string(300, 'L'), "AREA:ECHO",
  };
  const std::string ends[] = {"\r", "\r\n", "\n", "\n\r"};
  std::mt19937 random(12345);
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::string text;
    int count = static_cast<int>(random() % 14);
    for (int i = 0; i < count; ++i) {
      text += vocabulary[random() % vocabulary.size()];
      text += ends[random() % 4];
    }
    if (random() % 5 == 0 && !text.empty()) text.pop_back();

    MessageRecord r;
    Read(text + std::string(random() % 3, '\0'), r);
    for (const ShortString* field : {&r.msgid, &r.intl, &r.origin, &r.tear_line, &r.flags}) {
      ASSERT_LE(field->size(), 255u);
    }
    std::vector<std::string> original = SplitLines(text);
    size_t next = 0;
    for (const std::string& line : SplitLines(Body(r))) {
      // An empty line may be a line end left in place, not a line of its own.
      if (line.empty()) continue;
      while (next < original.size() && original[next] != line) ++next;
      ASSERT_LT(next, original.size()) << "body line [" << Printable(line)
                                       << "] is not a line of " << Printable(text);
      ++next;
    }
  }
}

// Well-formed messages built at random (kludges on top, each once, the
// netmail ones only where nothing says echomail; body lines; tear, origin,
// SEEN-BY, PATH and routing lines at the bottom):
// read, write, read again gives the same record, byte for byte in the body,
// and a further cycle writes the same text.
TEST(TextRoundTripTest, GeneratedMessagesSurviveReadWriteRead) {
  const std::vector<std::string> kludges = {
      "\x01MSGID: 2:5020/1.4@fidonet 12345678", "\x01REPLY: 1:2/3 aabbccdd",
      "\x01INTL 1:2/3 2:5020/1", "\x01" "FMPT 4", "\x01TOPT 9", "\x01" "FLAGS DIR HUB",
      "\x01PID: p 1.0", "\x01TID: t 2.0", "\x01" "CHRS: CP866 2", "\x01TZUTC: 0300",
      "\x01Via 2:5020/1 @20010101.000000", "\x01" "CUSTOM: x"};
  const std::vector<std::string> body_lines = {
      "", "Hello,", "> quoted \x01 text", "\xa0\xa1\xe0\xef\xf1 \x80\xff", "SEEN-BY inside",
      "--", "- - -", std::string(400, 'w'), "\x01" "NOT A KLUDGE AT THE TOP"};
  const std::vector<std::string> bottom = {
      "SEEN-BY: 5020/1 2 3", "SEEN-BY: 5030/4", "\x01PATH: 5020/1", "\x01PATH: 5030/4",
      "\x01Via 2:5020/2 @20010102", "\x01Recd 2:5020/3"};
  const std::string ends[] = {"\r", "\r\n"};
  std::mt19937 random(4242);
  for (int iteration = 0; iteration < 2000; ++iteration) {
    std::string end = ends[random() % 2];
    std::string tail;
    if (random() % 2) tail += "--- editor" + end;
    if (random() % 2)
      tail += " * Origin: A station (2:5020/" + std::to_string(random() % 9) + ")" + end;
    for (const auto& b : bottom) {
      if (random() % 2) tail += b + end;
    }
    const bool echomail = tail.find("SEEN-BY") != std::string::npos ||
                          tail.find("PATH") != std::string::npos ||
                          tail.find("Origin") != std::string::npos;
    std::string text;
    for (const auto& k : kludges) {
      const bool netmail_only = k.starts_with(control_line::kIntl) ||
                                k.starts_with(control_line::kFmpt) ||
                                k.starts_with(control_line::kTopt);
      if (random() % 3 == 0 && !(echomail && netmail_only)) text += k + end;
    }
    int lines = static_cast<int>(random() % 6);
    for (int i = 0; i < lines; ++i) {
      const std::string& line = body_lines[random() % body_lines.size()];
      if (i == 0 && line[0] == '\x01') continue;  // would be a kludge
      text += line + end;
    }
    if (lines > 0) text += "Last body line" + end;
    text += tail;

    MessageRecord first, second, third;
    Read(text, first);
    std::string w1 = Write(first);
    Read(w1, second);
    std::string w2 = Write(second);
    Read(w2, third);
    ASSERT_EQ(Body(first), Body(second)) << Printable(text);
    ASSERT_EQ(DumpRecordWithout(first, {"msgid_present", "intl_present", "msgid"}),
              DumpRecordWithout(second, {"msgid_present", "intl_present", "msgid"}))
        << Printable(text);
    ASSERT_EQ(DumpRecord(second), DumpRecord(third)) << Printable(text);
    ASSERT_EQ(w1, w2) << Printable(text);
  }
}

}  // namespace
}  // namespace quil
