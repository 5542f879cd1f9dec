// Settings that belong to a base rather than to its messages survive a
// rebuild, and closing a base tells whether its last writes reached the
// files.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "indexed/jam_base.h"
#include "indexed/squish_base.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::Le16;
using testing::Le32;
using testing::Le32At;
using testing::PatchFile;
using testing::ReadFileBytes;
using testing::TempDir;

MessageRecord& Message() {
  static MessageRecord record;
  record.to_name = "All";
  record.subject = "s";
  return record;
}

// Header fields a tosser or an editor may have set: a base created anew with
// CopySettingsFrom takes them over, whatever its own messages.
TEST(BaseSettingsTest, AFreshBaseTakesOverTheOldOnesSettings) {
  struct Case {
    const char* kind;
    std::function<std::unique_ptr<MessageBase>()> make;
    const char* header_file;
    std::vector<std::pair<size_t, std::string>> settings;  // offset, bytes
    size_t count_field;                                    // the message count
  } const cases[] = {
      {"Squish",
       [] { return std::make_unique<SquishBase>(); },
       ".sqd",
       {{12, Le32(3)},                             // skip_msg
        {24, "AREANAME" + std::string(72, '\0')},  // base name
        {124, Le32(500)},                          // max_msg
        {128, Le16(30)}},                          // keep_days
       4},
      {"Jam",
       [] { return std::make_unique<JamBase>(); },
       ".jhr",
       {{4, Le32(946684800)},     // DateCreated 2000-01-01
        {16, Le32(0x12345678)},   // PasswordCRC
        {20, Le32(100)},          // BaseMsgNum
        {500, "RESERVED"}},       // the reserved bytes
       12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    TempDir dir;
    ASSERT_TRUE(c.make()->Create(platform::kDenyWrite, dir / "old"));
    const std::string old_file = dir / (std::string("old") + c.header_file);
    for (const auto& [offset, bytes] : c.settings) PatchFile(old_file, offset, bytes);
    auto old_base = c.make();
    ASSERT_TRUE(old_base->Open(platform::kDenyWrite, dir / "old"));
    auto fresh = c.make();
    ASSERT_TRUE(fresh->Create(platform::kDenyWrite, dir / "new"));
    ASSERT_TRUE(fresh->CopySettingsFrom(*old_base));
    ASSERT_TRUE(fresh->WriteMessage(1, Message()));
    ASSERT_TRUE(fresh->Close());
    const std::string header = ReadFileBytes(dir / (std::string("new") + c.header_file));
    for (const auto& [offset, bytes] : c.settings) {
      EXPECT_EQ(testing::Printable(header.substr(offset, bytes.size())), testing::Printable(bytes))
          << offset;
    }
    EXPECT_EQ(Le32At(header, c.count_field), 1u);
  }
}

TEST(BaseSettingsTest, SettingsOfAnotherKindAreRefused) {
  TempDir dir;
  SquishBase squish;
  ASSERT_TRUE(squish.Create(platform::kDenyWrite, dir / "s"));
  JamBase jam;
  ASSERT_TRUE(jam.Create(platform::kDenyWrite, dir / "j"));
  EXPECT_FALSE(jam.CopySettingsFrom(squish));
  EXPECT_FALSE(squish.CopySettingsFrom(jam));
}

TEST(BaseSettingsTest, CloseReportsWritesThatNeverReachedTheFiles) {
  TempDir dir;
  for (int kind = 0; kind < 2; ++kind) {
    std::unique_ptr<MessageBase> base;
    if (kind == 0) base = std::make_unique<SquishBase>();
    if (kind == 1) base = std::make_unique<JamBase>();
    ASSERT_TRUE(base->Create(platform::kDenyWrite, dir / ("b" + std::to_string(kind))));
    // The write is buffered; the failure shows when it is flushed at the
    // latest.
    testing::WriteFault fault(0);
    bool wrote = base->WriteMessage(1, Message());
    bool closed = base->Close();
    EXPECT_FALSE(wrote && closed) << kind;
    EXPECT_FALSE(closed) << kind;
  }
}

}  // namespace
}  // namespace quil
