#include "bases/base_opener.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fido/fido_base.h"
#include "fido/packet_base.h"
#include "indexed/jam_base.h"
#include "indexed/squish_base.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::HeldFile;
using testing::PathExists;
using testing::ReadFileBytes;
using testing::SnapshotTree;
using testing::TempDir;
using testing::WriteFileBytes;

TEST(NormaliseSpecTest, InfersMarksStripsExtensionsAndCompletesPaths) {
  const std::pair<const char*, const char*> cases[] = {
      {"fF:\\Fido\\Netmail", "fF:\\Fido\\Netmail/*.msg"},
      {"fdir/net", "fdir/net/*.msg"},
      {"Fdir/net/", "Fdir/net/*.msg"},
      {"#net", "#net/*.msg"},
      {"D:\\Echo\\Area.jhr", "!D:\\Echo/Area"},
      {"dir/area.JDX", "!dir/area"},
      {"sF:\\Fido\\Base\\Area.sqd", "sF:\\Fido\\Base/Area"},
      {"dir/area.sqi", "$dir/area"},
      {"C:\\In\\0001.pkt", "PC:\\In/0001.pkt"},  // the separator added is "/"
      {"in/0001.PKT", "Pin/0001.PKT"},
      {"xdir", "#xdir/*.msg"},     // no mark, no extension: a Fido directory
      {"xarea.txt", "xarea.txt"},  // no mark, unknown extension: unchanged
      {"jarea", "jarea"},
      {"$dir/area", "$dir/area"},
      {"F:\\Base\\Area.sqd", "F:\\Base/Area/*.msg"},  // F is always a mark
      {"", ""},
  };
  for (const auto& [spec, expected] : cases) {
    EXPECT_EQ(NormaliseSpec(spec), expected) << spec;
  }
}

class OpenerTest : public ::testing::Test {
 protected:
  std::string Spec(char mark, const std::string& name) const { return mark + (dir_ / name); }

  // Adds one message to the base named by `spec`.
  void AddMessage(const std::string& spec, const std::string& subject) {
    auto base = OpenOrCreate(platform::kDenyWrite, spec);
    ASSERT_NE(base, nullptr) << spec;
    MessageRecord record;
    record.subject = subject;
    record.to_name = "All";
    record.body.Write("text\r");
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, record)) << spec;
  }

  std::map<std::string, std::string> Snapshot() const { return SnapshotTree(dir_.path()); }

  TempDir dir_;
};

TEST_F(OpenerTest, EachMarkOpensItsKindAndEquivalentSpecsNameOneBase) {
  ASSERT_TRUE(platform::CreateDirectory(dir_ / "net") == platform::kOk);
  auto fido = OpenOrCreate(platform::kDenyWrite, Spec('f', "net"));
  ASSERT_NE(fido, nullptr);
  EXPECT_NE(dynamic_cast<FidoBase*>(fido.get()), nullptr);
  MessageRecord record;
  record.subject = "one";
  ASSERT_TRUE(fido->WriteMessage(1, record));
  fido.reset();
  auto again = OpenOrCreate(platform::kDenyWrite, Spec('F', "net/"));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->count(), 1);
  again.reset();

  EXPECT_NE(dynamic_cast<PacketBase*>(OpenOrCreate(platform::kDenyWrite, Spec('p', "x.pkt")).get()),
            nullptr);
  EXPECT_NE(dynamic_cast<SquishBase*>(OpenOrCreate(platform::kDenyWrite, Spec('$', "sq")).get()),
            nullptr);
  EXPECT_NE(dynamic_cast<JamBase*>(OpenOrCreate(platform::kDenyWrite, Spec('!', "jm")).get()),
            nullptr);
  // A base file's name opens the base, with or without a mark.
  AddMessage(Spec('s', "area"), "squish one");
  auto by_index = OpenOrCreate(platform::kDenyWrite, dir_ / "area.sqi");
  ASSERT_NE(by_index, nullptr);
  EXPECT_EQ(by_index->count(), 1);
  by_index.reset();
  AddMessage(Spec('j', "echo"), "jam one");
  auto by_jdx = OpenOrCreate(platform::kDenyWrite, Spec('j', "echo.jdx"));
  ASSERT_NE(by_jdx, nullptr);
  EXPECT_EQ(by_jdx->count(), 1);
}

TEST_F(OpenerTest, SpecsThatNameNothingGiveNothing) {
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, "f"), nullptr);
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, ""), nullptr);
  // A first character that is no mark, with an extension the opener does not
  // know.  (Without an extension the base spec would name a Fido directory.)
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, Spec('x', "mail.txt")), nullptr);
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, dir_ / "area.txt"), nullptr);
  EXPECT_EQ(CreateFresh(platform::kDenyWrite, Spec('x', "mail.txt")), nullptr);
  EXPECT_EQ(CreateFresh(platform::kDenyWrite, ""), nullptr);
  EXPECT_TRUE(Snapshot().empty());
}

TEST_F(OpenerTest, MissingBasesAreCreatedEmpty) {
  for (char mark : {'f', 'p', 's', 'j'}) {
    auto base = OpenOrCreate(platform::kDenyWrite, Spec(mark, std::string("new/") + mark));
    ASSERT_NE(base, nullptr) << mark;
    EXPECT_EQ(base->count(), 0);
  }
  EXPECT_TRUE(PathExists(dir_ / "new/s.sqd"));
  EXPECT_TRUE(PathExists(dir_ / "new/j.jhr"));
  EXPECT_TRUE(PathExists(dir_ / "new/p"));
}

// A base that exists but can not be opened is never created over: its files
// stay byte-identical and the caller gets nothing.
TEST_F(OpenerTest, AnExistingBaseThatCanNotBeOpenedIsLeftAlone) {
  AddMessage(Spec('s', "sq"), "keep me");
  ASSERT_EQ(platform::DeleteFile(dir_ / "sq.sqi"), platform::kOk);  // index lost
  AddMessage(Spec('j', "jm"), "keep me too");
  ASSERT_EQ(platform::DeleteFile(dir_ / "jm.jdx"), platform::kOk);
  ASSERT_EQ(platform::CreateDirectory(dir_ / "jm.jdx"), platform::kOk);  // unreadable
  auto before = Snapshot();
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, Spec('s', "sq")), nullptr);
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, Spec('j', "jm")), nullptr);
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(OpenerTest, APacketHeldByAnotherProgramIsNotCreatedOver) {
  AddMessage(Spec('p', "0001.pkt"), "in transit");
  std::string before = ReadFileBytes(dir_ / "0001.pkt");
  HeldFile holder(dir_ / "0001.pkt", platform::kModeReadWrite | platform::kDenyWrite);
  ASSERT_EQ(holder.open_error(), platform::kOk);
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, Spec('p', "0001.pkt")), nullptr);
  EXPECT_EQ(ReadFileBytes(dir_ / "0001.pkt"), before);
}

TEST_F(OpenerTest, EraseBaseTakesOnlyTheBasesFilesAndLeavesFilesInUse) {
  ASSERT_EQ(platform::CreateDirectory(dir_ / "net"), platform::kOk);
  for (const char* name : {"1.msg", "5.MSG", "5.msgx", "notes.txt", "7.msg"}) {
    ASSERT_TRUE(WriteFileBytes(dir_ / (std::string("net/") + name), "x"));
  }
  {
    HeldFile holder(dir_ / "net/7.msg", platform::kModeReadWrite | platform::kDenyWrite);
    ASSERT_EQ(holder.open_error(), platform::kOk);
    EXPECT_FALSE(EraseBase(Spec('f', "net")));
  }
  auto names = [this] {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : Snapshot()) names.push_back(name);
    return names;
  };
  EXPECT_EQ(names(), (std::vector<std::string>{"net", "net/5.msgx", "net/7.msg", "net/notes.txt"}));

  for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr", ".jqx", ".sqd"}) {
    ASSERT_TRUE(WriteFileBytes(dir_ / (std::string("area") + ext), "x"));
  }
  EraseBase(Spec('j', "area"));
  // The .sqd is not a JAM file.
  EXPECT_EQ(names(), (std::vector<std::string>{"area.sqd", "net", "net/5.msgx", "net/7.msg",
                                               "net/notes.txt"}));
  EXPECT_TRUE(EraseBase(""));
}

TEST_F(OpenerTest, CreateFreshReplacesABaseWithAnEmptyOne) {
  AddMessage(Spec('j', "jm"), "old");
  AddMessage(Spec('j', "jm"), "old too");
  auto fresh = CreateFresh(platform::kDenyWrite, Spec('j', "jm"));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->count(), 0);
}

}  // namespace
}  // namespace quil
