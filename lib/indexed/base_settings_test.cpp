// Settings that belong to a base rather than to its messages survive a
// rebuild, and closing a base tells whether its last writes reached the
// files.
#include <gtest/gtest.h>

#include <string>

#include "indexed/jam_base.h"
#include "indexed/squish_base.h"
#include "runtime/coding.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// Overwrites `bytes` at `offset` of a file.
void Patch(const std::string& path, size_t offset, const std::string& bytes) {
  std::string data = ReadFileBytes(path);
  ASSERT_LE(offset + bytes.size(), data.size());
  data.replace(offset, bytes.size(), bytes);
  ASSERT_TRUE(WriteFileBytes(path, data));
}

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  PutU32LE(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

MessageRecord& Message() {
  static MessageRecord record;
  record.to_name = "All";
  record.subject = "s";
  return record;
}

TEST(BaseSettingsTest, SquishKeepsKeepDaysMaxMsgSkipMsgAndName) {
  TempDir dir;
  {
    SquishBase old_base;
    ASSERT_TRUE(old_base.Create(platform::kDenyWrite, dir / "old"));
  }
  Patch(dir / "old.sqd", 12, U32(3));                     // skip_msg
  Patch(dir / "old.sqd", 24, "AREANAME");                 // base name
  Patch(dir / "old.sqd", 124, U32(500));                  // max_msg
  Patch(dir / "old.sqd", 128, std::string("\x1e\x00", 2));  // keep_days 30
  SquishBase old_base;
  ASSERT_TRUE(old_base.Open(platform::kDenyWrite, dir / "old"));
  SquishBase fresh;
  ASSERT_TRUE(fresh.Create(platform::kDenyWrite, dir / "new"));
  ASSERT_TRUE(fresh.CopySettingsFrom(old_base));
  ASSERT_TRUE(fresh.WriteMessage(1, Message()));
  ASSERT_TRUE(fresh.Close());
  std::string header = ReadFileBytes(dir / "new.sqd").substr(0, 256);
  std::string old_header = ReadFileBytes(dir / "old.sqd").substr(0, 256);
  EXPECT_EQ(header.substr(12, 4), old_header.substr(12, 4));
  EXPECT_EQ(header.substr(24, 80), old_header.substr(24, 80));
  EXPECT_EQ(header.substr(124, 6), old_header.substr(124, 6));
  EXPECT_EQ(GetU32LE(reinterpret_cast<const uint8_t*>(header.data()) + 4), 1u);  // num_msg
}

TEST(BaseSettingsTest, JamKeepsDateCreatedAndPassword) {
  TempDir dir;
  {
    JamBase old_base;
    ASSERT_TRUE(old_base.Create(platform::kDenyWrite, dir / "old"));
  }
  Patch(dir / "old.jhr", 4, U32(946684800));  // DateCreated 2000-01-01
  Patch(dir / "old.jhr", 16, U32(0x12345678));  // PasswordCRC
  JamBase old_base;
  ASSERT_TRUE(old_base.Open(platform::kDenyWrite, dir / "old"));
  JamBase fresh;
  ASSERT_TRUE(fresh.Create(platform::kDenyWrite, dir / "new"));
  ASSERT_TRUE(fresh.CopySettingsFrom(old_base));
  ASSERT_TRUE(fresh.WriteMessage(1, Message()));
  ASSERT_TRUE(fresh.Close());
  std::string header = ReadFileBytes(dir / "new.jhr");
  EXPECT_EQ(header.substr(4, 4), U32(946684800));
  EXPECT_EQ(header.substr(16, 4), U32(0x12345678));
  EXPECT_EQ(header.substr(12, 4), U32(1));  // ActiveMsgs
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
    platform::InjectWriteFault(0, platform::kDiskFull);
    bool wrote = base->WriteMessage(1, Message());
    bool closed = base->Close();
    platform::InjectWriteFault(-1, platform::kOk);
    EXPECT_FALSE(wrote && closed) << kind;
    EXPECT_FALSE(closed) << kind;
  }
}

}  // namespace
}  // namespace quil
