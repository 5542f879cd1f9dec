#include "runtime/collection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quil {
namespace {

// Items carry a key and a tag so that the order among equal keys shows.
struct Item {
  int key;
  char tag;
};
using ItemPtr = std::unique_ptr<Item>;

struct ByKey {
  int operator()(const ItemPtr& a, const ItemPtr& b) const {
    return a->key < b->key ? -1 : (a->key > b->key ? 1 : 0);
  }
};

std::string Order(const Collection<ItemPtr>& c) {
  std::string out;
  for (const auto& item : c) out += std::to_string(item->key) + item->tag + " ";
  return out;
}

TEST(SortedCollectionTest, EqualKeysGoInFrontOfTheirEquals) {
  SortedCollection<ItemPtr, ByKey> list(ByKey(), /*duplicates=*/true);
  list.Insert(std::make_unique<Item>(Item{5, 'a'}));
  list.Insert(std::make_unique<Item>(Item{3, 'b'}));
  list.Insert(std::make_unique<Item>(Item{5, 'c'}));
  list.Insert(std::make_unique<Item>(Item{1, 'd'}));
  list.Insert(std::make_unique<Item>(Item{5, 'e'}));
  EXPECT_EQ(Order(list), "1d 3b 5e 5c 5a ");
}

TEST(SortedCollectionTest, WithoutDuplicatesAnEqualKeyIsDropped) {
  SortedCollection<ItemPtr, ByKey> list(ByKey(), /*duplicates=*/false);
  list.Insert(std::make_unique<Item>(Item{2, 'a'}));
  list.Insert(std::make_unique<Item>(Item{4, 'b'}));
  list.Insert(std::make_unique<Item>(Item{2, 'c'}));
  EXPECT_EQ(Order(list), "2a 4b ");
  int32_t index = -1;
  auto probe = std::make_unique<Item>(Item{4, '?'});
  EXPECT_TRUE(list.Search(probe, &index));
  EXPECT_EQ(index, 1);
  probe->key = 3;
  EXPECT_FALSE(list.Search(probe, &index));
  EXPECT_EQ(index, 1);
}

TEST(SortedCollectionTest, LargeReversedInputEndsAscending) {
  SortedCollection<ItemPtr, ByKey> list(ByKey(), true);
  for (int i = 2000; i > 0; --i) list.Insert(std::make_unique<Item>(Item{i % 97, 'x'}));
  ASSERT_EQ(list.count(), 2000);
  for (int32_t i = 1; i < list.count(); ++i) {
    ASSERT_LE(list.At(i - 1)->key, list.At(i)->key);
  }
}

TEST(CollectionTest, LimitGrowsByDelta) {
  Collection<int> c(16, 16);
  EXPECT_EQ(c.limit(), 16);
  for (int i = 0; i < 17; ++i) c.Insert(i);
  EXPECT_EQ(c.limit(), 32);
  EXPECT_EQ(c.count(), 17);
  c.AtInsert(0, -1);
  EXPECT_EQ(c.At(0), -1);
  EXPECT_EQ(c.At(17), 16);
  EXPECT_EQ(c.IndexOf(5), 6);
  EXPECT_EQ(c.IndexOf(99), -1);
}

TEST(CollectionDeathTest, IndexOutOfRangeIsRunTimeError213) {
  Collection<int> c;
  c.Insert(1);
  EXPECT_EXIT(c.At(c.count()), ::testing::ExitedWithCode(213), "");
  EXPECT_EXIT(c.At(-1), ::testing::ExitedWithCode(213), "");
  EXPECT_EXIT(c.AtInsert(3, 0), ::testing::ExitedWithCode(213), "");
}

TEST(CollectionDeathTest, ACollectionThatCanNotGrowIsRunTimeError214) {
  Collection<int> c(1, 0);
  c.Insert(1);
  EXPECT_EXIT(c.Insert(2), ::testing::ExitedWithCode(214), "");
}

TEST(StringListTest, CutsAt255AndSearchesExactly) {
  StringList list;
  list.Insert(std::string(300, 'a'));
  list.Insert("Via");
  list.InsertAt(0, "first");
  EXPECT_EQ(list.At(1).size(), 255u);
  EXPECT_EQ(list.Search("Via"), 2);
  EXPECT_EQ(list.Search("via"), -1);
  EXPECT_EQ(list.Search("first"), 0);
}

}  // namespace
}  // namespace quil
