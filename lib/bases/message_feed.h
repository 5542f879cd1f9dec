// The messages of a base handed out one by one, in order of number, to a
// caller that copies them somewhere else.
//
// Read ahead, the feed reads on a thread of its own while the caller writes:
// the reading of one base and the writing of another share no state, and
// each keeps a processor busy, so a copy takes about as long as the slower
// half instead of both together.  The reading thread runs at most
// kFeedSlots messages, and about kFeedBytesAhead bytes of their texts, ahead
// of the caller.  Reading has no effect on the base, so messages read ahead
// and never taken (the caller stopped) cost nothing but the reading.
//
// In turn, the feed reads each message on the caller's thread when it is
// asked for: for a caller that itself reads the base while it copies, and
// whenever the process has only one processor to run on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "model/message_base.h"
#include "model/message_record.h"

namespace quil {

// Messages the reading thread may hold ahead of the caller.
constexpr size_t kFeedSlots = 256;
// The text bytes it may hold ahead: past these it waits, whatever the
// number of messages (a message longer than this is still read, alone).
constexpr size_t kFeedBytesAhead = size_t{1} << 20;

class MessageFeed {
 public:
  // Reads message n into the record; false when the message is to be passed
  // over (not there, damaged, not a message).
  using ReadOne = std::function<bool(int32_t n, MessageRecord& record)>;

  enum class Mode { kInTurn, kReadAhead };

  // One message number of the source as the feed hands it out.
  struct Message {
    int32_t number = 0;
    bool read = false;  // the record holds the message
    MessageRecord* record = nullptr;
  };

  // Feeds every number of `source` that NextMessage gives, from 1 through
  // `last`, read by `read`.  A feed that reads ahead starts at once.
  MessageFeed(MessageBase& source, int64_t last, ReadOne read, Mode mode);
  // Stops the reading thread and waits for it.
  ~MessageFeed();
  MessageFeed(const MessageFeed&) = delete;
  MessageFeed& operator=(const MessageFeed&) = delete;

  // The next message in order; false after the last one.  Its record is the
  // caller's to use until the next call.  An exception the reading raised
  // is raised here, at the message it was reading.
  bool Next(Message* message);

  // Stops reading: the feed hands out nothing more, and the source is no
  // longer touched once this returns.  The feed's records are freed.
  void Stop();

 private:
  struct Slot {
    int32_t number = 0;
    bool read = false;
    size_t bytes = 0;
    std::unique_ptr<MessageRecord> record;
  };

  // Gives the slots taken back to the reading thread.
  void GiveBack();
  // In turn: reads the next number into slot 0.
  bool NextInTurn(Message* message);
  // The reading thread's work.
  void ReadAll();
  // Reads number n into the slot and notes the bytes it holds.
  void Fill(Slot& slot, int32_t n);
  // Hands the slots filled since the last call to the caller; false when
  // the caller asked the reading to stop.
  bool Publish(bool finished);
  // Waits until the caller gives slots back; false when asked to stop.
  bool WaitForRoom();

  MessageBase& source_;
  const int64_t last_;
  const ReadOne read_;
  Mode mode_;
  std::vector<Slot> slots_;

  // Each side's own fields, the shared ones and each wake-up hint sit on
  // cache lines of their own: a side that writes its fields a message, or
  // looks at a hint while it waits, does not take the other side's line
  // from its processor each time.
  static constexpr size_t kCacheLine = 64;

  // The caller's side (in turn: everything).
  alignas(kCacheLine) int64_t next_ = 0;  // in turn: the number read last
  bool stopped_ = false;
  Slot* held_ = nullptr;  // the slot handed out last
  size_t take_at_ = 0;
  size_t known_ready_ = 0;  // published slots the caller has not taken
  size_t taken_ = 0;        // slots taken, not yet given back
  size_t taken_bytes_ = 0;

  // The reading thread's side.
  alignas(kCacheLine) size_t fill_at_ = 0;
  size_t free_ = 0;         // slots it may fill without asking
  size_t bytes_ahead_ = 0;  // text bytes of the slots not given back
  size_t unpublished_ = 0;

  // Shared, under mutex_.
  alignas(kCacheLine) std::mutex mutex_;
  std::condition_variable ready_changed_;
  std::condition_variable room_changed_;
  size_t ready_ = 0;     // published, not yet seen by the caller
  size_t returned_ = 0;  // given back, not yet seen by the reader
  size_t returned_bytes_ = 0;
  bool finished_ = false;  // the reader published its last slot
  bool stop_ = false;
  std::exception_ptr failure_;
  // What ready_ > 0 || finished_ and returned_ > 0 last were, for a side
  // that waits awake for a moment before it takes the lock and sleeps.
  alignas(kCacheLine) std::atomic<bool> ready_hint_{false};
  alignas(kCacheLine) std::atomic<bool> returned_hint_{false};

  alignas(kCacheLine) std::thread reader_;
};

}  // namespace quil
