#include "model/link_map.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/stream.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::Le32;

// Six messages with ids 11..16 whose new order is 11, 12, 14, 15, 13, 16,
// numbered 1..6 in the new base; the source would give 17 next, the new
// base 7.
LinkMap ThreeMovesForward() {
  LinkMap links;
  const uint32_t order[] = {11, 12, 14, 15, 13, 16};
  uint32_t position = 0;
  for (uint32_t from : order) links.Add(from, ++position);
  links.SetNext(17, 7);
  links.Seal();
  return links;
}

TEST(LinkMapTest, LinksFollowTheirMessages) {
  LinkMap links = ThreeMovesForward();
  struct Case {
    uint32_t from;
    uint32_t to;
  } const cases[] = {
      {11, 1}, {13, 5}, {14, 3}, {16, 6},
      {0, 0},   // no link
      {10, 0},  // a message that is not in the new base
      {17, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(links.Map(c.from), c.to) << c.from;
}

TEST(LinkMapTest, PointersNeverMakeAnUnreadMessageRead) {
  LinkMap links = ThreeMovesForward();
  struct Case {
    uint32_t pointer;
    uint32_t expected;
  } const cases[] = {
      {0, 0},    // nothing read: stays
      {10, 0},   // below every message: stays below every new id
      {12, 2},   // 13..16 unread, now 5, 3, 4, 6: up to 2
      {13, 2},   // 13 moved behind 14 and 15, which were unread
      {14, 3},
      {15, 5},
      {16, 6},   // everything read
      {20, 10},  // beyond the last: three ids past the next, as before
  };
  for (const Case& c : cases) EXPECT_EQ(links.MapPointer(c.pointer), c.expected) << c.pointer;
}

// A new base that numbers its messages from far below or far above the old
// ids: a pointer below every message may not end above the first new one,
// nor a pointer past every message below the last.
TEST(LinkMapTest, PointersAcrossAShiftedNumbering) {
  LinkMap down;
  down.Add(500, 1);
  down.Add(501, 2);
  down.SetNext(900, 3);
  down.Seal();
  EXPECT_EQ(down.MapPointer(0), 0u);
  EXPECT_EQ(down.MapPointer(499), 0u);
  EXPECT_EQ(down.MapPointer(500), 1u);
  EXPECT_EQ(down.MapPointer(600), 2u);  // all read; the next id moved down by more

  LinkMap empty;
  empty.SetNext(10, 1);
  empty.Seal();
  EXPECT_EQ(empty.MapPointer(12), 3u);
  EXPECT_EQ(empty.MapPointer(3), 0u);
}

TEST(LinkMapTest, LastreadRecordsKeepEverythingButThePointers) {
  LinkMap links = ThreeMovesForward();
  MemoryStream in, out;
  in.Write(Le32(0xAAAAAAAA) + Le32(12) + Le32(0xBBBBBBBB) + Le32(14) + Le32(7) + Le32(16) +
           "tail");
  in.Seek(0);
  ASSERT_TRUE(CopyLastreadRecords(in, out, 8, {4}, links));
  EXPECT_EQ(testing::Printable(out.Contents()),
            testing::Printable(Le32(0xAAAAAAAA) + Le32(2) + Le32(0xBBBBBBBB) + Le32(3) + Le32(7) +
                               Le32(6) + "tail"));
}

}  // namespace
}  // namespace quil
