#include "bases/base_opener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
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

class OpenerTest : public ::testing::Test {
 protected:
  std::string Spec(char mark, const std::string& name) const { return mark + (dir_ / name); }

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
  OpenFailure failure;
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, Spec('s', "sq"), &failure), nullptr);
  EXPECT_EQ(failure.problem, OpenProblem::kNotFound);
  EXPECT_EQ(failure.file, dir_ / "sq.sqi");
  EXPECT_EQ(OpenOrCreate(platform::kDenyWrite, Spec('j', "jm"), &failure), nullptr);
  EXPECT_EQ(failure.problem, OpenProblem::kAccessDenied);  // a directory is no file
  EXPECT_EQ(failure.file, dir_ / "jm.jdx");
  EXPECT_EQ(Snapshot(), before);
}

// OpenExisting never creates: a missing base, a damaged one or one another
// program holds gives nothing, with the reason and the file it concerns,
// and changes nothing.
TEST(OpenExistingTest, SaysWhyItGaveNothing) {
  using Damage = std::function<void(const TempDir&)>;
  struct Case {
    const char* name;
    const char* spec;    // a mark and a name inside the test directory; "s" alone
    const char* filled;  // the base made first, with one message (a spec like `spec`)
    Damage damage;
    OpenProblem problem;
    const char* file;  // inside the test directory; "" for none
  } const cases[] = {
      {"missing directory", "fnet", nullptr, nullptr, OpenProblem::kNoBase, ""},
      {"missing packet", "px.pkt", nullptr, nullptr, OpenProblem::kNoBase, ""},
      {"missing Squish base", "ssq", nullptr, nullptr, OpenProblem::kNoBase, ""},
      {"missing JAM base", "jjm", nullptr, nullptr, OpenProblem::kNoBase, ""},
      {"missing folder", "sno/such/sq", nullptr, nullptr, OpenProblem::kNoBase, ""},
      {"Squish index lost", "ssq", "ssq",
       [](const TempDir& d) { ASSERT_EQ(platform::DeleteFile(d / "sq.sqi"), platform::kOk); },
       OpenProblem::kNotFound, "sq.sqi"},
      {"Squish header cut", "ssq", "ssq",
       [](const TempDir& d) { ASSERT_TRUE(WriteFileBytes(d / "sq.sqd", std::string(100, '\0'))); },
       OpenProblem::kTooShort, "sq.sqd"},
      {"JAM text lost", "jjm", "jjm",
       [](const TempDir& d) { ASSERT_EQ(platform::DeleteFile(d / "jm.jdt"), platform::kOk); },
       OpenProblem::kNotFound, "jm.jdt"},
      {"JAM header cut", "jjm", "jjm",
       [](const TempDir& d) { ASSERT_TRUE(WriteFileBytes(d / "jm.jhr", "JAM")); },
       OpenProblem::kTooShort, "jm.jhr"},
      {"packet of another type", "px.pkt", "px.pkt",
       [](const TempDir& d) { testing::PatchFile(d / "x.pkt", 18, std::string("\x03", 1)); },
       OpenProblem::kWrongFormat, "x.pkt"},
      {"no kind", "xarea.txt", nullptr, nullptr, OpenProblem::kBadSpec, ""},
      {"bare mark", "s", nullptr, nullptr, OpenProblem::kBadSpec, ""},
  };
  auto in = [](const TempDir& dir, std::string_view spec) {
    return spec.size() < 2 ? std::string(spec) : spec[0] + (dir / spec.substr(1));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.filled) AddMessage(in(dir, c.filled), "one");
    if (c.damage) c.damage(dir);
    if (::testing::Test::HasFatalFailure()) return;
    const auto before = SnapshotTree(dir.path());
    for (Access access : {Access::kReadOnly, Access::kReadWrite}) {
      OpenFailure failure;
      EXPECT_EQ(OpenExisting(platform::kDenyWrite, in(dir, c.spec), access, &failure), nullptr);
      EXPECT_EQ(failure.problem, c.problem);
      EXPECT_EQ(failure.file, *c.file ? dir / c.file : "");
    }
    EXPECT_EQ(SnapshotTree(dir.path()), before);
  }
}

// A base another program holds: held open with a sharing mode that denies
// us, or locked the way tossers lock a base they write.
TEST_F(OpenerTest, OpenExistingNamesTheFileAnotherProgramHolds) {
  AddMessage(Spec('p', "x.pkt"), "in transit");
  AddMessage(Spec('s', "sq"), "tossed");
  OpenFailure failure;
  {
    HeldFile holder(dir_ / "x.pkt", platform::kModeReadWrite | platform::kDenyAll);
    ASSERT_EQ(holder.open_error(), platform::kOk);
    EXPECT_EQ(OpenExisting(platform::kDenyWrite, Spec('p', "x.pkt"), Access::kReadOnly, &failure),
              nullptr);
    EXPECT_EQ(failure.problem, OpenProblem::kInUse);
    EXPECT_EQ(failure.file, dir_ / "x.pkt");
  }
  testing::ClassicLock lock(dir_ / "sq.sqd", F_WRLCK);
  ASSERT_EQ(lock.outcome(), testing::ClassicLock::kTaken);
  EXPECT_EQ(OpenExisting(platform::kDenyWrite, Spec('s', "sq"), Access::kReadOnly, &failure),
            nullptr);
  EXPECT_EQ(failure.problem, OpenProblem::kInUse);
  EXPECT_EQ(failure.file, dir_ / "sq.sqd");
}

// Opened for reading only, a base of any kind reads, refuses to append,
// replace or delete a message, and leaves its files and folder exactly as
// they were: no lastread or side file appears.
// The name, type mark and path, of a base of the kind in `dir`.
std::string SpecIn(const TempDir& dir, char mark) {
  return mark + (dir / (mark == 'p' ? "x.pkt" : "area"));
}

TEST_F(OpenerTest, ReadOnlyOpenReadsAndChangesNothing) {
  for (char mark : {'f', 'p', 's', 'j'}) {
    SCOPED_TRACE(mark);
    TempDir dir;
    const std::string spec = SpecIn(dir, mark);
    {
      auto base = OpenOrCreate(platform::kDenyWrite, spec);
      ASSERT_NE(base, nullptr);
      MessageRecord record;
      record.subject = "read me";
      ASSERT_TRUE(base->WriteMessage(1, record));
    }
    // The files a base of ours gets besides its data.
    for (const char* side : {"area/lastread.qlr", "area.sql", "area.jqx"}) {
      if (PathExists(dir / side)) {
        ASSERT_EQ(platform::DeleteFile(dir / side), platform::kOk);
      }
    }
    const auto before = SnapshotTree(dir.path());
    auto base = OpenExisting(platform::kDenyWrite, spec, Access::kReadOnly);
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(base->count(), 1);
    MessageRecord record;
    ASSERT_TRUE(base->ReadMessage(1, record));
    EXPECT_EQ(record.subject.str(), "read me");
    EXPECT_FALSE(base->WriteMessage(2, record));
    EXPECT_FALSE(base->WriteMessage(1, record));
    EXPECT_FALSE(base->DeleteMessage(1));
    base.reset();
    EXPECT_EQ(SnapshotTree(dir.path()), before);
  }
}

// The key a sort orders by, read from the fixed fields alone, is what a
// read of the message header gives: odd seconds, read and unread messages,
// and no key where there is no message.
TEST_F(OpenerTest, SortKeysAreWhatAHeaderReadGives) {
  for (char mark : {'f', 'p', 's', 'j'}) {
    SCOPED_TRACE(mark);
    TempDir dir;
    const std::string spec = SpecIn(dir, mark);
    auto base = OpenOrCreate(platform::kDenyWrite, spec);
    ASSERT_NE(base, nullptr);
    const DateTime dates[] = {
        {2001, 3, 5, 17, 30, 9}, {1999, 12, 31, 23, 59, 58}, {2024, 2, 29, 0, 0, 1}};
    for (int i = 0; i < 3; ++i) {
      MessageRecord record;
      record.subject = "dated";
      record.area = mark == 'p' ? "ECHO" : "";
      record.date_written = record.date_arrived = dates[i];
      record.times_read = static_cast<uint16_t>(i == 1 ? 2 : 0);
      record.body.Write("text\r");
      ASSERT_TRUE(base->WriteMessage(base->count() + 1, record));
    }
    ASSERT_TRUE(base->Close());
    base = OpenExisting(platform::kDenyWrite, spec, Access::kReadOnly);
    ASSERT_NE(base, nullptr);
    MessageRecord scratch;
    for (int32_t n = 1; n <= 3; ++n) {
      MessageRecord header;
      ASSERT_TRUE(base->ReadMessageHeader(n, header));
      SortKey key;
      ASSERT_TRUE(base->ReadSortKey(n, scratch, &key)) << n;
      EXPECT_EQ(key.written, DateToSeconds(dates[n - 1])) << n;
      EXPECT_EQ(key.written, DateToSeconds(header.date_written)) << n;
      EXPECT_EQ(key.times_read, header.times_read) << n;
    }
    SortKey none;
    EXPECT_FALSE(base->ReadSortKey(4, scratch, &none));
    EXPECT_FALSE(base->ReadSortKey(0, scratch, &none));
  }
}

// Two specs name one base however they are spelled; bases that merely sit
// side by side, or are not there, are not one.
TEST_F(OpenerTest, SameBaseSeesThroughSpellingCaseAndLinks) {
  AddMessage(Spec('s', "sq"), "one");
  AddMessage(Spec('j', "jm"), "one");
  AddMessage(Spec('f', "net"), "one");
  AddMessage(Spec('f', "other"), "one");
  ASSERT_EQ(platform::CreateDirectory(dir_ / "sub"), platform::kOk);
  ASSERT_EQ(symlink((dir_ / "net").c_str(), (dir_ / "link").c_str()), 0);
  const std::string sq = Spec('s', "sq");
  struct Case {
    std::string a, b;
    bool same;
  } const cases[] = {
      {sq, sq, true},
      {sq, Spec('S', "SQ"), true},                  // letter case
      {sq, Spec('$', "sub/../sq"), true},           // another path
      {sq, dir_ / "sq.sqi", true},                  // a base file's name
      {Spec('f', "net"), Spec('#', "net/"), true},  // a trailing separator
      {Spec('f', "net"), Spec('f', "link"), true},  // a symbolic link
      {Spec('j', "jm"), Spec('J', "sub/../JM.jhr"), true},
      {Spec('f', "net"), Spec('f', "other"), false},  // two directories
      {sq, Spec('j', "sq"), false},                   // one name, two kinds of files
      {sq, Spec('s', "missing"), false},
      {Spec('s', "missing"), Spec('s', "missing"), false},
      {sq, Spec('x', "sq.txt"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameBase(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(SameBase(c.b, c.a), c.same) << c.b << " / " << c.a;
  }
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
