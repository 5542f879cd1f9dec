#include "bases/message_feed.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/crash_report.h"
#include "runtime/platform.h"

namespace quil {
namespace {

using Mode = MessageFeed::Mode;

// A base that holds messages under the given numbers only, as a *.msg
// directory with gaps does: NextMessage passes the numbers between them.
class GappyBase : public MessageBase {
 public:
  explicit GappyBase(std::set<int64_t> numbers) : numbers_(std::move(numbers)) {}

  int64_t NextMessage(int64_t n) override {
    auto it = numbers_.lower_bound(n);
    return it == numbers_.end() ? kMaxMessageCount + int64_t{1} : *it;
  }

 private:
  std::set<int64_t> numbers_;
};

// What a caller saw: the number, and the subject when the message was read.
using Seen = std::vector<std::pair<int32_t, std::string>>;

Seen TakeAll(MessageFeed& feed) {
  Seen seen;
  MessageFeed::Message message;
  while (feed.Next(&message)) {
    seen.emplace_back(message.number, message.read ? message.record->subject.str() : "-");
  }
  return seen;
}

// Reads message n with its number as the subject; passes over multiples of
// seven, as a damaged message or a high-water mark is passed over.
bool ReadNumbered(int32_t n, MessageRecord& record) {
  if (n % 7 == 0) return false;
  record.subject = std::to_string(n);
  return true;
}

// ReadNumbered, counting its calls (made on either thread).
struct CountingRead {
  std::atomic<int> calls{0};
  MessageFeed::ReadOne Read() {
    return [this](int32_t n, MessageRecord& record) {
      ++calls;
      return ReadNumbered(n, record);
    };
  }
};

class FeedModeTest : public ::testing::TestWithParam<Mode> {};

INSTANTIATE_TEST_SUITE_P(BothModes, FeedModeTest,
                         ::testing::Values(Mode::kInTurn, Mode::kReadAhead));

TEST_P(FeedModeTest, HandsOutEveryNumberInOrderUpToTheLast) {
  // More messages than the reading thread holds ahead, with gaps, and a
  // number past the last that must not be handed out.
  std::set<int64_t> numbers;
  for (int64_t n = 1; n <= 3 * static_cast<int64_t>(kFeedSlots); ++n) {
    if (n % 5 != 3) numbers.insert(n);
  }
  const int64_t last = *numbers.rbegin();
  numbers.insert(last + 1);
  GappyBase base(numbers);
  MessageFeed feed(base, last, ReadNumbered, GetParam());
  Seen expected;
  for (int64_t n : numbers) {
    if (n > last) break;
    const auto number = static_cast<int32_t>(n);
    expected.emplace_back(number, n % 7 == 0 ? "-" : std::to_string(n));
  }
  EXPECT_EQ(TakeAll(feed), expected);
  MessageFeed::Message message;
  EXPECT_FALSE(feed.Next(&message));  // and stays at its end
}

TEST_P(FeedModeTest, AnEmptySourceHandsOutNothing) {
  GappyBase base({});
  MessageFeed feed(base, 0, ReadNumbered, GetParam());
  EXPECT_TRUE(TakeAll(feed).empty());
}

TEST_P(FeedModeTest, AFailedReadingIsRaisedAfterTheMessagesBeforeIt) {
  GappyBase base({1, 2, 3, 4});
  auto read = [](int32_t n, MessageRecord& record) {
    if (n == 3) throw std::runtime_error("out of memory");
    return ReadNumbered(n, record);
  };
  MessageFeed feed(base, 4, read, GetParam());
  MessageFeed::Message message;
  ASSERT_TRUE(feed.Next(&message));
  EXPECT_EQ(message.number, 1);
  ASSERT_TRUE(feed.Next(&message));
  EXPECT_EQ(message.number, 2);
  EXPECT_THROW(feed.Next(&message), std::runtime_error);
}

TEST_P(FeedModeTest, KeepsNoRoomOfLongMessagesDoneWith) {
  // A record that held a message of many lines keeps room for them; with a
  // slot for each of many messages that would add up.
  std::set<int64_t> numbers;
  for (int64_t n = 1; n <= static_cast<int64_t>(kFeedSlots) + 16; ++n) numbers.insert(n);
  GappyBase base(numbers);
  auto read = [](int32_t, MessageRecord& record) {
    record.control_lines.FreeAll();
    for (int i = 0; i < 2000; ++i) record.control_lines.Insert("PID: x");
    return true;
  };
  const int64_t before = HeapInUse();
  MessageFeed feed(base, static_cast<int64_t>(numbers.size()), read, GetParam());
  EXPECT_EQ(TakeAll(feed).size(), numbers.size());
  EXPECT_LT(HeapInUse() - before, int64_t{4} << 20);
}

// Waits until `count` has not changed for a while (the reading thread went
// to wait), at most a few seconds; the last value.
int WhenSettled(const std::atomic<int>& count) {
  int last = -1;
  for (int round = 0; round < 100; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const int now = count.load();
    if (now == last) break;
    last = now;
  }
  return count.load();
}

TEST(FeedReadAheadTest, ReadsNoFurtherAheadThanItsSlotsAndBytesAllow) {
  if (platform::UsableProcessors() < 2) GTEST_SKIP() << "one processor: the feed reads in turn";
  struct Case {
    const char* what;
    size_t body_bytes;
    int most_ahead;  // messages read beyond the one the caller holds
  };
  constexpr size_t kLong = 256 << 10;
  const Case cases[] = {
      {"short messages: the slots bound it", 10, static_cast<int>(kFeedSlots) - 1},
      {"long messages: the bytes bound it", kLong, static_cast<int>(kFeedBytesAhead / kLong)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::set<int64_t> numbers;
    for (int64_t n = 1; n <= 4 * static_cast<int64_t>(kFeedSlots); ++n) numbers.insert(n);
    GappyBase base(numbers);
    std::atomic<int> reads{0};
    const std::string body(c.body_bytes, 'x');
    auto read = [&](int32_t, MessageRecord& record) {
      record.body.Empty();
      record.body.Write(body);
      ++reads;
      return true;
    };
    MessageFeed feed(base, static_cast<int64_t>(numbers.size()), read, Mode::kReadAhead);
    MessageFeed::Message message;
    ASSERT_TRUE(feed.Next(&message));  // and held: the caller does not come back
    const int read_ahead = WhenSettled(reads) - 1;
    EXPECT_GE(read_ahead, 1);
    EXPECT_LE(read_ahead, c.most_ahead);
    // Once the caller goes on, everything comes.
    int taken = 1;
    while (feed.Next(&message)) ++taken;
    EXPECT_EQ(taken, static_cast<int>(numbers.size()));
  }
}

TEST(FeedReadAheadTest, OnceStoppedTheSourceIsNoLongerRead) {
  std::set<int64_t> numbers;
  for (int64_t n = 1; n <= 100000; ++n) numbers.insert(n);
  GappyBase base(numbers);
  CountingRead reads;
  MessageFeed feed(base, 100000, reads.Read(), Mode::kReadAhead);
  MessageFeed::Message message;
  for (int k = 0; k < 10; ++k) ASSERT_TRUE(feed.Next(&message));
  feed.Stop();
  const int when_stopped = reads.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(reads.calls.load(), when_stopped);
  EXPECT_LT(when_stopped, 100000);
  EXPECT_FALSE(feed.Next(&message));
}

TEST(FeedReadAheadTest, WithOneProcessorReadsInTurn) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  GappyBase base({1, 2, 3, 4, 5});
  CountingRead reads;
  {
    MessageFeed feed(base, 5, reads.Read(), Mode::kReadAhead);
    MessageFeed::Message message;
    ASSERT_TRUE(feed.Next(&message));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(reads.calls.load(), 1);  // nothing read ahead
    ASSERT_TRUE(feed.Next(&message));
    EXPECT_EQ(message.number, 2);
  }
  EXPECT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

}  // namespace
}  // namespace quil
