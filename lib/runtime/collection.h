// Growable lists that own their items.
//
// A collection starts with room for `limit` items and grows by `delta`
// slots when it is full.  Asking for an index outside 0..count-1 is the
// run-time error 213; failing to grow is 214.  A sorted collection keeps its
// items in ascending order of a compare function and inserts a new item in
// front of the items that compare equal to it.
#pragma once

#include <cstdint>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/run_error.h"
#include "runtime/string_ops.h"

namespace quil {

template <typename T>
class Collection {
 public:
  static constexpr int32_t kDefaultLimit = 16;
  static constexpr int32_t kDefaultDelta = 16;
  // No collection holds more items than this.
  static constexpr int32_t kMaxCount = 1 << 28;

  explicit Collection(int32_t limit = kDefaultLimit, int32_t delta = kDefaultDelta)
      : limit_(limit < 0 ? 0 : limit), delta_(delta) {}
  virtual ~Collection() = default;

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  int32_t count() const { return static_cast<int32_t>(items_.size()); }
  int32_t limit() const { return limit_; }
  bool empty() const { return items_.empty(); }

  // The item at `index`; run-time error 213 when out of range.
  T& At(int32_t index) {
    CheckIndex(index, count() - 1);
    return items_[static_cast<size_t>(index)];
  }
  const T& At(int32_t index) const {
    CheckIndex(index, count() - 1);
    return items_[static_cast<size_t>(index)];
  }

  // Shifts the items from `index` on one place up and stores `item` there.
  // `index` may equal count() (append); beyond that is error 213.  When the
  // collection is full it grows by delta first; when it can not, error 214.
  void AtInsert(int32_t index, T item) {
    CheckIndex(index, count());
    if (count() == limit_) Grow();
    try {
      items_.insert(items_.begin() + index, std::move(item));
    } catch (const std::bad_alloc&) {
      RunError(214);
    }
  }

  // Inserts `items`, in their order, at `index`, shifting the items from
  // `index` on up by their number in one move (so filling a list from the
  // front costs no more than appending to it).  Errors as AtInsert.
  void AtInsertAll(int32_t index, std::vector<T> items) {
    CheckIndex(index, count());
    if (items.empty()) return;
    if (static_cast<int64_t>(items.size()) > kMaxCount - count()) RunError(214);
    while (count() + static_cast<int32_t>(items.size()) > limit_) Grow();
    try {
      items_.insert(items_.begin() + index, std::make_move_iterator(items.begin()),
                    std::make_move_iterator(items.end()));
    } catch (const std::bad_alloc&) {
      RunError(214);
    }
  }

  // Removes (and destroys) the item at `index`; error 213 when out of range.
  void AtFree(int32_t index) {
    CheckIndex(index, count() - 1);
    items_.erase(items_.begin() + index);
  }

  // Plain collection: appends.  Sorted collection: see there.
  virtual void Insert(T item) { AtInsert(count(), std::move(item)); }

  // Empties the collection, destroying every item.
  void FreeAll() { items_.clear(); }

  // The index of the first item equal to `item`, or -1.
  int32_t IndexOf(const T& item) const {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i] == item) return static_cast<int32_t>(i);
    }
    return -1;
  }

  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 protected:
  static void CheckIndex(int32_t index, int32_t highest) {
    if (index < 0 || index > highest) RunError(213);
  }

  void Grow() {
    if (delta_ <= 0 || limit_ > kMaxCount - delta_) RunError(214);
    limit_ += delta_;
    // The storage itself is allocated on demand and grows geometrically, so
    // an empty collection costs nothing and appending stays linear; `limit_`
    // is the bookkeeping the collection reports.
  }

  std::vector<T> items_;
  int32_t limit_;
  int32_t delta_;
};

// Compare: a callable (const T&, const T&) -> int, negative, 0 or positive.
template <typename T, typename Compare>
class SortedCollection : public Collection<T> {
 public:
  explicit SortedCollection(Compare compare = Compare(), bool duplicates = false,
                            int32_t limit = Collection<T>::kDefaultLimit,
                            int32_t delta = Collection<T>::kDefaultDelta)
      : Collection<T>(limit, delta), compare_(std::move(compare)), duplicates_(duplicates) {}

  bool duplicates() const { return duplicates_; }
  void set_duplicates(bool on) { duplicates_ = on; }

  // Binary search for `key`.  Returns whether an equal item exists; *index
  // receives the first position whose item is not less than `key` (with
  // duplicates allowed), or the position of an equal item (without).
  bool Search(const T& key, int32_t* index) const {
    int32_t low = 0;
    int32_t high = this->count() - 1;
    bool found = false;
    while (low <= high) {
      int32_t i = low + (high - low) / 2;
      int c = compare_(this->items_[static_cast<size_t>(i)], key);
      if (c < 0) {
        low = i + 1;
      } else {
        high = i - 1;
        if (c == 0) {
          found = true;
          if (!duplicates_) low = i;
        }
      }
    }
    *index = low;
    return found;
  }

  // Inserts in order, in front of equal items; without duplicates an item
  // whose key is present already is dropped.
  void Insert(T item) override {
    int32_t index = 0;
    if (!Search(item, &index) || duplicates_) this->AtInsert(index, std::move(item));
  }

 private:
  Compare compare_;
  bool duplicates_;
};

// A list of strings of at most 255 characters, in insertion order.
class StringList : public Collection<std::string> {
 public:
  using Collection<std::string>::Collection;

  // Appends the text, cut to 255 characters.
  void Insert(std::string item) override {
    if (item.size() > kMaxString) item.resize(kMaxString);
    AtInsert(count(), std::move(item));
  }
  void Insert(std::string_view item) { Insert(std::string(item)); }
  void Insert(const char* item) { Insert(std::string(item)); }

  // Inserts the text, cut to 255 characters, at `index`.
  void InsertAt(int32_t index, std::string_view item) {
    AtInsert(index, std::string(item.substr(0, kMaxString)));
  }

  // Inserts the texts, each cut to 255 characters, in their order at `index`.
  void InsertAllAt(int32_t index, std::vector<std::string> items) {
    for (std::string& item : items) {
      if (item.size() > kMaxString) item.resize(kMaxString);
    }
    AtInsertAll(index, std::move(items));
  }

  // The index of the first entry equal to `text` (case-sensitive), or -1.
  int32_t Search(std::string_view text) const {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i] == text) return static_cast<int32_t>(i);
    }
    return -1;
  }
};

}  // namespace quil
