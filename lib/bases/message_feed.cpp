#include "bases/message_feed.h"

#include <system_error>
#include <utility>

#include "runtime/platform.h"

namespace quil {

namespace {

// The reading thread hands its messages over this many at a time (or when
// it must wait, or has read the last): each hand-over may wake the caller,
// and waking costs more than a message's reading.
constexpr size_t kPublishEvery = 32;

// What a read record holds, roughly: its body, and a line's worth for each
// control, routing, PATH and SEEN-BY line.
size_t HeldBytes(MessageRecord& record) {
  constexpr size_t kLineBytes = 128;
  const size_t lines = static_cast<size_t>(record.control_lines.count()) +
                       static_cast<size_t>(record.routing_lines.count()) +
                       static_cast<size_t>(record.path_lines.count()) +
                       static_cast<size_t>(record.seenby_lines.count());
  return static_cast<size_t>(record.body.GetSize()) + lines * kLineBytes;
}

// A record whose message held more than this is made anew for the next
// one: a record keeps the storage it grew to (its line lists), and the
// slots together should keep no more than short messages need.
constexpr size_t kKeepRecordBytes = size_t{16} << 10;

// Tells the processor that it is waiting in a loop: it draws less power and
// leaves more to a thread that shares its core.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Looks at `done` until it is true or some tens of microseconds have
// passed; true when it came true.  The other side hands over a batch every
// few dozen microseconds, and going to sleep and being woken again costs
// both sides more than waiting so long awake.  Every so often the wait
// gives the processor up, so that the other side, when it has to share
// this processor (a busy machine), runs on meanwhile.
template <typename Done>
bool SpinUntil(Done done) {
  constexpr int kLooks = 1000;
  constexpr int kYieldEvery = 64;
  for (int i = 1; i <= kLooks; ++i) {
    if (done()) return true;
    if (i % kYieldEvery == 0) {
      std::this_thread::yield();
    } else {
      CpuRelax();
    }
  }
  return done();
}

}  // namespace

MessageFeed::MessageFeed(MessageBase& source, int64_t last, ReadOne read, Mode mode)
    : source_(source), last_(last), read_(std::move(read)), mode_(mode) {
  // With one processor the reading would only take turns with the writing.
  if (mode_ == Mode::kReadAhead && platform::UsableProcessors() < 2) mode_ = Mode::kInTurn;
  slots_.resize(mode_ == Mode::kReadAhead ? kFeedSlots : 1);
  if (mode_ != Mode::kReadAhead) return;
  free_ = slots_.size();
  try {
    reader_ = std::thread(&MessageFeed::ReadAll, this);
  } catch (const std::system_error&) {
    // No thread to be had (a process limit): the messages are read in turn.
    mode_ = Mode::kInTurn;
    slots_.resize(1);
  }
}

MessageFeed::~MessageFeed() { Stop(); }

void MessageFeed::Stop() {
  if (reader_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    room_changed_.notify_one();
    reader_.join();
  }
  stopped_ = true;
  held_ = nullptr;
  slots_.clear();
  slots_.shrink_to_fit();
}

bool MessageFeed::Next(Message* message) {
  if (stopped_) return false;
  // The message handed out last is done with.
  if (held_ != nullptr && held_->bytes > kKeepRecordBytes) held_->record.reset();
  held_ = nullptr;
  if (mode_ == Mode::kInTurn) return NextInTurn(message);
  // The slots taken so far are done with: they go back to the reader a
  // batch at a time, and all of them before the caller waits.
  if (taken_ >= kPublishEvery || (known_ready_ == 0 && taken_ > 0)) GiveBack();
  if (known_ready_ == 0) {
    SpinUntil([this] { return ready_hint_.load(std::memory_order_relaxed); });
    std::unique_lock<std::mutex> lock(mutex_);
    ready_changed_.wait(lock, [this] { return ready_ > 0 || finished_; });
    known_ready_ = ready_;
    ready_ = 0;
    ready_hint_.store(false, std::memory_order_relaxed);
    if (known_ready_ == 0) {
      std::exception_ptr failure = std::exchange(failure_, nullptr);
      lock.unlock();
      if (failure) std::rethrow_exception(failure);
      return false;
    }
  }
  Slot& slot = slots_[take_at_];
  take_at_ = (take_at_ + 1) % slots_.size();
  --known_ready_;
  ++taken_;
  taken_bytes_ += slot.bytes;
  held_ = &slot;
  *message = {slot.number, slot.read, slot.record.get()};
  return true;
}

void MessageFeed::GiveBack() {
  std::lock_guard<std::mutex> lock(mutex_);
  returned_ += taken_;
  returned_bytes_ += taken_bytes_;
  returned_hint_.store(true, std::memory_order_relaxed);
  room_changed_.notify_one();
  taken_ = 0;
  taken_bytes_ = 0;
}

bool MessageFeed::NextInTurn(Message* message) {
  if (next_ > last_) return false;
  next_ = source_.NextMessage(next_ + 1);
  if (next_ > last_) return false;
  Slot& slot = slots_[0];
  Fill(slot, static_cast<int32_t>(next_));
  held_ = &slot;
  *message = {slot.number, slot.read, slot.record.get()};
  return true;
}

void MessageFeed::Fill(Slot& slot, int32_t n) {
  if (!slot.record) slot.record = std::make_unique<MessageRecord>();
  slot.number = n;
  slot.read = read_(n, *slot.record);
  slot.bytes = slot.read ? HeldBytes(*slot.record) : 0;
}

void MessageFeed::ReadAll() {
  try {
    for (int64_t next = source_.NextMessage(1); next <= last_;
         next = source_.NextMessage(next + 1)) {
      while (free_ == 0 || bytes_ahead_ >= kFeedBytesAhead) {
        if (!WaitForRoom()) return;
      }
      Slot& slot = slots_[fill_at_];
      Fill(slot, static_cast<int32_t>(next));
      fill_at_ = (fill_at_ + 1) % slots_.size();
      --free_;
      bytes_ahead_ += slot.bytes;
      if (++unpublished_ == kPublishEvery && !Publish(false)) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
  Publish(true);
}

bool MessageFeed::Publish(bool finished) {
  std::lock_guard<std::mutex> lock(mutex_);
  ready_ += unpublished_;
  unpublished_ = 0;
  if (finished) finished_ = true;
  ready_hint_.store(ready_ > 0 || finished_, std::memory_order_relaxed);
  ready_changed_.notify_one();
  return !stop_;
}

bool MessageFeed::WaitForRoom() {
  // The caller can give back only what it has been handed.
  if (!Publish(false)) return false;
  SpinUntil([this] { return returned_hint_.load(std::memory_order_relaxed); });
  std::unique_lock<std::mutex> lock(mutex_);
  room_changed_.wait(lock, [this] { return returned_ > 0 || stop_; });
  if (stop_) return false;
  free_ += returned_;
  bytes_ahead_ -= returned_bytes_;
  returned_ = 0;
  returned_bytes_ = 0;
  returned_hint_.store(false, std::memory_order_relaxed);
  return true;
}

}  // namespace quil
