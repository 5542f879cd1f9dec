// End-to-end tests with the NNTP server jamnntpd as a peer: it serves the
// JAM bases we write as newsgroups, headers and bodies intact, what is
// posted through it into a JAM base we made reads back field by field, and
// a sort between two posts keeps both.  Every test skips itself when
// jamnntpd is not installed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bases/base_opener.h"
#include "model/message_record.h"
#include "peer_support.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil::testing::peer {
namespace {

constexpr char kGroup[] = "QUIL.JAM";

// A port on the loopback interface that nothing listens on just now.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// One NNTP connection: commands out, response lines in (CR LF stripped).
class NntpClient {
 public:
  explicit NntpClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~NntpClient() {
    if (fd_ >= 0) close(fd_);
  }
  NntpClient(const NntpClient&) = delete;
  NntpClient& operator=(const NntpClient&) = delete;

  bool connected() const { return fd_ >= 0; }

  // Sends `line` and returns the status line of the answer.
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return ReadLine();
  }

  // The lines of a multi-line answer up to the closing ".", dot-stuffing
  // undone.
  std::vector<std::string> ReadBlock() {
    std::vector<std::string> lines;
    for (;;) {
      std::string line = ReadLine();
      if (line == "." || line == "<closed>") break;
      lines.push_back(line.starts_with("..") ? line.substr(1) : line);
    }
    return lines;
  }

  void Send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
      ssize_t n = write(fd_, bytes.data(), bytes.size());
      if (n <= 0) break;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  // The next line; "<closed>" when the server closed the connection or
  // said nothing for ten seconds.
  std::string ReadLine() {
    for (;;) {
      size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return line;
      }
      pollfd waiting{fd_, POLLIN, 0};
      char chunk[4096];
      ssize_t n = fd_ >= 0 && poll(&waiting, 1, 10000) == 1 ? read(fd_, chunk, sizeof chunk) : 0;
      if (n <= 0) return "<closed>";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// jamnntpd serving the JAM bases `groups` (name -> base path, without
// extension) on a free loopback port, with its configuration in `dir`;
// posts get a TZUTC kludge with `tzutc`.
class NntpServer {
 public:
  NntpServer(const std::string& program, const std::string& dir,
             const std::map<std::string, std::string>& groups, bool tzutc = false) {
    std::string groups_file;
    for (const auto& [name, path] : groups) {
      groups_file += name + " A " + kPeerAddress + " " + path + "\n";
    }
    EXPECT_TRUE(WriteFileBytes(dir + "/groups", groups_file));
    EXPECT_TRUE(WriteFileBytes(dir + "/allow", "127.0.0.1 * *\n"));
    EXPECT_TRUE(WriteFileBytes(dir + "/users", ""));
    // No character set translation: bytes go through as they are.
    EXPECT_TRUE(WriteFileBytes(dir + "/xlat", "read * unknown-8bit -keepsoftcr\npost * \"\"\n"));
    for (int attempt = 0; attempt < 3 && port_ < 0; ++attempt) {
      int port = FreePort();
      std::vector<std::string> args = {
          "-port",      std::to_string(port), "-groups",     dir + "/groups",
          "-allow",     dir + "/allow",       "-users",      dir + "/users",
          "-xlat",      dir + "/xlat",        "-logfile",    dir + "/jamnntpd.log",
          "-noecholog", "-noencode",          "-def_flowed", "off"};
      if (!tzutc) args.push_back("-notzutc");
      running_ = StartProgram(program, args);
      for (int i = 0; i < 150; ++i) {
        if (NntpClient(port).connected()) {
          port_ = port;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (port_ < 0) Stop();  // the port was taken meanwhile: try another
    }
    EXPECT_GE(port_, 0) << "jamnntpd did not start";
  }
  ~NntpServer() { Stop(); }

  int port() const { return port_; }

 private:
  void Stop() {
    if (running_.pid < 0) return;
    kill(running_.pid, SIGTERM);
    Finish(running_);
  }

  RunningProgram running_;
  int port_ = -1;
};

class JamnntpdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (jamnntpd_.empty()) GTEST_SKIP() << "jamnntpd is not installed (Debian package jamnntpd)";
  }

  const std::string jamnntpd_ = FindProgram("jamnntpd");
  TempDir dir_;
};

// An article as the server sent it: its header lines and its body lines.
struct Article {
  std::vector<std::string> headers;
  std::vector<std::string> body;

  // The header lines that start with `prefix`, in order.
  std::vector<std::string> HeadersStartingWith(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : headers) {
      if (line.starts_with(prefix)) found.push_back(line);
    }
    return found;
  }
};

// Fetches article `number` of the group selected on `client`.
Article FetchArticle(NntpClient& client, int number) {
  Article article;
  std::string status = client.Command("ARTICLE " + std::to_string(number));
  EXPECT_TRUE(status.starts_with("220 ")) << "ARTICLE " << number << ": " << status;
  if (!status.starts_with("220 ")) return article;
  bool in_body = false;
  for (std::string& line : client.ReadBlock()) {
    if (!in_body && line.empty()) {
      in_body = true;
    } else {
      (in_body ? article.body : article.headers).push_back(std::move(line));
    }
  }
  return article;
}

// The lines of the stored text of `r`: the body, the tear line and the
// origin line, as a JAM base keeps them.
std::vector<std::string> TextLines(MessageRecord& r) {
  std::string text = r.body.Contents();
  if (r.has_tear_line) text += "---" + r.tear_line.str() + "\r";
  if (r.has_origin) text += " * Origin: " + r.origin.str() + "(" + r.FormatOriginAddress() + ")\r";
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\r', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The X-JAM- header lines with which the server shows the subfields of
// `r` as our JAM base stores them, in their order.
std::vector<std::string> SubfieldHeaders(const MessageRecord& r) {
  std::vector<std::string> lines{
      "X-JAM-From: " + r.from_name.str() + " <" + r.FormatOriginAddress() + ">",
      "X-JAM-To: " + r.to_name.str() + " <" + r.FormatDestinationAddress() + ">"};
  auto add = [&lines](const char* name, const std::string& value) {
    if (!value.empty()) lines.push_back(std::string("X-JAM-") + name + ": " + value);
  };
  add("MSGID", r.msgid.str());
  add("REPLYID", r.reply.str());
  add("PID", r.pid.str());
  if (!r.tid.empty()) add("FTSKLUDGE", "TID: " + r.tid.str());
  for (const StringList* list : {&r.routing_lines, &r.control_lines}) {
    for (const std::string& line : *list) {
      // The time zone has a subfield of its own.
      if (line.starts_with(kControlMark + "TZUTC: ")) {
        add("TZUTCINFO", line.substr(8));
      } else {
        add("FTSKLUDGE", line.substr(1));
      }
    }
  }
  add("FLAGS", r.flags.str());
  for (const std::string& line : r.seenby_lines) add("SEENBY2D", line);
  for (const std::string& line : r.path_lines) add("PATH2D", line);
  return lines;
}

// The newsgroup shows every message of a JAM base we wrote: names,
// addresses, subject, date, MSGID and REPLY, every kludge, SEEN-BY and
// PATH, the attributes, and the text with every high byte.
TEST_F(JamnntpdTest, ServesAJamBaseWeWrote) {
  const std::string base = dir_ / "echo";
  // Two kinds of message, each twice: netmail between points of two zones
  // with every kind of kludge, then echomail in code page 866.  A server
  // that sees only every other index entry still shows one of each.
  struct Shape {
    const char* date;
    const char* attributes;
  };
  const Shape netmail{"Date: Mon, 5 Mar 2001 17:30:08 +0300",  // TZUTC: 0300
                      "X-JAM-Attributes: Local Private KillSent Crash Direct TypeNet"};
  const Shape echomail{"Date: Sun, 31 Dec 2023 23:59:58 GMT", "X-JAM-Attributes: TypeEcho"};
  std::vector<std::unique_ptr<MessageRecord>> messages;
  std::vector<const Shape*> shapes;
  for (const char* subject : {"Netmail between the zones", "Netmail between the zones, again"}) {
    messages.push_back(std::make_unique<MessageRecord>());
    BuildZoneNetmail(*messages.back(), kPeerAddress, 5, subject);
    shapes.push_back(&netmail);
  }
  for (const char* subject : {"Echomail", "Echomail, again"}) {
    messages.push_back(std::make_unique<MessageRecord>());
    BuildEchomail(*messages.back(), kGroup, subject);
    shapes.push_back(&echomail);
  }
  {
    std::unique_ptr<MessageBase> jam = CreateFresh(platform::kDenyWrite, "j" + base);
    ASSERT_TRUE(jam);
    for (auto& r : messages) ASSERT_TRUE(jam->WriteMessage(jam->count() + 1, *r));
    ASSERT_TRUE(jam->Close());
  }

  NntpServer server(jamnntpd_, dir_.path(), {{kGroup, base}});
  NntpClient client(server.port());
  ASSERT_TRUE(client.ReadLine().starts_with("200 "));
  // "211 count first last group".  jamnntpd 1.3 as built for 64-bit Debian
  // takes 16 bytes for an index entry of 8 (a long in its JAM structures):
  // it sees half the messages, article n being index entry 2n - 1.
  const std::string group = client.Command(std::string("GROUP ") + kGroup);
  const int served = std::atoi(group.c_str() + 4);
  ASSERT_TRUE(group.starts_with("211 ") && (served == 4 || served == 2)) << group;
  const int step = served == 4 ? 1 : 2;
  for (int n = 1; n <= served; ++n) {
    SCOPED_TRACE("article " + std::to_string(n));
    MessageRecord& r = *messages[static_cast<size_t>((n - 1) * step)];
    const Shape& shape = *shapes[static_cast<size_t>((n - 1) * step)];
    Article article = FetchArticle(client, n);
    EXPECT_EQ(article.HeadersStartingWith("Subject: "),
              std::vector<std::string>{"Subject: " + r.subject.str()});
    EXPECT_EQ(article.HeadersStartingWith("Date: "), std::vector<std::string>{shape.date});
    EXPECT_EQ(article.HeadersStartingWith("X-JAM-Attributes: "),
              std::vector<std::string>{shape.attributes});
    std::vector<std::string> subfields;
    for (const std::string& line : article.HeadersStartingWith("X-JAM-")) {
      if (!line.starts_with("X-JAM-Attributes: ")) subfields.push_back(line);
    }
    EXPECT_EQ(subfields, SubfieldHeaders(r));
    EXPECT_EQ(article.body, TextLines(r));
  }
}

// Posts one article with `subject` to kGroup through the server on `port`.
void Post(int port, const std::string& subject) {
  NntpClient client(port);
  ASSERT_TRUE(client.ReadLine().starts_with("200 "));
  ASSERT_TRUE(client.Command("POST").starts_with("340 "));
  client.Send(std::string("From: Test Poster <poster@example.com>\r\n") + "Newsgroups: " + kGroup +
              "\r\nSubject: " + subject +
              "\r\nUser-Agent: QuilTest 1.0\r\nOrganization: Quil test site\r\n"
              "Content-Type: text/plain; charset=iso-8859-1\r\n"
              "Content-Transfer-Encoding: 8bit\r\n\r\n"
              "First posted line.\r\nHigh \xe9\xe8 bytes\r\n.\r\n");
  EXPECT_TRUE(client.ReadLine().starts_with("240 ")) << subject;
  // The server writes the base out when the connection ends.
  EXPECT_TRUE(client.Command("QUIT").starts_with("205 "));
  EXPECT_EQ(client.ReadLine(), "<closed>");
}

// What is posted through the server into a JAM base we made reads back
// here: names, subject, the server's MSGID (its subfield stands before the
// origin address, whose reader makes up a MSGID of its own), the origin,
// tear and origin lines, its kludges and the body bytes.  The server counts
// 16 bytes per subfield header in SubfieldLen, so the subfields of the
// first post seem to run into the second post's header, and those of the
// second past the end of the file.
TEST_F(JamnntpdTest, PostsReadBackFieldByField) {
  const std::string base = dir_ / "posted";
  ASSERT_TRUE(CreateFresh(platform::kDenyWrite, "j" + base));
  NntpServer server(jamnntpd_, dir_.path(), {{kGroup, base}});
  for (const char* subject : {"Posted through NNTP", "Posted again"}) Post(server.port(), subject);
  // The MSGID subfields as the server stored them: the first subfield after
  // each message header (76 bytes), which the index points at.
  const std::string jhr = ReadFileBytes(base + ".jhr");
  const std::string jdx = ReadFileBytes(base + ".jdx");
  std::vector<std::string> stored_msgids;
  for (size_t entry = 0; entry + 8 <= jdx.size(); entry += 8) {
    const size_t subfield = Le32At(jdx, entry + 4) + 76;
    ASSERT_LE(subfield + 8, jhr.size());
    EXPECT_EQ(Le32At(jhr, subfield), 4u) << "MSGID is not the first subfield";
    stored_msgids.push_back(jhr.substr(subfield + 8, Le32At(jhr, subfield + 4)));
  }
  ASSERT_EQ(stored_msgids.size(), 2u);

  auto posts = ReadBase("j" + base);
  ASSERT_EQ(posts.size(), 2u);
  for (size_t i = 0; i < posts.size(); ++i) {
    ASSERT_TRUE(posts[i]) << "post " << i + 1 << " does not read";
    MessageRecord& r = *posts[i];
    SCOPED_TRACE(r.subject.str());
    EXPECT_EQ(r.from_name.str() + "|" + r.to_name.str(), "Test Poster|All");
    EXPECT_EQ(r.subject.str(), i == 0 ? "Posted through NNTP" : "Posted again");
    EXPECT_TRUE(IsValidDate(r.date_written));
    EXPECT_EQ(r.FormatOriginAddress(), kPeerAddress);
    EXPECT_EQ(r.msgid.str(), stored_msgids[i]);
    EXPECT_EQ(MsgidAddress(r), kPeerAddress);
    EXPECT_FALSE(r.intl_present);  // echomail: an origin address and no destination
    EXPECT_TRUE(r.pid.str().starts_with("JamNNTPd")) << r.pid.str();
    EXPECT_EQ(r.tear_line.str(), " QuilTest 1.0");
    EXPECT_EQ(r.origin.str(), "Quil test site ");
    EXPECT_TRUE(r.has_tear_line && r.has_origin);
    EXPECT_EQ(r.attributes, kAttrLocal);
    ASSERT_EQ(r.control_lines.count(), 1);
    EXPECT_EQ(r.control_lines.At(0), kControlMark + "REPLYADDR poster@example.com");
    EXPECT_EQ(Printable(r.body.Contents()),
              Printable("First posted line.\rHigh \xe9\xe8 bytes\r\r"));
  }
}

// Posts, with the server's TZUTC kludge, copied into each kind and back:
// every message says again what it said.
TEST_F(JamnntpdTest, PostedBaseComesBackFromEveryKind) {
  const std::string base = dir_ / "posted";
  ASSERT_TRUE(CreateFresh(platform::kDenyWrite, "j" + base));
  {
    NntpServer server(jamnntpd_, dir_.path(), {{kGroup, base}}, /*tzutc=*/true);
    for (const char* subject : {"Posted through NNTP", "Posted again"})
      Post(server.port(), subject);
  }
  auto posts = ReadBase("j" + base);
  ASSERT_EQ(posts.size(), 2u);
  for (const auto& post : posts) {
    ASSERT_TRUE(post);
    EXPECT_TRUE(std::any_of(
        post->control_lines.begin(), post->control_lines.end(),
        [](const std::string& line) { return line.starts_with(kControlMark + "TZUTC: "); }))
        << "no time zone among the kludges";
  }
  ExpectJamComesBackFromEveryKind("j" + base, dir_ / "round");
}

// Posts an article with this subject on the connection.
void Post(NntpClient& client, const std::string& subject) {
  ASSERT_TRUE(client.Command("POST").starts_with("340 ")) << subject;
  client.Send("From: Test Poster <poster@example.com>\r\nNewsgroups: " + std::string(kGroup) +
              "\r\nSubject: " + subject + "\r\n\r\nPosted text.\r\n.\r\n");
  EXPECT_TRUE(client.ReadLine().starts_with("240 ")) << subject;
}

// The server keeps the base open from GROUP on.  A sort between two posts
// on one connection writes the sorted base into the files the server
// holds, and the second post lands behind it: both posts are there.
TEST_F(JamnntpdTest, PostsAroundASortAreBothKept) {
  const std::string base = dir_ / "echo";
  {
    std::unique_ptr<MessageBase> jam = CreateFresh(platform::kDenyWrite, "j" + base);
    ASSERT_TRUE(jam);
    for (int n = 1; n <= 3; ++n) {
      MessageRecord r;
      BuildEchomail(r, kGroup, "Written " + std::to_string(n));
      r.date_written = {2010 - n, 1, 1, 0, 0, 0};
      ASSERT_TRUE(jam->WriteMessage(jam->count() + 1, r));
    }
    ASSERT_TRUE(jam->Close());
  }
  NntpServer server(jamnntpd_, dir_.path(), {{kGroup, base}});
  NntpClient client(server.port());
  ASSERT_TRUE(client.ReadLine().starts_with("200 "));
  ASSERT_TRUE(client.Command(std::string("GROUP ") + kGroup).starts_with("211 "));
  Post(client, "Before the sort");
  ProgramResult sort = RunProgram(ProgramPath("Quilord"), {"j" + base});
  ASSERT_EQ(sort.exit_code, 0) << sort.output;
  Post(client, "After the sort");
  EXPECT_TRUE(client.Command("QUIT").starts_with("205 "));
  EXPECT_EQ(client.ReadLine(), "<closed>");

  std::vector<std::string> subjects;
  for (const auto& r : ReadBase("j" + base)) {
    subjects.push_back(r ? r->subject.str() : "<unreadable>");
  }
  EXPECT_EQ(subjects, (std::vector<std::string>{"Written 3", "Written 2", "Written 1",
                                                "Before the sort", "After the sort"}));
}

// A JAM base the server posted into (a post and replies to it, with the
// server's own subfields and a SubfieldLen that counts more than it stores)
// behind a message of ours from a clock in the future: the sort puts the
// posts first and keeps each of them exactly as the server stored it, apart
// from its number, links and place; a second sort changes no byte.
TEST_F(JamnntpdTest, SortingPostsKeepsEveryStoredByte) {
  const std::string base = dir_ / "posted";
  {
    MessageRecord ours;
    BuildEchomail(ours, "", "Ours, from the future");
    ours.date_written = {2031, 1, 1, 0, 0, 0};
    std::unique_ptr<MessageBase> jam = CreateFresh(platform::kDenyWrite, "j" + base);
    ASSERT_TRUE(jam);
    ASSERT_TRUE(jam->WriteMessage(1, ours));
    ASSERT_TRUE(jam->Close());
  }
  NntpServer server(jamnntpd_, dir_.path(), {{kGroup, base}});
  const std::string subjects[] = {"The question", "An answer", "Another answer"};
  for (int i = 0; i < 3; ++i) {
    const std::string& subject = subjects[i];
    NntpClient client(server.port());
    ASSERT_TRUE(client.ReadLine().starts_with("200 "));
    ASSERT_TRUE(client.Command("POST").starts_with("340 "));
    std::string references = i == 0 ? "" : "References: <post0@example.com>\r\n";
    client.Send(std::string("From: Test Poster <poster@example.com>\r\nNewsgroups: ") + kGroup +
                "\r\nSubject: " + subject + "\r\nMessage-ID: <post" + std::to_string(i) +
                "@example.com>\r\n" + references + "\r\nText of " + subject + ".\r\n.\r\n");
    EXPECT_TRUE(client.ReadLine().starts_with("240 ")) << subject;
    EXPECT_TRUE(client.Command("QUIT").starts_with("205 "));
    EXPECT_EQ(client.ReadLine(), "<closed>");
  }
  const StoredMessages before = StoredBySubject("j" + base);
  ASSERT_EQ(before.by_subject.size(), 4u);

  ProgramResult run = RunProgram(ProgramPath("Quilord"), {"j" + base});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const StoredMessages after = StoredBySubject("j" + base);
  EXPECT_EQ(after.by_subject, before.by_subject);
  EXPECT_TRUE(std::is_sorted(after.dates.begin(), after.dates.end()));
  auto sorted = ReadBase("j" + base);
  ASSERT_EQ(sorted.size(), 4u);
  ASSERT_TRUE(sorted[3]);
  EXPECT_EQ(sorted[3]->subject.str(), "Ours, from the future");

  const auto files = SnapshotTree(dir_.path());
  run = RunProgram(ProgramPath("Quilord"), {"j" + base});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(SnapshotTree(dir_.path()), files);
}

}  // namespace
}  // namespace quil::testing::peer
