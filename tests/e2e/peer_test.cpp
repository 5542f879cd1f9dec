// End-to-end tests with the tosser crashmail as a peer: the packets we write
// are tossed by it into its *.msg and JAM areas with every field intact, we
// read what it stored and the packets it writes, our base lock keeps it out
// of a base we have open, and a sort while it tosses loses nothing.  Every
// test skips itself when crashmail is not installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fido/packet_base.h"
#include "bases/base_opener.h"
#include "child_process.h"
#include "model/message_record.h"
#include "peer_support.h"
#include "runtime/platform.h"
#include "sort_support.h"
#include "test_support.h"

namespace quil::testing::peer {
namespace {

// Echo areas of the peer.
constexpr char kJamArea[] = "QUIL.JAM";
constexpr char kMsgArea[] = "QUIL.MSG";
constexpr char kJamEchoSubject[] = "Echomail for the JAM area";
constexpr char kMsgEchoSubject[] = "Echomail for the *.msg area";

// A crashmail system in a scratch directory: its configuration file, the
// inbound, outbound and work directories, and its areas: netmail for its
// first address in a *.msg directory and for its second in a JAM base, one
// echo area of each kind, both linked to kLinkAddress.
class CrashmailSite {
 public:
  CrashmailSite(const std::string& program, const std::string& dir) : program_(program), dir_(dir) {
    for (const char* sub : {"in", "out", "tmp", "pkt", "msg", "jam"}) {
      std::filesystem::create_directories(dir_ + "/" + sub);
    }
    std::string prefs = "SYSOP \"Quil Peer Test\"\n";
    prefs += "LOGFILE \"" + dir_ + "/crashmail.log\"\nLOGLEVEL 5\n";
    prefs += "DUPEFILE \"" + dir_ + "/dupes\" 200\nDUPEMODE IGNORE\nLOOPMODE IGNORE\n";
    prefs += "DEFAULTZONE 2\n";
    prefs += "INBOUND \"" + dir_ + "/in\"\nOUTBOUND \"" + dir_ + "/out\"\n";
    prefs += "TEMPDIR \"" + dir_ + "/tmp\"\nCREATEPKTDIR \"" + dir_ + "/tmp\"\n";
    prefs += "PACKETDIR \"" + dir_ + "/pkt\"\nSTATSFILE \"" + dir_ + "/stats\"\n";
    prefs += "IMPORTSEENBY\nIMPORTEMPTYNETMAIL\n";
    prefs += std::string("AKA ") + kPeerAddress + "\nDOMAIN \"fidonet\"\n";
    prefs += std::string("AKA ") + kPeerSecondAddress + "\nDOMAIN \"fidonet\"\n";
    prefs += std::string("NODE ") + kLinkAddress + ".0 \"\" \"\"\n";
    prefs += std::string("ROUTE \"*:*/*.*\" \"") + kLinkAddress + ".0\" " + kPeerAddress + "\n";
    prefs +=
        std::string("NETMAIL \"NETMAIL\" ") + kPeerAddress + " MSG \"" + dir_ + "/msg/netmail\"\n";
    prefs += std::string("IMPORT ") + kPeerAddress + ".5\n";
    prefs += std::string("NETMAIL \"NETJAM\" ") + kPeerSecondAddress + " JAM \"" + dir_ +
             "/jam/netmail\"\n";
    prefs += std::string("IMPORT ") + kPeerSecondAddress + ".2\n";
    prefs += std::string("AREA \"BAD\" ") + kPeerAddress + " MSG \"" + dir_ + "/msg/bad\"\n";
    prefs += std::string("AREA \"") + kJamArea + "\" " + kPeerAddress + " JAM \"" + dir_ +
             "/jam/echo\"\nEXPORT " + kLinkAddress + ".0\n";
    prefs += std::string("AREA \"") + kMsgArea + "\" " + kPeerAddress + " MSG \"" + dir_ +
             "/msg/echo\"\nEXPORT " + kLinkAddress + ".0\n";
    EXPECT_TRUE(WriteFileBytes(prefs_path(), prefs));
  }

  std::string prefs_path() const { return dir_ + "/crashmail.prefs"; }
  std::string log() const { return ReadFileBytes(dir_ + "/crashmail.log"); }
  // A packet in the inbound directory, named as crashmail expects (eight
  // hexadecimal digits; it leaves other names alone).
  std::string inbound_packet() const { return dir_ + "/in/00000001.pkt"; }
  // Base specs of the areas.
  std::string netmail() const { return "f" + dir_ + "/msg/netmail"; }
  std::string jam_netmail() const { return "j" + dir_ + "/jam/netmail"; }
  std::string jam_echo() const { return "j" + dir_ + "/jam/echo"; }
  std::string msg_echo() const { return "f" + dir_ + "/msg/echo"; }

  // Runs crashmail with this configuration and `args`; its log follows its
  // output.
  ProgramResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"SETTINGS", prefs_path()});
    ProgramResult result = RunProgram(program_, args);
    result.output += "\n--- crashmail.log ---\n" + ReadFileBytes(dir_ + "/crashmail.log");
    return result;
  }
  // Starts crashmail with this configuration and `args`, under `runner`
  // (with `runner_args`) when one is given.  The runner gets crashmail's
  // path and arguments behind its own.
  RunningProgram Start(std::vector<std::string> args, const std::string& runner = {},
                       std::vector<std::string> runner_args = {}) const {
    args.insert(args.begin(), {"SETTINGS", prefs_path()});
    if (runner.empty()) return StartProgram(program_, args);
    runner_args.push_back(program_);
    runner_args.insert(runner_args.end(), args.begin(), args.end());
    return StartProgram(runner, runner_args);
  }

  // Tosses the inbound directory; fails the test unless every packet was
  // taken and nothing went to the BAD area.
  void Toss() const {
    ProgramResult toss = Run({"TOSS"});
    EXPECT_EQ(toss.exit_code, 0) << toss.output;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/in")) {
      ADD_FAILURE() << "left in the inbound: " << entry.path() << "\n" << toss.output;
    }
    EXPECT_FALSE(PathExists(dir_ + "/msg/bad")) << toss.output;
  }

 private:
  std::string program_;
  std::string dir_;
};

class CrashmailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (crashmail_.empty()) GTEST_SKIP() << "crashmail is not installed (Debian package crashmail)";
  }

  // A packet from the link to the peer holding `records`, written by the
  // library at `path`.
  static void WritePacket(const std::string& path, const std::vector<MessageRecord*>& records) {
    PacketBase packet;
    packet.SetOriginAddress(kLinkAddress);
    packet.SetDestinationAddress(kPeerAddress);
    ASSERT_TRUE(packet.Create(platform::kDenyWrite, path));
    for (MessageRecord* r : records) ASSERT_TRUE(packet.WriteMessage(packet.count() + 1, *r));
    ASSERT_TRUE(packet.Close());
  }

  const std::string crashmail_ = FindProgram("crashmail");
  TempDir dir_;
};

constexpr char kZoneSubject[] = "Netmail between the zones";
constexpr char kZoneToJamSubject[] = "Netmail between the zones, for JAM";
constexpr char kPointSubject[] = "Netmail to the second address";

// What tossing does to a message besides storing it: it is marked sent and
// no longer local.
void Tossed(MessageRecord& r) {
  r.SetAttribute(kAttrLocal, false);
  r.SetAttribute(kAttrSent, true);
}

// What a record looks like read back from one of the peer's *.msg areas:
// the header has no cost, no arrival date and no area.
void FromMsgArea(MessageRecord& r) {
  r.cost = 0;
  r.date_arrived = {};
  r.area.clear();
  r.date_text = FormatDate(r.date_written);
  r.ConvertFlags(Direction::kReading);
  r.state = kRecordRead;
}

// What a record looks like read back from one of the peer's JAM areas,
// where it is message `number`: the peer stores FLAGS and TID as plain
// kludges (FTSKLUDGE), the addresses as subfields, the kind of mail as the
// message type, and no area.  The arrival date (and the date text made from
// it) is the peer's clock.
void FromJamArea(MessageRecord& r, uint32_t number) {
  r.stored_type = r.IsEchomail() ? MessageType::kEchomail : MessageType::kNetmail;
  std::vector<std::string> kludges;
  if (!r.flags.empty()) kludges.push_back(kControlMark + "FLAGS " + r.flags.str());
  if (!r.tid.empty()) kludges.push_back(kControlMark + "TID: " + r.tid.str());
  for (int32_t i = 0; i < static_cast<int32_t>(kludges.size()); ++i) {
    r.control_lines.InsertAt(i, kludges[static_cast<size_t>(i)]);
  }
  r.flags.clear();
  r.tid.clear();
  r.attribute_flags = {};
  r.area.clear();
  r.stored_number = number;
  r.ConvertFlags(Direction::kReading);
  r.state = kRecordRead;
}
const std::initializer_list<std::string_view> kJamClock = {"date_arrived", "date_text"};
const std::initializer_list<std::string_view> kJamClockNoDestination = {"date_arrived", "date_text",
                                                                        "dest_address", "intl"};
const std::initializer_list<std::string_view> kNoDestination = {"dest_address", "intl"};

// Echomail passing through the peer: its own node joins PATH and SEEN-BY,
// which it sorts into one line.  (Echomail has no destination; what each
// base makes up for it is left out of the comparisons.)
void ThroughPeer(MessageRecord& r) {
  r.path_lines.FreeAll();
  r.path_lines.Insert("5020/2 1");
  r.seenby_lines.FreeAll();
  r.seenby_lines.Insert("5020/1 2 4 5030/7");
}

TEST_F(CrashmailTest, TossesOurPacketIntoItsAreasIntact) {
  CrashmailSite site(crashmail_, dir_.path());
  MessageRecord zone, zone_to_jam, point, jam_echo, msg_echo;
  BuildZoneNetmail(zone, kPeerAddress, 5, kZoneSubject);
  BuildZoneNetmail(zone_to_jam, kPeerSecondAddress, 2, kZoneToJamSubject);
  BuildPointNetmail(point);
  BuildEchomail(jam_echo, kJamArea, kJamEchoSubject);
  BuildEchomail(msg_echo, kMsgArea, kMsgEchoSubject);
  WritePacket(site.inbound_packet(), {&zone, &zone_to_jam, &point, &jam_echo, &msg_echo});
  site.Toss();

  auto netmail = ReadBase(site.netmail());
  auto jam_netmail = ReadBase(site.jam_netmail());
  ASSERT_EQ(jam_netmail.size(), 2u);
  if (MessageRecord* got = BySubject(netmail, kZoneSubject)) {
    Tossed(zone);
    FromMsgArea(zone);
    EXPECT_EQ(Fields(*got, {}), Fields(zone, {}));
  }
  if (MessageRecord* got = BySubject(jam_netmail, kZoneToJamSubject)) {
    Tossed(zone_to_jam);
    FromJamArea(zone_to_jam, 1);
    zone_to_jam.intl = "2:5020/3 1:250/3";  // from the address subfields: no points
    EXPECT_EQ(Fields(*got, kJamClock), Fields(zone_to_jam, kJamClock));
  }
  if (MessageRecord* got = BySubject(jam_netmail, kPointSubject)) {
    Tossed(point);
    FromJamArea(point, 2);
    EXPECT_EQ(Fields(*got, kJamClock), Fields(point, kJamClock));
  }

  auto jam_echo_area = ReadBase(site.jam_echo());
  ASSERT_EQ(jam_echo_area.size(), 1u);
  if (MessageRecord* got = BySubject(jam_echo_area, kJamEchoSubject)) {
    Tossed(jam_echo);
    ThroughPeer(jam_echo);
    FromJamArea(jam_echo, 1);
    EXPECT_EQ(Fields(*got, kJamClockNoDestination), Fields(jam_echo, kJamClockNoDestination));
    EXPECT_FALSE(got->intl_present);
  }
  auto msg_echo_area = ReadBase(site.msg_echo());
  if (MessageRecord* got = BySubject(msg_echo_area, kMsgEchoSubject)) {
    Tossed(msg_echo);
    ThroughPeer(msg_echo);
    FromMsgArea(msg_echo);
    EXPECT_EQ(Fields(*got, kNoDestination), Fields(msg_echo, kNoDestination));
  }
}

// A base of another kind copied into a packet by the converter: JAM keeps
// names and subjects longer than a packet may hold, which the packet must
// cut (a tosser refuses a packet with a longer one, losing all of it); the
// zones and points that JAM keeps in its address subfields travel in INTL,
// FMPT and TOPT.
TEST_F(CrashmailTest, TossesAPacketTheConverterWroteFromAJamBase) {
  CrashmailSite site(crashmail_, dir_.path());
  const std::string source = "j" + (dir_ / "source/net");
  MessageRecord zone;
  BuildZoneNetmail(zone, kPeerAddress, 5, std::string(75, 's'));
  zone.to_name = "Pyotr Ilyich Tchaikovsky of Votkinsk";  // 36: one past a packet's limit
  {
    std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, source);
    ASSERT_TRUE(base);
    ASSERT_TRUE(base->WriteMessage(1, zone));
    ASSERT_TRUE(base->Close());
  }
  ProgramResult copy = RunProgram(ProgramPath("Quilxfer"), {source, "p" + site.inbound_packet()});
  ASSERT_EQ(copy.exit_code, 0) << copy.output;
  site.Toss();

  auto netmail = ReadBase(site.netmail());
  if (MessageRecord* got = BySubject(netmail, std::string(71, 's'))) {
    MessageRecord expected;
    BuildZoneNetmail(expected, kPeerAddress, 5, std::string(71, 's'));
    expected.to_name = "Pyotr Ilyich Tchaikovsky of Votkins";
    Tossed(expected);
    FromMsgArea(expected);
    EXPECT_EQ(Fields(*got, {}), Fields(expected, {}));
  }
}

// A JAM base we made is a JAM base to the peer: it tosses into it and keeps
// what was there.  (Other JAM software does not open a base without its
// lastread file, and makes a new, empty one in its place.)
TEST_F(CrashmailTest, TossesIntoAJamBaseWeMadeAndKeepsItsMessages) {
  CrashmailSite site(crashmail_, dir_.path());
  MessageRecord first, second, tossed;
  BuildEchomail(first, "", "Written by us, first");
  BuildEchomail(second, "", "Written by us, second");
  {
    std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, site.jam_echo());
    ASSERT_TRUE(base);
    ASSERT_TRUE(base->WriteMessage(1, first));
    ASSERT_TRUE(base->WriteMessage(2, second));
    ASSERT_TRUE(base->Close());
  }
  auto before = ReadBase(site.jam_echo());
  ASSERT_EQ(before.size(), 2u);
  BuildEchomail(tossed, kJamArea, kJamEchoSubject);
  WritePacket(site.inbound_packet(), {&tossed});
  site.Toss();

  auto after = ReadBase(site.jam_echo());
  ASSERT_EQ(after.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    ASSERT_TRUE(before[i] && after[i]) << i;
    EXPECT_EQ(Fields(*after[i], {}), Fields(*before[i], {})) << i;
  }
  ASSERT_TRUE(after[2]);
  EXPECT_EQ(after[2]->subject.str(), kJamEchoSubject);
}

// The JAM bases the peer tossed into (netmail between the zones and from a
// point, echomail from a point with a time zone and a kludge nobody knows)
// copied into each kind and back: every message says again what it said.
TEST_F(CrashmailTest, ItsJamBasesComeBackFromEveryKind) {
  CrashmailSite site(crashmail_, dir_.path());
  MessageRecord zone, point, echo;
  BuildZoneNetmail(zone, kPeerSecondAddress, 2, kZoneToJamSubject);
  BuildPointNetmail(point);
  BuildEchomail(echo, kJamArea, kJamEchoSubject);
  echo.control_lines.Insert(kControlMark + "TZUTC: -0500");
  echo.control_lines.Insert(kControlMark + "X-UNKNOWN-KLUDGE: kept as it stands");
  WritePacket(site.inbound_packet(), {&zone, &point, &echo});
  site.Toss();
  ExpectJamComesBackFromEveryKind(site.jam_netmail(), dir_ / "netmail");
  ExpectJamComesBackFromEveryKind(site.jam_echo(), dir_ / "echo");
}

// The packets under `dir`: crashmail's packet directory holds echomail
// packets, its outbound netmail packets named by their flavour.
std::vector<std::string> PacketsIn(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    for (const char* extension : {".pkt", ".out", ".cut", ".dut", ".hut"}) {
      if (entry.path().extension() == extension) found.push_back(entry.path().string());
    }
  }
  return found;
}

// The message of a single-message packet among `packets` whose header runs
// from `from` to `to`.
std::unique_ptr<MessageRecord> OnlyMessageOf(const std::vector<std::string>& packets,
                                             const std::string& from, const std::string& to) {
  std::unique_ptr<MessageRecord> found;
  for (const std::string& packet : packets) {
    std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, "p" + packet);
    if (!base || base->GetOriginAddress() != from || base->GetDestinationAddress() != to) continue;
    EXPECT_FALSE(found) << "two packets from " << from << " to " << to;
    EXPECT_EQ(base->count(), 1) << packet;
    found = std::make_unique<MessageRecord>();
    if (base->count() < 1 || !base->ReadMessage(1, *found)) found.reset();
  }
  EXPECT_TRUE(found) << "no packet from " << from << " to " << to;
  return found;
}

// Echomail written at the peer's own system into its *.msg echo area: local,
// from its first address, not yet passed on anywhere.
void BuildLocalEchomail(MessageRecord& r, std::string_view subject) {
  BuildEchomail(r, kMsgArea, subject);
  r.seenby_lines.FreeAll();
  r.path_lines.FreeAll();
  r.routing_lines.FreeAll();
  r.orig_node = 1, r.orig_point = 0;
  r.msgid = "2:5020/1 01020304";
  r.orig_domain.clear();
  r.attributes = kAttrLocal;
  Settle(r);
}

// Locally written messages in our *.msg areas are what the peer exports:
// it reads them, packs them into packets for the link (echomail) and the
// destination (netmail) that our packet reader reads field by field, and
// marks them sent in our files without touching anything else of them.
// (It never exports message 1 of a *.msg area, which it keeps for itself.)
TEST_F(CrashmailTest, ExportsWhatWeWroteIntoItsMsgAreas) {
  CrashmailSite site(crashmail_, dir_.path());
  MessageRecord placeholder, echo, net;
  placeholder.subject = "Placeholder";
  BuildLocalEchomail(echo, "Local echomail");
  BuildZoneNetmail(net, "1:250/3", 3, "Netmail out of the zone");
  std::swap(net.from_name, net.to_name);
  net.orig_zone = 2, net.orig_net = 5020, net.orig_node = 1, net.orig_point = 0;
  net.intl = "1:250/3 2:5020/1";
  net.msgid = "2:5020/1 01020305";
  Settle(net);
  for (const std::string& spec : {site.msg_echo(), site.netmail()}) {
    std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, spec);
    ASSERT_TRUE(base);
    ASSERT_TRUE(base->WriteMessage(1, placeholder));
    ASSERT_TRUE(base->WriteMessage(2, spec == site.netmail() ? net : echo));
    ASSERT_TRUE(base->Close());
  }
  const std::string echo_file = dir_ / "msg/echo/2.msg";
  const std::string net_file = dir_ / "msg/netmail/2.msg";
  std::string echo_before = ReadFileBytes(echo_file);
  std::string net_before = ReadFileBytes(net_file);

  ProgramResult scan = site.Run({"SCAN"});
  ASSERT_EQ(scan.exit_code, 0) << scan.output;
  const std::vector<std::string> packets = PacketsIn(dir_.path());
  ASSERT_EQ(packets.size(), 2u) << scan.output;

  if (auto got = OnlyMessageOf(packets, kPeerAddress, kLinkAddress)) {
    echo.SetAttribute(kAttrLocal, false);  // a packet carries no local flag
    echo.seenby_lines.Insert("5020/1 2");
    echo.path_lines.Insert("5020/1");
    echo.date_text = FormatDate(echo.date_written);
    echo.date_arrived = {};
    echo.state = kRecordRead;
    Settle(echo);
    EXPECT_EQ(Fields(*got, kNoDestination), Fields(echo, kNoDestination));
  }
  if (auto got = OnlyMessageOf(packets, kPeerAddress, "1:250/3")) {
    net.attributes = kAttrPrivate | kAttrCrash;  // what a packet carries of them
    net.date_text = FormatDate(net.date_written);
    net.date_arrived = {};
    net.cost = 0;
    net.state = kRecordRead;
    Settle(net);
    EXPECT_EQ(Fields(*got, {"routing_lines"}), Fields(net, {"routing_lines"}));
    ASSERT_EQ(got->routing_lines.count(), 2);
    EXPECT_EQ(got->routing_lines.At(0), net.routing_lines.At(0));
    EXPECT_TRUE(got->routing_lines.At(1).starts_with(kControlMark + "Via 2:5020/1 @"))
        << Printable(got->routing_lines.At(1));
  }

  // Marked sent (attribute bit 0x0008 at offset 186), nothing else changed.
  for (std::string* before : {&echo_before, &net_before}) (*before)[186] |= kAttrSent;
  EXPECT_EQ(Printable(ReadFileBytes(echo_file)), Printable(echo_before));
  EXPECT_EQ(Printable(ReadFileBytes(net_file)), Printable(net_before));
}

// Packets made by crashwrite from a text file, netmail between points of
// two zones and echomail, read by our packet reader field by field.
TEST_F(CrashmailTest, ReadsPacketsCrashwriteMade) {
  const std::string crashwrite = FindProgram("crashwrite");
  if (crashwrite.empty()) GTEST_SKIP() << "crashwrite is not installed (Debian package crashmail)";
  const std::string text = dir_ / "text.txt";
  ASSERT_TRUE(WriteFileBytes(
      text, kPrivet + " line\nSecond line\n" + kControlMark + "CHRS: CP866 2\nLast\n"));
  auto write = [&](const std::string& out, std::vector<std::string> args) {
    std::filesystem::create_directories(out);
    args.insert(args.end(), {"DIR", out, "TEXT", text, "FROMNAME", "Ivan Petrov", "SUBJECT",
                             "Written by crashwrite"});
    ProgramResult run = RunProgram(crashwrite, args);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    std::vector<std::string> packets = PacketsIn(out);
    EXPECT_EQ(packets.size(), 1u) << run.output;
    return packets.empty() ? std::string() : packets[0];
  };
  const std::string net_packet = write(
      dir_ / "net",
      {"FROMADDR", "1:250/3.3", "TONAME", "Sysop", "TOADDR", "2:5020/1.5", "PASSWORD", "secret"});
  const std::string echo_packet =
      write(dir_ / "echo", {"FROMADDR", "2:5020/2.3", "TOADDR", kPeerAddress, "AREA", kJamArea,
                            "ORIGIN", "Written in a test"});
  // Line ends become CR; a kludge inside the text stays in the body.
  const std::string body =
      kPrivet + " line\rSecond line\r" + kControlMark + "CHRS: CP866 2\rLast\r";

  std::unique_ptr<MessageBase> net = OpenOrCreate(platform::kDenyWrite, "p" + net_packet);
  ASSERT_TRUE(net);
  EXPECT_EQ(net->GetOriginAddress(), "1:250/3.3");
  EXPECT_EQ(net->GetDestinationAddress(), "2:5020/1.5");
  EXPECT_EQ(net->GetPassword(), "secret");
  ASSERT_EQ(net->count(), 1);
  MessageRecord r;
  ASSERT_TRUE(net->ReadMessage(1, r));
  EXPECT_EQ(r.from_name.str() + "|" + r.to_name.str() + "|" + r.subject.str(),
            "Ivan Petrov|Sysop|Written by crashwrite");
  EXPECT_TRUE(IsValidDate(r.date_written));
  EXPECT_EQ(r.date_text.str(), FormatDate(r.date_written));
  EXPECT_EQ(r.FormatOriginAddress(), "1:250/3.3");
  EXPECT_EQ(r.FormatDestinationAddress(), "2:5020/1.5");
  EXPECT_EQ(r.intl.str(), "2:5020/1 1:250/3");
  EXPECT_EQ(MsgidAddress(r), "1:250/3.3");
  EXPECT_TRUE(r.area.empty());
  EXPECT_EQ(r.attributes, kAttrPrivate);
  EXPECT_EQ(Printable(r.body.Contents()), Printable(body));
  EXPECT_EQ(r.control_lines.count() + r.routing_lines.count() + r.seenby_lines.count() +
                r.path_lines.count(),
            0);

  std::unique_ptr<MessageBase> echo = OpenOrCreate(platform::kDenyWrite, "p" + echo_packet);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->GetOriginAddress(), "2:5020/2.3");
  EXPECT_EQ(echo->GetDestinationAddress(), kPeerAddress);
  ASSERT_EQ(echo->count(), 1);
  ASSERT_TRUE(echo->ReadMessage(1, r));
  EXPECT_EQ(r.area.str(), kJamArea);
  EXPECT_EQ(r.from_name.str() + "|" + r.to_name.str(), "Ivan Petrov|All");
  EXPECT_EQ(r.FormatOriginAddress(), "2:5020/2.3");
  EXPECT_EQ(MsgidAddress(r), "2:5020/2.3");
  EXPECT_TRUE(r.has_origin);
  EXPECT_EQ(r.origin.str(), "Written in a test ");
  EXPECT_TRUE(r.has_tear_line);
  EXPECT_TRUE(r.tear_line.str().starts_with(" CrashWrite")) << r.tear_line.str();
  EXPECT_EQ(Printable(r.body.Contents()), Printable(body));
}

// ---------------------------------------------------------------------------
// Sorting what the peer stored.

ProgramResult Sort(const std::string& spec) { return RunProgram(ProgramPath("Quilord"), {spec}); }

// A sort of every area the peer tossed into (netmail and echomail from
// points, with TZUTC and other kludges, in *.msg and JAM) keeps each message
// exactly as the peer stored it, apart from its number and links, puts them
// in order of date written, and a second sort changes no byte.
TEST_F(CrashmailTest, SortingWhatItTossedKeepsEveryStoredByte) {
  CrashmailSite site(crashmail_, dir_.path());
  std::vector<std::unique_ptr<MessageRecord>> records;
  const DateTime dates[] = {{2023, 12, 31, 23, 59, 58}, {2023, 6, 1, 8, 0, 0},
                            {2024, 2, 2, 12, 30, 0}};
  for (int i = 0; i < 3; ++i) {
    for (const char* area : {kJamArea, kMsgArea}) {
      records.push_back(std::make_unique<MessageRecord>());
      BuildEchomail(*records.back(), area, std::string(area) + " echomail " + std::to_string(i));
      records.back()->control_lines.Insert(kControlMark + "TZUTC: 0300");
      records.back()->date_written = dates[i];
    }
    if (i == 2) break;
    records.push_back(std::make_unique<MessageRecord>());
    BuildZoneNetmail(*records.back(), kPeerAddress, 5, "Netmail " + std::to_string(i));
    records.back()->date_written = dates[i];
    records.push_back(std::make_unique<MessageRecord>());
    BuildPointNetmail(*records.back());
    records.back()->subject = "Point netmail " + std::to_string(i);
    records.back()->date_written = dates[i];
  }
  std::vector<MessageRecord*> packed;
  for (auto& r : records) packed.push_back(r.get());
  WritePacket(site.inbound_packet(), packed);
  site.Toss();

  for (const std::string& spec :
       {site.netmail(), site.jam_netmail(), site.jam_echo(), site.msg_echo()}) {
    SCOPED_TRACE(spec);
    const StoredMessages before = StoredBySubject(spec);
    ASSERT_GE(before.by_subject.size(), 2u);
    ASSERT_FALSE(std::is_sorted(before.dates.begin(), before.dates.end()));
    ProgramResult run = Sort(spec);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const StoredMessages after = StoredBySubject(spec);
    EXPECT_EQ(after.by_subject, before.by_subject);
    EXPECT_TRUE(std::is_sorted(after.dates.begin(), after.dates.end()));

    const auto sorted = SnapshotTree(dir_.path());
    run = Sort(spec);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(SnapshotTree(dir_.path()), sorted);
  }
}

// The peer keeps its high-water mark in 1.msg of a *.msg echo area and
// exports only the messages above it.  A local message that the sort puts
// below the mark (it is older than a message already scanned) is still
// exported by the next scan, and the mark stays 1.msg.
TEST_F(CrashmailTest, ExportsALocalMessageTheSortMovedBelowItsHighWaterMark) {
  CrashmailSite site(crashmail_, dir_.path());
  ASSERT_TRUE(WriteFileBytes(site.prefs_path(), ReadFileBytes(site.prefs_path()) + "MSG_HIGHWATER\n"));
  MessageRecord early, future;
  BuildEchomail(early, kMsgArea, "Tossed early");
  BuildEchomail(future, kMsgArea, "From a clock in the future");
  future.date_written = {2031, 1, 1, 0, 0, 0};
  WritePacket(site.inbound_packet(), {&early, &future});
  site.Toss();
  ProgramResult scan = site.Run({"SCAN"});
  ASSERT_EQ(scan.exit_code, 0) << scan.output;
  const std::string mark = dir_ / "msg/echo/1.msg";
  ASSERT_TRUE(PathExists(mark)) << scan.output;
  for (const std::string& packet : PacketsIn(dir_.path())) std::filesystem::remove(packet);

  MessageRecord local;
  BuildLocalEchomail(local, "Written here");
  local.date_written = {2025, 5, 5, 5, 5, 4};
  {
    std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, site.msg_echo());
    ASSERT_TRUE(base);
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, local));
    ASSERT_TRUE(base->Close());
  }
  ProgramResult run = Sort(site.msg_echo());
  ASSERT_EQ(run.exit_code, 0) << run.output;
  auto sorted = ReadBase(site.msg_echo());
  ASSERT_EQ(sorted.size(), 4u);
  ASSERT_TRUE(sorted[0] && sorted[2]);
  EXPECT_EQ(sorted[0]->subject.str(), "HighWater mark");
  EXPECT_EQ(sorted[2]->subject.str(), "Written here");

  scan = site.Run({"SCAN"});
  ASSERT_EQ(scan.exit_code, 0) << scan.output;
  if (auto got = OnlyMessageOf(PacketsIn(dir_.path()), kPeerAddress, kLinkAddress)) {
    EXPECT_EQ(got->subject.str(), "Written here");
  }
}

// ---------------------------------------------------------------------------
// Locking: while a JAM base is open here it holds the lock on byte 0 of its
// .jhr that the peer takes to write the base, and the other way round.

// Waits up to five seconds for the process `pid` to open the file `path`.
bool WaitForOpenFile(int pid, const std::string& path) {
  const std::filesystem::path wanted = std::filesystem::weakly_canonical(path);
  for (int i = 0; i < 250; ++i) {
    std::error_code error;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         it != std::filesystem::directory_iterator(); it.increment(error)) {
      if (std::filesystem::read_symlink(it->path(), error) == wanted) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class CrashmailLockTest : public CrashmailTest {
 protected:
  void SetUp() override {
    CrashmailTest::SetUp();
    if (IsSkipped()) return;
    BuildEchomail(ours_, "", "Ours, before the toss");
    std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, site_.jam_echo());
    ASSERT_TRUE(base);
    ASSERT_TRUE(base->WriteMessage(1, ours_));
    ASSERT_TRUE(base->Close());
    before_ = ReadBase(site_.jam_echo());
    ASSERT_EQ(before_.size(), 1u);
    BuildEchomail(tossed_, kJamArea, kJamEchoSubject);
    WritePacket(site_.inbound_packet(), {&tossed_});
  }

  // After the toss: our message as it was, the tossed one behind it.
  void ExpectBothMessages() {
    auto after = ReadBase(site_.jam_echo());
    ASSERT_EQ(after.size(), 2u);
    ASSERT_TRUE(after[0] && after[1]);
    EXPECT_EQ(Fields(*after[0], {}), Fields(*before_[0], {}));
    EXPECT_EQ(after[1]->subject.str(), kJamEchoSubject);
  }

  CrashmailSite site_{crashmail_, dir_.path()};
  MessageRecord ours_, tossed_;
  std::vector<std::unique_ptr<MessageRecord>> before_;
};

// The tosser waits (it retries for about ten seconds) while our base is
// open, and tosses once it is closed.
TEST_F(CrashmailLockTest, OurOpenBaseKeepsTheTosserOut) {
  std::unique_ptr<MessageBase> open = OpenOrCreate(platform::kDenyWrite, site_.jam_echo());
  ASSERT_TRUE(open);
  const std::string files_before =
      ReadFileBytes(dir_ / "jam/echo.jhr") + ReadFileBytes(dir_ / "jam/echo.jdx");
  RunningProgram toss = site_.Start({"TOSS"});
  // The tosser opens the base, then tries its lock once a second.
  EXPECT_TRUE(WaitForOpenFile(toss.pid, dir_ / "jam/echo.jhr"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(ReadFileBytes(dir_ / "jam/echo.jhr") + ReadFileBytes(dir_ / "jam/echo.jdx"),
            files_before)
      << "the tosser wrote while our base was open";
  ASSERT_TRUE(open->Close());
  open.reset();
  ProgramResult result = Finish(toss);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  ExpectBothMessages();
}

// The tosser holds its lock only while it writes one message; strace's
// fault injection stretches that to seconds, so that our open, and the
// converter's, meet it: both fail and change nothing.
TEST_F(CrashmailLockTest, TheTossersLockKeepsUsOut) {
  const std::string strace = FindProgram("strace");
  if (strace.empty()) GTEST_SKIP() << "strace is not installed (Debian package strace)";
  if (RunProgram(strace, {"-o", "/dev/null", "true"}).exit_code != 0) {
    GTEST_SKIP() << "strace can not trace programs here";
  }
  // Every fcntl call of the tosser (its lock and unlock) returns 1.5 s late.
  RunningProgram toss = site_.Start({"TOSS"}, strace,
                                    {"-f", "-qq", "-o", "/dev/null", "-e", "trace=fcntl", "-e",
                                     "inject=fcntl:delay_exit=1500000"});
  bool locked_out = false;
  for (int i = 0; i < 500 && !locked_out; ++i) {
    locked_out = !OpenOrCreate(platform::kDenyWrite, site_.jam_echo());
    if (!locked_out) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(locked_out) << "never saw the tosser's lock";
  if (locked_out) {
    const std::string copy_from = "j" + (dir_ / "other");
    ASSERT_TRUE(CreateFresh(platform::kDenyWrite, copy_from));
    ProgramResult copy = RunProgram(ProgramPath("Quilxfer"), {copy_from, site_.jam_echo()});
    EXPECT_NE(copy.output.find("can't open destination base"), std::string::npos) << copy.output;
  }
  ProgramResult result = Finish(toss);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  ExpectBothMessages();
}

}  // namespace
}  // namespace quil::testing::peer

namespace quil::testing::peer {
namespace {

// ---------------------------------------------------------------------------
// Sorting an area while the tosser tosses into it: into a JAM area the sort
// holds the base's lock and the tosser waits for it; a *.msg area has no
// lock, and the sort rewrites only the files it read.  Afterwards the area
// holds the original messages and every message the tosser reports
// imported, each once, whatever point of the toss the sort started at.
// Copying the area meanwhile into another kind of base (the converter
// reads it ahead of its writing) leaves the toss as undisturbed, and the
// copy holds the messages the area held when it was opened, each once.

constexpr int kOriginals = 100;

// The number crashmail's log reports imported in its last summary.
int ImportedCount(const std::string& log) {
  constexpr std::string_view kLabel = "Imported messages:";
  size_t at = log.rfind(kLabel);
  return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + kLabel.size());
}

// The messages of the area `spec` now: a JAM base's index entries, the
// files of a *.msg directory.
int StoredCount(const std::string& spec) {
  std::error_code error;
  if (spec[0] == 'j') {
    auto size = std::filesystem::file_size(spec.substr(1) + ".jdx", error);
    return error ? 0 : static_cast<int>(size / 8);
  }
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(spec.substr(1), error);
       it != std::filesystem::directory_iterator(); it.increment(error)) {
    count += it->path().extension() == ".msg";
  }
  return count;
}

bool Running(int pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

struct TossCase {
  bool jam;
  int tossed;  // JAM tosses much faster: more messages keep it busy as long
  bool copy;   // the converter copies the area into a Squish base instead
};

class CrashmailSortTest : public CrashmailTest, public ::testing::WithParamInterface<TossCase> {
 protected:
  // Tosses a packet of GetParam().tossed messages into an area of
  // kOriginals and sorts the area (or copies it) once `offset` of them are
  // in.  Checks the area, and the copy, afterwards; false when the sort came
  // after the toss was over (it then proves nothing).
  bool TossAndSort(int offset) {
    const TossCase& c = GetParam();
    std::unique_ptr<TempDir> dir = sort_e2e::ScratchDirectory();
    CrashmailSite site(crashmail_, dir->path());
    const std::string area = c.jam ? site.jam_echo() : site.msg_echo();
    {
      std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, area);
      EXPECT_TRUE(base);
      if (!base) return true;
      MessageRecord r;
      for (int i = 1; i <= kOriginals; ++i) {
        BuildEchomail(r, "", "Original " + std::to_string(i));
        r.date_written = {2020, 1 + i % 12, 1 + i % 28, 0, 0, 0};
        EXPECT_TRUE(base->WriteMessage(base->count() + 1, r));
      }
      EXPECT_TRUE(base->Close());
    }
    {
      std::vector<std::unique_ptr<MessageRecord>> records;
      std::vector<MessageRecord*> packet;
      for (int i = 1; i <= c.tossed; ++i) {
        records.push_back(std::make_unique<MessageRecord>());
        BuildEchomail(*records.back(), c.jam ? kJamArea : kMsgArea, "Tossed " + std::to_string(i));
        records.back()->msgid = "2:5020/2.5 " + std::to_string(10000000 + i);
        records.back()->date_written = {2019, 1 + i % 12, 1 + i % 28, i % 24, i % 60, 0};
        packet.push_back(records.back().get());
      }
      WritePacket(site.inbound_packet(), packet);
    }

    // Its output goes nowhere: nobody reads it while it runs.
    RunningProgram toss = site.Start({"TOSS"}, "/bin/sh", {"-c", "exec \"$0\" \"$@\" > /dev/null"});
    while (Running(toss.pid) && StoredCount(area) < kOriginals + offset) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // The toss halts while the sort starts: a *.msg sort has read the
    // directory when it says the base is open; a JAM sort may wait for the
    // lock the halted tosser holds.
    kill(toss.pid, SIGSTOP);
    // The converter does not wait for the JAM lock the way the sorter
    // does: the tosser is halted again until it holds none.
    for (int tries = 0; c.copy && c.jam && tries < 1000 &&
                        !OpenExisting(platform::kDenyWrite, area, Access::kReadOnly, nullptr);
         ++tries) {
      kill(toss.pid, SIGCONT);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      kill(toss.pid, SIGSTOP);
    }
    const std::string copy = "s" + (*dir / "copy");
    ChildProcess sort(
        ProgramPath(c.copy ? "Quilxfer" : "Quilord"),
        c.copy ? std::vector<std::string>{area, copy} : std::vector<std::string>{area},
        ChildProcess::Mode::kPipes);
    sort.CloseInput();
    EXPECT_TRUE(sort.ReadUntil(c.jam && !c.copy ? "source base: [" : "source base opened\n"))
        << sort.output();
    kill(toss.pid, SIGCONT);
    EXPECT_EQ(sort.Wait(), 0) << sort.output();
    EXPECT_NE(sort.output().find(c.copy ? "coping message... #" : "writing message... #"),
              std::string::npos)
        << sort.output();
    ProgramResult tossed = Finish(toss);
    EXPECT_EQ(tossed.exit_code, 0) << site.log();

    const int imported = ImportedCount(site.log());
    EXPECT_GT(imported, 0) << site.log();
    std::map<std::string, int> subjects;
    int unreadable = 0;
    for (const auto& r : ReadBase(area)) {
      if (r) {
        ++subjects[r->subject.str()];
      } else {
        ++unreadable;
      }
    }
    EXPECT_EQ(unreadable, 0);
    EXPECT_EQ(subjects.size(), static_cast<size_t>(kOriginals + imported));
    std::string wrong;  // messages not there exactly once
    int wrong_count = 0;
    auto once = [&](const std::string& subject) {
      if (int n = subjects[subject]; n != 1 && ++wrong_count <= 5) {
        wrong += " [" + subject + "] " + std::to_string(n) + " times;";
      }
    };
    for (int i = 1; i <= kOriginals; ++i) once("Original " + std::to_string(i));
    for (int i = 1; i <= imported; ++i) once("Tossed " + std::to_string(i));
    EXPECT_EQ(wrong_count, 0) << "for example" << wrong;
    if (c.copy) {
      // Every original, and of the tossed only messages the area holds, each
      // once, whole.
      std::map<std::string, int> copied;
      for (const auto& r : ReadBase(copy)) {
        EXPECT_TRUE(r) << "a copied message can not be read";
        if (r) ++copied[r->subject.str()];
      }
      for (int i = 1; i <= kOriginals; ++i) {
        EXPECT_EQ(copied["Original " + std::to_string(i)], 1) << i;
      }
      for (const auto& [subject, n] : copied) {
        EXPECT_TRUE(n == 1 && subjects.count(subject) == 1) << subject << " copied " << n;
      }
    }
    // The sort read the area before the toss was over.
    return sort.output().find("total " + std::to_string(kOriginals + c.tossed)) ==
           std::string::npos;
  }
};

TEST_P(CrashmailSortTest, SortingOrCopyingWhileItTossesLosesNothing) {
  const int tossed = GetParam().tossed;
  for (const int offset : {0, tossed / 4, tossed * 3 / 5}) {
    SCOPED_TRACE("sorted after " + std::to_string(offset) + " tossed");
    // On a loaded machine the tosser may finish before this test gets to
    // halt it; another try then proves the overlap.
    bool overlapped = false;
    for (int attempt = 0; attempt < 6 && !overlapped && !HasFailure(); ++attempt) {
      overlapped = TossAndSort(offset);
    }
    EXPECT_TRUE(overlapped) << "the toss was always over before the sort began";
  }
}

INSTANTIATE_TEST_SUITE_P(JamAndMsg, CrashmailSortTest,
                         ::testing::Values(TossCase{true, 3000, false},
                                           TossCase{false, 1000, false}, TossCase{true, 3000, true},
                                           TossCase{false, 1000, true}),
                         [](const ::testing::TestParamInfo<TossCase>& info) {
                           return std::string(info.param.jam ? "Jam" : "Msg") +
                                  (info.param.copy ? "Copied" : "Sorted");
                         });

}  // namespace
}  // namespace quil::testing::peer
