// End-to-end tests of the converter on damaged sources: truncated files and
// bogus lengths and offsets in each kind never crash it; what the library
// can read is copied, what it can not is skipped, and the source files stay
// byte for byte as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert_support.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "test_support.h"

namespace quil::testing::convert_e2e {
namespace {

// ---------------------------------------------------------------------------
// Ways to damage a file.

void PutU32At(const std::string& file, size_t offset, uint32_t value) {
  PatchFile(file, offset, Le32(value));
}

void CutTo(const std::string& file, long long size) {
  std::filesystem::resize_file(file, static_cast<uintmax_t>(size));
}

void Append(const std::string& file, std::string_view bytes) {
  ASSERT_TRUE(WriteFileBytes(file, ReadFileBytes(file) + std::string(bytes)));
}

constexpr size_t kSquishFrameLength = 12, kSquishMsgLength = 16, kSquishClen = 20;
constexpr size_t kJamSubfieldLen = 8, kJamTxtOffset = 60, kJamTxtLen = 64;
constexpr size_t kJamHeaderSize = 76;

// ---------------------------------------------------------------------------
// The damages, each on a base holding the four handcrafted messages.

// Why a source can not be opened at all: the file (the base path plus this
// suffix) and what is wrong with it, as the line after "can't open" says.
struct Refusal {
  const char* suffix;
  const char* what;
};

struct Damage {
  const char* name;
  const Kind* kind;
  std::function<void(const std::string& path)> apply;  // path of the base, no mark
  std::vector<int> intact;                             // messages that must still read as before
  std::optional<Refusal> refused = std::nullopt;       // set: the source can not be opened at all
};

// clang-format off
const std::vector<Damage>& Damages() {
  static const std::vector<Damage> damages{
      // Fido: one file per message.
      {"FidoHeaderCutShort", &kFido, [](const std::string& p) { CutTo(p + "/2.msg", 100); },
       {1, 3, 4}},
      {"FidoEmptyFile", &kFido, [](const std::string& p) { CutTo(p + "/2.msg", 0); }, {1, 3, 4}},
      {"FidoTextCutShort", &kFido, [](const std::string& p) { CutTo(p + "/1.msg", 210); },
       {2, 3, 4}},
      {"FidoGap", &kFido,
       [](const std::string& p) { std::filesystem::remove(p + "/2.msg"); }, {1, 3, 4}},
      {"FidoDirectoryAsMessage", &kFido,
       [](const std::string& p) { std::filesystem::create_directory(p + "/6.msg"); },
       {1, 2, 3, 4}},
      // Packet: one file, messages found by their framing.
      {"PacketCutInsideMessage", &kPacket,
       [](const std::string& p) {
         CutTo(p, static_cast<long long>(PacketMessageStart(ReadFileBytes(p), 3) + 60));
       },
       {1, 2}},
      {"PacketCutInsideHeader", &kPacket, [](const std::string& p) { CutTo(p, 30); }, {}},
      {"PacketWithoutTerminator", &kPacket,
       [](const std::string& p) { CutTo(p, FileSizeOf(p) - 2); }, {1, 2, 3}},
      {"PacketWithTrailingJunk", &kPacket,
       [](const std::string& p) { Append(p, std::string(100, '\xff')); }, {1, 2, 3}},
      {"PacketOfUnknownType", &kPacket, [](const std::string& p) { PatchFile(p, 18, "\x03"); },
       {}, Refusal{"", "is not of this kind of base"}},
      // Squish: index records point at frames whose header gives the lengths.
      {"SquishIndexPastTheData", &kSquish,
       [](const std::string& p) { PutU32At(p + ".sqi", 12, 0x7FFFFF00); }, {1, 3, 4}},
      {"SquishFrameIdDamaged", &kSquish,
       [](const std::string& p) { PatchFile(p + ".sqd", SquishFrameOffset(p, 2), "XXXX"); },
       {1, 3, 4}},
      {"SquishControlLengthHuge", &kSquish,
       [](const std::string& p) { PutU32At(p + ".sqd", SquishFrameOffset(p, 2) + kSquishClen, 0xFFFFFFF0); },
       {1, 3, 4}},
      {"SquishMessageLengthHuge", &kSquish,
       [](const std::string& p) {
         PutU32At(p + ".sqd", SquishFrameOffset(p, 2) + kSquishMsgLength, 0xFFFFFFF0);
         PutU32At(p + ".sqd", SquishFrameOffset(p, 2) + kSquishFrameLength, 0xFFFFFFF0);
       },
       {1, 3, 4}},
      {"SquishMessageLengthTooSmall", &kSquish,
       [](const std::string& p) { PutU32At(p + ".sqd", SquishFrameOffset(p, 2) + kSquishMsgLength, 10); },
       {1, 3, 4}},
      {"SquishDataCutInsideLastFrame", &kSquish,
       [](const std::string& p) { CutTo(p + ".sqd", SquishFrameOffset(p, 4) + 100); }, {1, 2, 3}},
      {"SquishCountBeyondIndex", &kSquish,
       [](const std::string& p) { PutU32At(p + ".sqd", 4, 1000); }, {1, 2, 3, 4}},
      {"SquishIndexCutInsideRecord", &kSquish,
       [](const std::string& p) { CutTo(p + ".sqi", 4 * 12 - 5); }, {1, 2, 3}},
      {"SquishBaseHeaderCutShort", &kSquish, [](const std::string& p) { CutTo(p + ".sqd", 100); },
       {}, Refusal{".sqd", "is too short"}},
      // JAM: index entries point at headers, headers at subfields and text.
      {"JamIndexPastTheHeaders", &kJam,
       [](const std::string& p) { PutU32At(p + ".jdx", 12, 0x7FFFFF00); }, {1, 3, 4}},
      {"JamHeaderSignatureDamaged", &kJam,
       [](const std::string& p) { PatchFile(p + ".jhr", JamHeaderOffset(p, 2), "XXXXXX"); },
       {1, 3, 4}},
      {"JamSubfieldLengthHuge", &kJam,
       [](const std::string& p) { PutU32At(p + ".jhr", JamHeaderOffset(p, 2) + kJamSubfieldLen, 0xFFFFFFF0); },
       {1, 3, 4}},
      {"JamTextPastTheData", &kJam,
       [](const std::string& p) {
         PutU32At(p + ".jhr", JamHeaderOffset(p, 2) + kJamTxtOffset, 0xFFFFFF00);
         PutU32At(p + ".jhr", JamHeaderOffset(p, 2) + kJamTxtLen, 0x00FFFFFF);
       },
       {1, 3, 4}},
      {"JamSubfieldDataLengthBogus", &kJam,
       [](const std::string& p) { PutU32At(p + ".jhr", JamHeaderOffset(p, 2) + kJamHeaderSize + 4, 0xFFFFFFF0); },
       {1, 3, 4}},
      {"JamHeadersCutInsideLastHeader", &kJam,
       [](const std::string& p) { CutTo(p + ".jhr", JamHeaderOffset(p, 4) + 40); }, {1, 2, 3}},
      {"JamIndexCutInsideEntry", &kJam,
       [](const std::string& p) { CutTo(p + ".jdx", 4 * 8 - 3); }, {1, 2, 3}},
      {"JamBaseHeaderCutShort", &kJam, [](const std::string& p) { CutTo(p + ".jhr", 500); }, {},
       Refusal{".jhr", "is too short"}},
  };
  return damages;
}
// clang-format on

class DamagedSourceTest : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedSourceTest, CopiesWhatReadsAndLeavesTheSourceAlone) {
  const Damage& damage = GetParam();
  const Kind& kind = *damage.kind;
  TempDir dir;
  const std::string source = SpecOf(kind, dir / "in", "area");
  const std::string destination = SpecOf(kJam, dir / "out", "area");
  WriteMessages(source, AllMessages());
  std::vector<std::string> sound;
  {
    std::unique_ptr<MessageBase> base = OpenBase(source);
    ASSERT_TRUE(base);
    for (int n = 1; n <= kMessageCount; ++n) {
      MessageRecord r;
      ASSERT_TRUE(base->ReadMessage(n, r));
      Loose loose;
      loose.msgid_serial = !HasOwnMsgid(n);
      sound.push_back(Dump(r, loose));
    }
  }
  damage.apply(source.substr(1));
  if (::testing::Test::HasFatalFailure()) return;
  const auto damaged_files = SnapshotTree(dir / "in");

  ProgramResult run = Convert(source, destination);
  EXPECT_EQ(run.exit_code, damage.refused ? 1 : 0) << run.output;
  EXPECT_EQ(SnapshotTree(dir / "in"), damaged_files) << "the source was changed";
  if (damage.refused) {
    EXPECT_EQ(run.output,
              std::string(kBanner) + "source base: [" + source + "]\ndestination base: [" +
                  destination + "]\n\ncan't open source base: [" + source + "]\ndamaged: [" +
                  source.substr(1) + damage.refused->suffix + "] " + damage.refused->what + "\n");
    return;
  }

  // What the library reads of the damaged source is what must arrive.
  std::unique_ptr<MessageBase> original = OpenBase(source);
  ASSERT_TRUE(original);
  EXPECT_EQ(run.output, CopyOutput(source, destination, original->count(), 0));
  auto intact = [&damage](int32_t n) {
    return std::find(damage.intact.begin(), damage.intact.end(), n) != damage.intact.end();
  };
  std::vector<int32_t> readable;
  for (int32_t n = 1; n <= original->count(); ++n) {
    MessageRecord r;
    if (!original->ReadMessage(n, r)) continue;
    readable.push_back(n);
    if (intact(n)) {
      Loose loose;
      loose.msgid_serial = !HasOwnMsgid(n);
      EXPECT_EQ(Dump(r, loose), sound[n - 1]) << "intact message " << n;
    }
  }
  for (int n : damage.intact) {
    EXPECT_NE(std::find(readable.begin(), readable.end(), n), readable.end())
        << "message " << n << " no longer reads";
  }
  // A damaged message that still reads may have lost its MSGID line.
  std::unique_ptr<MessageBase> copy = OpenBase(destination);
  ASSERT_TRUE(copy);
  ASSERT_EQ(copy->count(), static_cast<int32_t>(readable.size()));
  for (size_t i = 0; i < readable.size(); ++i) {
    ExpectCopied(*original, readable[i], kJam, *copy, static_cast<int32_t>(i + 1),
                 !intact(readable[i]) || !HasOwnMsgid(readable[i]));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, DamagedSourceTest, ::testing::ValuesIn(Damages()),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                           return std::string(info.param.name);
                         });

// Sources that claim more messages than can be numbered (their files made
// large by holes, so they cost no space): they count as many as can be, the
// copy skips the numbers that hold nothing without reading each, and every
// message there is arrives once.
TEST(HugeSourceTest, CopiesEachMessageOnceWithoutVisitingEveryNumber) {
  struct Huge {
    const Kind* kind;
    std::function<void(const std::string& path)> apply;  // path of the base, no mark
    std::vector<int32_t> messages;  // the numbers that hold messages 1 to 4 afterwards
  } const cases[] = {
      {&kFido,
       [](const std::string& p) {
         std::filesystem::rename(p + "/4.msg", p + "/2147483646.msg");
         std::filesystem::copy_file(p + "/1.msg", p + "/2147483647.msg");  // no message number
       },
       {1, 2, 3, kMaxMessageCount}},
      {&kSquish,
       [](const std::string& p) {
         PutU32At(p + ".sqd", 4, 0xFFFFFFFF);  // num_msg
         std::filesystem::resize_file(p + ".sqi", uint64_t{0xFFFFFFFF} * 12);
       },
       {1, 2, 3, 4}},
      {&kJam,
       [](const std::string& p) {
         std::filesystem::resize_file(p + ".jdx", uint64_t{INT32_MAX} * 8);
       },
       {1, 2, 3, 4}},
  };
  for (const Huge& huge : cases) {
    SCOPED_TRACE(huge.kind->name);
    TempDir dir;
    const std::string source = SpecOf(*huge.kind, dir / "in", "area");
    const std::string destination = SpecOf(kJam, dir / "out", "area");
    WriteMessages(source, AllMessages());
    huge.apply(source.substr(1));
    ASSERT_EQ(CountOf(source), kMaxMessageCount);
    ProgramResult run = Convert(source, destination);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(run.output, CopyOutput(source, destination, kMaxMessageCount, 0));
    std::unique_ptr<MessageBase> original = OpenBase(source);
    std::unique_ptr<MessageBase> copy = OpenBase(destination);
    ASSERT_TRUE(original && copy);
    ASSERT_EQ(copy->count(), static_cast<int32_t>(huge.messages.size()));
    for (size_t i = 0; i < huge.messages.size(); ++i) {
      ExpectCopied(*original, huge.messages[i], kJam, *copy, static_cast<int32_t>(i + 1),
                   !HasOwnMsgid(static_cast<int>(i) + 1));
    }
  }
}

}  // namespace
}  // namespace quil::testing::convert_e2e
