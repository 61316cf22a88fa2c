#include "repair/text/case_insensitive_key_set.h"

#include <new>

#include "platform/memory.h"
#include "store/guid.h"

namespace {

using tNodeOutcome = tCaseInsensitiveKeySet::tInsertOutcome;

template <class Node>
int heightOf(const Node* node) noexcept {
  return node != nullptr ? node->height : 0;
}

template <class Node>
void updateHeight(Node* node) noexcept {
  const int left = heightOf(node->left);
  const int right = heightOf(node->right);
  node->height = 1 + (left > right ? left : right);
}

template <class Node>
Node* rotateRight(Node* node) noexcept {
  Node* top = node->left;
  node->left = top->right;
  top->right = node;
  updateHeight(node);
  updateHeight(top);
  return top;
}

template <class Node>
Node* rotateLeft(Node* node) noexcept {
  Node* top = node->right;
  node->right = top->left;
  top->left = node;
  updateHeight(node);
  updateHeight(top);
  return top;
}

// Restores the height balance of a subtree after one insertion below it.
template <class Node>
Node* rebalance(Node* node) noexcept {
  updateHeight(node);
  const int balance = heightOf(node->left) - heightOf(node->right);
  if (balance > 1) {
    if (heightOf(node->left->left) < heightOf(node->left->right)) {
      node->left = rotateLeft(node->left);
    }
    return rotateRight(node);
  }
  if (balance < -1) {
    if (heightOf(node->right->right) < heightOf(node->right->left)) {
      node->right = rotateRight(node->right);
    }
    return rotateLeft(node);
  }
  return node;
}

template <class Node>
void destroyTree(Node* node) noexcept {
  while (node != nullptr) {
    destroyTree(node->left);
    Node* right = node->right;
    node->~Node();
    _memDelete(node);
    node = right;
  }
}

int compareKeys(const tCaseInsensitiveBasicString& a,
                const tCaseInsensitiveBasicString& b) noexcept {
  return tLocaleConsideringWideStringComparitor::compare(a.begin(), a.end(), b.begin(), b.end());
}

// Inserts below `node` and returns the new root of that subtree; the depth of
// the recursion is the height of the tree (under 50 for any set that fits in
// memory).
template <class Node>
Node* insertBelow(Node* node, const tCaseInsensitiveBasicString& key, const GUID& holder,
                  const Node*& present, tNodeOutcome& outcome) noexcept {
  if (node == nullptr) {
    void* block = _memNewUsingCRT(sizeof(Node), 0);
    if (block == nullptr) {
      outcome = tNodeOutcome::allocationFailed;
      return nullptr;
    }
    Node* fresh = new (block) Node{nullptr, nullptr, 1, holder, key};
    if (fresh->key.allocationFailed()) {
      fresh->~Node();
      _memDelete(fresh);
      outcome = tNodeOutcome::allocationFailed;
      return nullptr;
    }
    outcome = tNodeOutcome::inserted;
    return fresh;
  }
  const int order = compareKeys(key, node->key);
  if (order == 0) {
    outcome = tNodeOutcome::alreadyPresent;
    present = node;
    return node;
  }
  if (order < 0) {
    node->left = insertBelow(node->left, key, holder, present, outcome);
  } else {
    node->right = insertBelow(node->right, key, holder, present, outcome);
  }
  return outcome == tNodeOutcome::inserted ? rebalance(node) : node;
}

}  // namespace

tCaseInsensitiveKeySet::~tCaseInsensitiveKeySet() { destroyTree(_root); }

tCaseInsensitiveKeySet::tInsertOutcome tCaseInsensitiveKeySet::insert(
    const tCaseInsensitiveBasicString& key) noexcept {
  return insert(key, vddb::kNullGuid, nullptr);
}

tCaseInsensitiveKeySet::tInsertOutcome tCaseInsensitiveKeySet::insert(
    const tCaseInsensitiveBasicString& key, const GUID& holder, GUID* presentHolder) noexcept {
  tInsertOutcome outcome = tInsertOutcome::allocationFailed;
  const tNode* present = nullptr;
  _root = insertBelow(_root, key, holder, present, outcome);
  if (present != nullptr && presentHolder != nullptr) *presentHolder = present->holder;
  if (outcome == tInsertOutcome::inserted) ++_size;
  if (outcome == tInsertOutcome::allocationFailed) _allocationFailed = true;
  return outcome;
}

bool tCaseInsensitiveKeySet::contains(const tCaseInsensitiveBasicString& key) const noexcept {
  const tNode* node = _root;
  while (node != nullptr) {
    const int order = compareKeys(key, node->key);
    if (order == 0) return true;
    node = order < 0 ? node->left : node->right;
  }
  return false;
}

int tCaseInsensitiveKeySet::height() const noexcept { return heightOf(_root); }
