// Fault injection: the sorter is killed (SIGKILL) just before one of its
// file-system changes, at many points spread over a whole run, on a base of
// every kind.  Whatever the point, the base afterwards holds exactly the
// original messages in their order or exactly all of them sorted, once the
// interrupted rebuild is recovered (by the library, by the converter, or by
// the next sort itself), and the next sort ends in the sorted base with no
// temporary file left.  A message another program appends between the kill
// and the recovery (the kill freed the base's lock) stays, behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bases/base_rebuild.h"
#include "sort_support.h"
#include "test_support.h"

namespace quil::testing::sort_e2e {
namespace {

constexpr int kMessages = 200;
constexpr int kKilled = 128 + 9;  // exit status of a process ended by SIGKILL

// Which kill points a run checks.  Every program start costs far more under
// the sanitizers, where the points are fewer; memory faults do not hide on
// particular paths.
struct KillPlan {
  int64_t before_commit;  // points just before the commit point
  int64_t after_commit;   // the commit point and the ones after it
  int64_t at_end;         // the last points of the run
  size_t total;           // at least this many in all
  int64_t appended;       // points in the write-back with a message appended
};
#if defined(__SANITIZE_ADDRESS__)
constexpr KillPlan kPlan{2, 3, 3, 18, 4};
#else
constexpr KillPlan kPlan{6, 9, 8, 55, 12};
#endif

// Distinct dates (minutes apart, so every format keeps them apart) in an
// order far from sorted.
std::vector<Message> ShuffledMessages() {
  std::vector<int> minutes(kMessages);
  for (int i = 0; i < kMessages; ++i) minutes[static_cast<size_t>(i)] = i;
  std::mt19937 random(20240601);
  std::shuffle(minutes.begin(), minutes.end(), random);
  std::vector<Message> messages;
  const int64_t start = DateToSeconds(Date(2003, 4, 5, 6, 0, 0));
  for (int i = 0; i < kMessages; ++i) {
    messages.push_back({i + 1, SecondsToDate(start + minutes[static_cast<size_t>(i)] * 60), 0});
  }
  return messages;
}

enum class State {
  kOriginal,  // recovered to the original, byte for byte
  kSorted,    // recovered to the whole sorted base
  kOther,     // anything else: a fault
  kOutlived,  // the run was not killed: it made no more changes
  kUnseen,    // not looked at before the next sort recovered it
};

const char* StateName(State state) {
  switch (state) {
    case State::kOriginal:
      return "original";
    case State::kSorted:
      return "sorted";
    case State::kOther:
      return "neither original nor sorted";
    case State::kOutlived:
      return "not killed";
    default:
      return "not looked at";
  }
}

enum class Recovery { kLibrary, kConverter, kNextSort };

class SortKillTest : public ::testing::TestWithParam<const BaseKind*> {
 protected:
  void SetUp() override {
    dir_ = ScratchDirectory();
    spec_ = SpecIn(dir_->path(), kind());
    std::vector<Message> messages = ShuffledMessages();
    WriteBase(spec_, messages);
    original_files_ = SnapshotTree(dir_->path());
    original_ = ReadDumps(spec_);
    ASSERT_EQ(original_.size(), static_cast<size_t>(kMessages));
    std::vector<Message> order = messages;
    std::sort(order.begin(), order.end(), [](const Message& a, const Message& b) {
      return DateToSeconds(a.written) < DateToSeconds(b.written);
    });
    for (const Message& m : order) sorted_.push_back(original_[static_cast<size_t>(m.tag - 1)]);
    ASSERT_NE(sorted_, original_);
  }

  const BaseKind& kind() const { return *GetParam(); }

  // Puts the directory back as the test made it.
  void Restore() { ASSERT_TRUE(RestoreTree(dir_->path(), original_files_)); }

  ProgramResult SortKilledAfter(int64_t changes) {
    return RunProgram(ProgramPath("Quilord"), {spec_}, {}, {},
                      {"QUIL_TEST_KILL_AFTER_WRITES=" + std::to_string(changes)});
  }

  // The files of the base itself: everything but the rebuild's own.
  std::map<std::string, std::string> BaseFilesNow() {
    std::map<std::string, std::string> files = SnapshotTree(dir_->path());
    std::erase_if(files, [](const auto& entry) {
      return entry.first.find(".quil-sort") != std::string::npos;
    });
    return files;
  }

  // `messages` followed by `added`.
  static std::vector<std::string> With(std::vector<std::string> messages,
                                       const std::vector<std::string>& added) {
    messages.insert(messages.end(), added.begin(), added.end());
    return messages;
  }

  // Which whole state the base is in; `added` are the messages another
  // program appended, which belong behind either.
  State StateNow(const std::vector<std::string>& added) {
    // Rolled back means not just the same messages: the same bytes.
    if (added.empty() && BaseFilesNow() == original_files_) return State::kOriginal;
    std::vector<std::string> now = ReadDumps(spec_);
    if (!added.empty() && now == With(original_, added)) return State::kOriginal;
    return now == With(sorted_, added) ? State::kSorted : State::kOther;
  }

  // Appends a message through the library, as a tosser would once the
  // base's lock is free, to the newest date of all; returns it as read
  // back.
  std::string AppendAsAnotherProgram() {
    std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, spec_);
    EXPECT_TRUE(base) << "the base does not open after the kill";
    if (!base) return {};
    MessageRecord r;
    FillRecord(r, {kMessages + 1, Date(2009, 9, 9), 0});
    EXPECT_TRUE(base->WriteMessage(base->count() + 1, r));
    MessageRecord back;
    EXPECT_TRUE(base->ReadMessage(base->count(), back));
    EXPECT_TRUE(base->Close());
    return StableDump(back);
  }

  // Kills a sort before its (k+1)-th change and recovers the way chosen;
  // with `append`, another program appends a message in between.  Library
  // or converter: checks that the base is one of the two whole states and
  // returns which.  With `sort_again` (always for kNextSort) sorts again
  // and checks that this ends in the sorted base, cleaned up.
  State CheckKillPoint(int64_t k, Recovery recovery, bool sort_again, bool append = false) {
    SCOPED_TRACE("killed after " + std::to_string(k) + " changes" +
                 (append ? ", then a message appended" : ""));
    Restore();
    ProgramResult killed = SortKilledAfter(k);
    if (killed.exit_code != kKilled) {
      // The run made no more than k changes and ended on its own.
      EXPECT_EQ(killed.exit_code, 0) << killed.output;
      EXPECT_EQ(ReadDumps(spec_), sorted_);
      EXPECT_EQ(RebuildFiles(dir_->path()), std::vector<std::string>{});
      return State::kOutlived;
    }
    std::vector<std::string> added;
    if (append) added.push_back(AppendAsAnotherProgram());

    State state = State::kUnseen;
    if (recovery == Recovery::kLibrary) {
      std::string line = RecoverInterruptedRebuild(spec_);
      state = StateNow(added);
      EXPECT_NE(state, State::kOther) << line;
    } else if (recovery == Recovery::kConverter) {
      TempDir other;
      const std::string copy = SpecIn(other.path(), kPacket);
      ProgramResult run = RunProgram(ProgramPath("Quilxfer"), {spec_, copy});
      EXPECT_EQ(run.exit_code, 0) << run.output;
      state = StateNow(added);
      EXPECT_NE(state, State::kOther) << run.output;
      EXPECT_EQ(ReadDumps(copy).size(), static_cast<size_t>(kMessages) + added.size());
    }
    if (recovery != Recovery::kNextSort && !sort_again) return state;

    // What the killed run left, the next one finishes or rolls back first,
    // saying so in one line; a lock file alone is no interrupted rebuild.
    bool interrupted = false;
    for (const std::string& name : RebuildFiles(dir_->path())) {
      interrupted = interrupted || !name.ends_with(".lock");
    }
    ProgramResult again = RunProgram(ProgramPath("Quilord"), {spec_});
    EXPECT_EQ(again.exit_code, 0) << again.output;
    size_t lines = 0;
    for (size_t at = again.output.find("interrupted sort of ["); at != std::string::npos;
         at = again.output.find("interrupted sort of [", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, interrupted ? 1u : 0u) << again.output;
    EXPECT_EQ(again.output.find("could not be completed"), std::string::npos) << again.output;
    EXPECT_EQ(ReadDumps(spec_), With(sorted_, added));
    EXPECT_EQ(RebuildFiles(dir_->path()), std::vector<std::string>{});
    return state;
  }

  std::unique_ptr<TempDir> dir_;
  std::string spec_;
  std::map<std::string, std::string> original_files_;
  std::vector<std::string> original_;
  std::vector<std::string> sorted_;
};

TEST_P(SortKillTest, EveryKillPointLeavesOriginalOrSorted) {
  std::map<int64_t, State> checked;  // kill point -> state after recovery
  auto check = [&](int64_t k, Recovery recovery, bool sort_again) {
    auto known = checked.find(k);
    if (known != checked.end()) return known->second;
    State state = CheckKillPoint(k, recovery, sort_again);
    checked[k] = state;
    EXPECT_NE(state, State::kOther) << "killed after " << k;
    return state;
  };

  // The number of changes of a whole run: the smallest kill point the run
  // outlives.  Found by halving; every probe is a checked kill point.
  int64_t low = 0, total = 256;
  while (check(total, Recovery::kLibrary, false) != State::kOutlived) {
    low = total;
    total *= 2;
  }
  while (total - low > 1) {
    int64_t middle = (low + total) / 2;
    (check(middle, Recovery::kLibrary, false) == State::kOutlived ? total : low) = middle;
  }
  // The probes the run outlived were no kill points.  (Messages reach the
  // files in batches, so a run makes far fewer changes than it has
  // messages; every one of them is a point to check.)
  checked.erase(checked.lower_bound(total), checked.end());
  const size_t wanted = std::min(kPlan.total, static_cast<size_t>(total));
  // The commit point: the first kill after which the base comes back
  // sorted, found the same way.
  low = 0;
  int64_t commit = total;
  while (commit - low > 1) {
    int64_t middle = (low + commit) / 2;
    (check(middle, Recovery::kLibrary, false) == State::kSorted ? commit : low) = middle;
  }
  auto expected = [&](int64_t k) { return k < commit ? State::kOriginal : State::kSorted; };

  // Every point around the commit marker and the swap after it, some of
  // them sorted again; the very end (the last renames, the removal of the
  // markers and the lock) and the very start, recovered by the next sort.
  for (int64_t k = std::max<int64_t>(0, commit - kPlan.before_commit);
       k < std::min(total, commit + kPlan.after_commit); ++k) {
    check(k, Recovery::kLibrary, k % 2 == 0);
  }
  for (int64_t k = std::max<int64_t>(0, total - kPlan.at_end); k < total; ++k) {
    check(k, Recovery::kNextSort, true);
  }
  check(0, Recovery::kNextSort, true);
  // A spread over the whole run by a fixed seed, with every way of
  // recovering.
  std::mt19937 random(7);
  std::uniform_int_distribution<int64_t> any(0, total - 1);
  const Recovery ways[] = {Recovery::kConverter, Recovery::kNextSort, Recovery::kLibrary,
                           Recovery::kLibrary};
  for (int i = 0; checked.size() < wanted && i < 1000; ++i) {
    check(any(random), ways[i % 4], false);
  }

  EXPECT_GE(checked.size(), wanted);
  for (const auto& [k, state] : checked) {
    if (state != State::kUnseen) {
      EXPECT_STREQ(StateName(state), StateName(expected(k))) << "killed after " << k;
    }
  }

  // Another program appends a message between the kill and the recovery,
  // at points spread over the write-back and just before the commit point.
  // (A packet is a transfer file no other program appends to.)
  if (kind().mark != 'p') {
    const int64_t step = std::max<int64_t>(1, (total - commit) / kPlan.appended);
    for (int64_t k = commit - 1; k < total; k = k < commit ? commit : k + step) {
      State state = CheckKillPoint(k, Recovery::kLibrary, k % 2 == 0, true);
      EXPECT_STREQ(StateName(state), StateName(expected(k))) << "killed after " << k;
    }
  }
  std::printf("[   INFO   ] %s: %lld changes, commit point %lld, %zu kill points\n", kind().name,
              static_cast<long long>(total), static_cast<long long>(commit), checked.size());
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortKillTest, ::testing::ValuesIn(kAllKinds),
                         ParamName<BaseKind>);

// A Squish and a JAM base of one name side by side: a Squish sort killed
// in the middle of its write-back is none of a JAM sort's business (the
// rebuilds' names differ by kind), and the next run on the Squish base
// finishes it.  Neither base loses a message.
TEST(SortKillNeighboursTest, SameNamedBasesOfOtherKindsKeepTheirRebuildsApart) {
  std::unique_ptr<TempDir> dir = ScratchDirectory();
  const std::string squish = SpecIn(dir->path(), kSquish);
  const std::string jam = SpecIn(dir->path(), kJam);
  WriteBase(squish, Backwards(10));
  WriteBase(jam, Backwards(8));
  const std::map<std::string, std::string> files = SnapshotTree(dir->path());
  auto killed_after = [&](int64_t k) {
    EXPECT_TRUE(RestoreTree(dir->path(), files));
    return RunProgram(ProgramPath("Quilord"), {squish}, {}, {},
                      {"QUIL_TEST_KILL_AFTER_WRITES=" + std::to_string(k)})
               .exit_code == kKilled;
  };
  int64_t low = 0, total = 64;
  while (killed_after(total)) total *= 2;
  while (total - low > 1) {
    int64_t middle = (low + total) / 2;
    (killed_after(middle) ? low : total) = middle;
  }
  // Back from the end of the run to the last point inside the write-back,
  // its journal in place.
  int64_t k = total - 1;
  while (k > 0 && (!killed_after(k) || !PathExists(*dir / ".area.quil-sort-s.ready"))) --k;
  ASSERT_GT(k, 0);

  std::vector<int> jam_sorted{8, 7, 6, 5, 4, 3, 2, 1};
  std::vector<int> squish_sorted{10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
  ProgramResult run = RunProgram(ProgramPath("Quilord"), {jam});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output.find("interrupted"), std::string::npos) << run.output;
  EXPECT_EQ(ReadTags(jam), jam_sorted);
  EXPECT_FALSE(RebuildFiles(dir->path()).empty());  // the Squish rebuild, untouched

  run = RunProgram(ProgramPath("Quilord"), {squish});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("interrupted sort of [" + squish + "] completed\n"), std::string::npos)
      << run.output;
  EXPECT_EQ(ReadTags(squish), squish_sorted);
  EXPECT_EQ(ReadTags(jam), jam_sorted);
  EXPECT_EQ(RebuildFiles(dir->path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace quil::testing::sort_e2e
