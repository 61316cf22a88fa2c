// An ordered set of case-insensitive texts without duplicates, on the
// runtime's memory calls.
//
// Keys are ordered by tLocaleConsideringWideStringComparitor, so two texts
// that differ only in case are one key; the set keeps its own copy of a key,
// spelled as it was first inserted. It is a height-balanced binary tree:
// looking up and inserting cost O(log n) comparisons, so a set of a million
// connector keys is built in O(n log n).
//
// Nothing throws. Creating the empty set allocates nothing and cannot fail.
// When a node or its key copy cannot be allocated the set stays as it was and
// its allocation-failed flag is set; the flag is sticky.
#pragma once

#include <cstddef>

#include "repair/text/case_insensitive_compare.h"
#include "store/com.h"

class tCaseInsensitiveKeySet {
 public:
  enum class tInsertOutcome { inserted, alreadyPresent, allocationFailed };

  tCaseInsensitiveKeySet() noexcept = default;
  tCaseInsensitiveKeySet(const tCaseInsensitiveKeySet&) = delete;
  tCaseInsensitiveKeySet& operator=(const tCaseInsensitiveKeySet&) = delete;
  ~tCaseInsensitiveKeySet();

  // Adds a copy of `key` unless an equal key is present (one descent). A key
  // whose own allocation-failed flag is set cannot be stored faithfully and
  // counts as an allocation failure.
  tInsertOutcome insert(const tCaseInsensitiveBasicString& key) noexcept;
  // The same, keeping `holder` beside a new key; when the key is present
  // already, `presentHolder` (if given) receives the holder kept with it.
  tInsertOutcome insert(const tCaseInsensitiveBasicString& key, const GUID& holder,
                        GUID* presentHolder) noexcept;
  bool contains(const tCaseInsensitiveBasicString& key) const noexcept;

  std::size_t size() const noexcept { return _size; }
  bool empty() const noexcept { return _size == 0; }
  bool allocationFailed() const noexcept { return _allocationFailed; }

  // Number of levels of the tree (0 when empty); for tests of the balance.
  int height() const noexcept;

  // Calls visit(const tCaseInsensitiveBasicString&) on every key in order.
  template <class Visitor>
  void forEachInOrder(Visitor&& visit) const {
    visitInOrder(_root, visit);
  }

 private:
  struct tNode;

  template <class Visitor>
  static void visitInOrder(const tNode* node, Visitor& visit);

  tNode* _root = nullptr;
  std::size_t _size = 0;
  bool _allocationFailed = false;
};

struct tCaseInsensitiveKeySet::tNode {
  tNode* left;
  tNode* right;
  int height;
  GUID holder;
  tCaseInsensitiveBasicString key;
};

template <class Visitor>
void tCaseInsensitiveKeySet::visitInOrder(const tNode* node, Visitor& visit) {
  for (; node != nullptr; node = node->right) {
    visitInOrder(node->left, visit);
    visit(node->key);
  }
}
