// Tests of reading lines forwards and backwards, end-marked strings and the
// block search, over memory streams and file streams.
#include "runtime/stream_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/platform.h"
#include "runtime/stream.h"
#include "test_support.h"

namespace quil {
namespace {

using quil::testing::Printable;
using quil::testing::TempDir;
using quil::testing::WriteFileBytes;

std::unique_ptr<MemoryStream> MemoryOf(std::string_view bytes, size_t block_size = 4096) {
  auto stream = std::make_unique<MemoryStream>(block_size);
  stream->Write(bytes);
  stream->Seek(0);
  return stream;
}

// Byte-at-a-time models of the two line readers over a string: (line,
// position afterwards).
bool IsEnd(char c) { return c == '\r' || c == '\n'; }
char Partner(char c) { return c == '\r' ? '\n' : '\r'; }

std::pair<std::string, size_t> ModelReadLine(const std::string& data, size_t pos) {
  if (pos >= data.size()) return {"", pos};
  size_t i = pos;
  while (i < data.size() && !IsEnd(data[i])) ++i;
  std::string line = data.substr(pos, std::min<size_t>(255, i - pos));
  if (i < data.size()) {
    char end = data[i++];
    if (i < data.size() && data[i] == Partner(end)) ++i;
  }
  return {line, i};
}

// The line, the position after it, and whether the line was longer than
// what is kept.
std::tuple<std::string, size_t, bool> ModelReadLineBackwards(const std::string& data, size_t pos) {
  pos = std::min(pos, data.size());
  size_t i = pos;
  while (i > 0 && !IsEnd(data[i - 1])) --i;
  size_t from = std::max(i, pos >= 255 ? pos - 255 : 0);
  std::string line = data.substr(from, pos - from);
  const bool cut = from > i;
  if (i == 0) return {line, 0, cut};
  size_t end = i - 1;
  if (end > 0 && data[end - 1] == Partner(data[end])) --end;
  return {line, end, cut};
}

using Steps = std::vector<std::pair<std::string, int64_t>>;  // line, position after it

// Every line read from the start of `data` (or backwards from its end) up
// to and including the read at the far end; the stream must stay sound.
Steps ReadEveryLine(const std::string& data, bool forward) {
  auto s = MemoryOf(data);
  if (!forward) s->Seek(s->GetSize());
  Steps steps;
  for (size_t i = 0; i <= data.size() + 1; ++i) {
    const int64_t from = s->GetPos();
    std::string line = forward ? ReadLine(*s) : ReadLineBackwards(*s);
    steps.emplace_back(line, s->GetPos());
    if (from == (forward ? s->GetSize() : 0)) break;
  }
  EXPECT_TRUE(s->ok());
  return steps;
}

const std::string kLongLine = std::string(100, 'a') + std::string(200, 'b');

// All four line ends; a line past 255 bytes keeps its first 255 and the
// next line still reads; at the end an empty line, without failing.
TEST(ReadLineTest, LinesAndPositionsFromTheStart) {
  const std::pair<std::string, Steps> cases[] = {
      {"A\r\nB\n\rX", {{"A", 3}, {"B", 6}, {"X", 7}, {"", 7}}},
      {kLongLine + "\r\nnext\r", {{kLongLine.substr(0, 255), 302}, {"next", 307}, {"", 307}}},
      {std::string(100000, 'z'), {{std::string(255, 'z'), 100000}, {"", 100000}}},
  };
  for (const auto& [data, steps] : cases) {
    EXPECT_EQ(ReadEveryLine(data, true), steps) << Printable(data.substr(0, 20));
  }
}

TEST(ReadLineTest, FromAFileStream) {
  TempDir dir;
  const std::string text = "; areas\r\nfEcho\\One ECHO1\n\n" + std::string(5000, 'x') + "\r\n$Area";
  ASSERT_TRUE(WriteFileBytes(dir / "areas.bbs", text));
  FileStream s(dir / "areas.bbs", platform::kModeRead | platform::kDenyWrite);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(ReadLine(s), "; areas");
  EXPECT_EQ(ReadLine(s), "fEcho\\One ECHO1");
  EXPECT_EQ(ReadLine(s), "");
  EXPECT_EQ(ReadLine(s), std::string(255, 'x'));
  EXPECT_EQ(ReadLine(s), "$Area");
  EXPECT_EQ(s.GetPos(), static_cast<int64_t>(text.size()));
  EXPECT_TRUE(s.ok());
}

// The mirror image: each read leaves the position at the first byte of the
// line end in front of the line.
TEST(ReadLineBackwardsTest, LinesAndPositionsFromTheEnd) {
  const std::pair<std::string, Steps> cases[] = {
      // The LF of an LF CR pair, the CR of a CR LF pair.
      {"A\r\nB\n\rX", {{"X", 4}, {"B", 1}, {"A", 0}, {"", 0}}},
      // The empty line after the last line end comes first.
      {"A\rB\r", {{"", 3}, {"B", 1}, {"A", 0}, {"", 0}}},
      // Two single CRs are two line ends, not a pair.
      {"A\r\rB", {{"B", 2}, {"", 1}, {"A", 0}, {"", 0}}},
      {"\r\nB", {{"B", 0}, {"", 0}}},
      // A long line keeps the 255 bytes nearest the start.
      {"first\r" + kLongLine, {{kLongLine.substr(45), 5}, {"first", 0}, {"", 0}}},
      {"x\n" + std::string(100000, 'z'), {{std::string(255, 'z'), 1}, {"x", 0}, {"", 0}}},
  };
  for (const auto& [data, steps] : cases) {
    EXPECT_EQ(ReadEveryLine(data, false), steps) << Printable(data.substr(0, 20));
  }
}

// Both readers against the byte-at-a-time models, on seeded random texts
// whose lines straddle the readers' internal chunks in every way.
TEST(LineReadersTest, AgreeWithTheModelOnRandomText) {
  std::mt19937 random(866);
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0', '\x01', '\xE0'};
  for (int round = 0; round < 300; ++round) {
    std::string data;
    size_t size = random() % 1500;
    // Mostly short lines, sometimes long runs without a line end.
    bool long_runs = round % 3 == 0;
    for (size_t i = 0; i < size; ++i) {
      size_t pick = random() % (long_runs ? 200 : 12);
      data.push_back(pick < 5 ? alphabet[pick % 7] : (pick < 7 ? alphabet[pick] : 'a'));
    }
    auto s = MemoryOf(data, 64);

    size_t pos = 0;
    for (size_t step = 0; step <= data.size() + 1; ++step) {
      auto [want, next] = ModelReadLine(data, pos);
      ASSERT_EQ(s->GetPos(), static_cast<int64_t>(pos));
      ASSERT_EQ(Printable(ReadLine(*s)), Printable(want)) << "round " << round << " pos " << pos;
      ASSERT_EQ(s->GetPos(), static_cast<int64_t>(next)) << "round " << round << " pos " << pos;
      if (pos == data.size()) break;
      pos = next;
    }

    pos = data.size();
    s->Seek(static_cast<int64_t>(pos));
    for (size_t step = 0; step <= data.size() + 1; ++step) {
      auto [want, next, want_cut] = ModelReadLineBackwards(data, pos);
      bool cut = !want_cut;
      ASSERT_EQ(Printable(ReadLineBackwards(*s, &cut)), Printable(want))
          << "round " << round << " pos " << pos;
      ASSERT_EQ(cut, want_cut) << "round " << round << " pos " << pos;
      ASSERT_EQ(s->GetPos(), static_cast<int64_t>(next)) << "round " << round << " pos " << pos;
      if (pos == 0) break;
      pos = next;
    }
    ASSERT_TRUE(s->ok());
  }
}

TEST(LineReadersTest, PairsAtEveryOffsetAroundTheChunkSize) {
  for (size_t length = 250; length < 1040; ++length) {
    for (const char* end : {"\r\n", "\n\r", "\r", "\n"}) {
      const std::string data = std::string(length, 'q') + end + "tail";
      auto s = MemoryOf(data);
      auto [forward, after] = ModelReadLine(data, 0);
      ASSERT_EQ(ReadLine(*s), forward) << length;
      ASSERT_EQ(s->GetPos(), static_cast<int64_t>(after)) << length;
      ASSERT_EQ(ReadLine(*s), "tail") << length;

      const std::string reversed = "head" + std::string(end) + std::string(length, 'q');
      auto r = MemoryOf(reversed);
      r->Seek(r->GetSize());
      auto [backward, before, cut] = ModelReadLineBackwards(reversed, reversed.size());
      bool got_cut = !cut;
      ASSERT_EQ(ReadLineBackwards(*r, &got_cut), backward) << length;
      ASSERT_EQ(got_cut, cut) << length;
      ASSERT_EQ(r->GetPos(), static_cast<int64_t>(before)) << length;
      ASSERT_EQ(ReadLineBackwards(*r), "head") << length;
    }
  }
}

TEST(LineReadersTest, FailedStreamGivesEmptyLinesAndDoesNotMove) {
  auto s = MemoryOf("A\rB\r");
  s->Seek(2);
  s->Seek(-1);  // fails the stream and leaves the position
  ASSERT_FALSE(s->ok());
  EXPECT_EQ(ReadLine(*s), "");
  EXPECT_EQ(ReadLineBackwards(*s), "");
  EXPECT_EQ(ReadToEndMark(*s), "");
  EXPECT_EQ(Find(*s, true, "B"), -1);
  s->Reset();
  EXPECT_EQ(s->GetPos(), 2);
  EXPECT_EQ(ReadLine(*s), "B");
}

TEST(ReadToEndMarkTest, StopsAtNulOrCarriageReturn) {
  auto s = MemoryOf(std::string("To\0From\rSubj\nect\0", 17) + "rest");
  EXPECT_EQ(ReadToEndMark(*s), "To");
  EXPECT_EQ(s->GetPos(), 3);
  EXPECT_EQ(ReadToEndMark(*s), "From");
  EXPECT_EQ(ReadToEndMark(*s), "Subj\nect");
  EXPECT_EQ(ReadToEndMark(*s), "rest");
  EXPECT_EQ(s->GetPos(), s->GetSize());
  EXPECT_EQ(ReadToEndMark(*s), "");
  EXPECT_TRUE(s->ok());

  // A string far longer than 255 bytes is consumed whole, 255 bytes kept.
  auto t = MemoryOf(std::string(1000, 'n') + std::string(1, '\0') + "next");
  EXPECT_EQ(ReadToEndMark(*t), std::string(255, 'n'));
  EXPECT_EQ(t->GetPos(), 1001);
  EXPECT_EQ(ReadToEndMark(*t), "next");
}

// A text of `size` filler bytes with `pattern` put at each of `at`.
std::string TextWith(size_t size, std::string_view pattern, std::initializer_list<size_t> at) {
  std::string text(size, 'x');
  for (size_t p : at) text.replace(p, pattern.size(), pattern);
  return text;
}

TEST(FindTest, FindsMatchesStraddlingEveryBlockBoundary) {
  const std::string pattern("\0\2\0", 3);
  for (size_t at : {size_t{32765}, size_t{32766}, size_t{32767}, size_t{32768}, size_t{32769},
                    size_t{65533}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{98303}}) {
    auto s = MemoryOf(TextWith(120000, pattern, {at}));
    EXPECT_EQ(Find(*s, true, pattern), static_cast<int64_t>(at)) << "at " << at;
    EXPECT_EQ(s->GetPos(), static_cast<int64_t>(at)) << "at " << at;
    EXPECT_TRUE(s->ok());
  }
}

TEST(FindTest, FirstMatchFromThePositionOnwards) {
  const std::string text = TextWith(200000, "PKT", {10, 40000, 199997});
  auto s = MemoryOf(text);
  EXPECT_EQ(Find(*s, true, "PKT"), 10);
  s->Seek(11);
  EXPECT_EQ(Find(*s, true, "PKT"), 40000);
  s->Seek(40001);
  EXPECT_EQ(Find(*s, true, "PKT"), 199997);  // at the very end
  EXPECT_EQ(s->GetPos(), 199997);
  s->Seek(199998);
  EXPECT_EQ(Find(*s, true, "PKT"), -1);
  EXPECT_TRUE(s->ok());  // nothing read past the end

  // Absent, and a pattern longer than what is left.
  s->Seek(0);
  EXPECT_EQ(Find(*s, true, "PKX"), -1);
  EXPECT_TRUE(s->ok());
  auto tiny = MemoryOf("ab");
  EXPECT_EQ(Find(*tiny, true, "abc"), -1);
  EXPECT_TRUE(tiny->ok());
}

TEST(FindTest, WithoutCaseSensitivity) {
  const std::string text = TextWith(50000, "\x01MsgId: \xA0\xE0", {33000});
  auto s = MemoryOf(text);
  EXPECT_EQ(Find(*s, true, "\x01MSGID: \x80\x90"), -1);
  s->Seek(0);
  EXPECT_EQ(Find(*s, false, "\x01MSGID: \x80\x90"), 33000);
  s->Seek(0);
  EXPECT_EQ(Find(*s, false, "\x01msgid: \xA0\xE0"), 33000);
  // The search does not change the bytes it looked at.
  EXPECT_EQ(s->Contents(), text);
}

TEST(FindTest, IndexesEveryMatchOfAFileLikeThePacketReader) {
  TempDir dir;
  std::mt19937 random(2);
  const std::string pattern("\0\2\0", 3);
  std::string data;
  std::vector<int64_t> expected;
  while (data.size() < 300000) {
    data.append(random() % 9000, 't');
    expected.push_back(static_cast<int64_t>(data.size()));
    data.append(pattern);
  }
  ASSERT_TRUE(WriteFileBytes(dir / "in.pkt", data));
  FileStream s(dir / "in.pkt", platform::kModeRead | platform::kDenyWrite);
  ASSERT_TRUE(s.ok());
  std::vector<int64_t> found;
  for (int64_t p; (p = Find(s, true, pattern)) >= 0;) {
    found.push_back(p);
    EXPECT_EQ(s.GetPos(), p);
    s.Seek(p + 1);
  }
  EXPECT_EQ(found, expected);
}

TEST(FindTest, EmptyPatternMatchesAtThePosition) {
  auto s = MemoryOf("abc");
  s->Seek(2);
  EXPECT_EQ(Find(*s, true, ""), 2);
  EXPECT_EQ(s->GetPos(), 2);
}

}  // namespace
}  // namespace quil
