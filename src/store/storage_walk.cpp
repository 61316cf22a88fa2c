#include "store/storage_walk.h"

#include <cstddef>
#include <new>
#include <utility>

#include "platform/memory.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/guid_list_index.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace vddb::store {

namespace {

// A stack on the runtime's memory, in fixed blocks so that pushing never
// moves the frames below (the walk keeps a reference to its parent frame
// while it pushes a child). Room is asked for ahead with reserveOne, which is
// the only call that can fail.
template <class T, std::size_t N>
class tBlockStack {
  struct Block {
    Block* previous;
    std::size_t used;
    alignas(T) unsigned char storage[N * sizeof(T)];

    T* slot(std::size_t i) noexcept { return std::launder(reinterpret_cast<T*>(storage) + i); }
  };

 public:
  tBlockStack() noexcept = default;
  tBlockStack(const tBlockStack&) = delete;
  tBlockStack& operator=(const tBlockStack&) = delete;
  ~tBlockStack() {
    clear();
    _memDelete(_spare);
  }

  // Makes sure the next emplace needs no memory; false when none can be had.
  bool reserveOne() noexcept {
    if ((_top != nullptr && _top->used < N) || _spare != nullptr) return true;
    _spare = static_cast<Block*>(_memNewUsingCRT(sizeof(Block), 0));
    return _spare != nullptr;
  }

  // Only after reserveOne succeeded.
  T& emplace() noexcept {
    if (_top == nullptr || _top->used == N) {
      Block* fresh = std::exchange(_spare, nullptr);
      fresh->previous = _top;
      fresh->used = 0;
      _top = fresh;
    }
    T* item = new (_top->slot(_top->used)) T();
    ++_top->used;
    return *item;
  }

  bool empty() const noexcept { return _top == nullptr; }
  T& top() noexcept { return *_top->slot(_top->used - 1); }

  void pop() noexcept {
    top().~T();
    if (--_top->used == 0) {
      // Keep one empty block, so that a walk going up and down across a block
      // boundary does not allocate every time.
      Block* emptied = _top;
      _top = emptied->previous;
      _memDelete(_spare);
      _spare = emptied;
    }
  }

  void clear() noexcept {
    while (!empty()) pop();
  }

 private:
  Block* _top = nullptr;
  Block* _spare = nullptr;
};

// One pending invocation of the walk: the object, where it stands in its
// class chain, and the code of its own that stops only its own following.
struct tWalkFrame {
  tScopedRef<IStorageObject> object;
  std::int32_t code = 0;
  tScopedRef<IStorageClass> level;
  GUID levelGuid{};
  tScopedRef<IAttributeIdEnumerator> attributeIds;
  ObjectList owned;  // the list attribute being followed
  std::size_t nextOwned = 0;
};

class tOwnedObjectWalk {
 public:
  explicit tOwnedObjectWalk(GuidList& collected) noexcept
      : _collected(collected), _index(collected) {}

  void run(tScopedRef<IStorageObject> start) noexcept {
    // Objects already in the list count as visited.
    for (std::size_t i = 0; i < _collected.size(); ++i) {
      if (!_index.reserveOne()) return;
      _index.add(i);
    }
    enter(std::move(start));
    while (!_stack.empty() && !_stopped) step(_stack.top());
    _stack.clear();
  }

 private:
  // The opening of an invocation: record the object, then push a frame when
  // its class chain is to be followed. `object` is released on every return
  // that does not hand it to a frame.
  void enter(tScopedRef<IStorageObject> object) noexcept {
    if (!object) return;
    std::int32_t code = 0;
    GUID guid{};
    callStore(code, [&] { return object->getObjectGuid(&guid); });
    if (_index.contains(guid)) return;
    // All memory this object needs is taken before it is collected, so that
    // it is collected exactly when it can be followed.
    if (!_stack.reserveOne() || !_index.reserveOne() || !_collected.append(guid)) {
      _stopped = true;
      return;
    }
    _index.add(_collected.size() - 1);

    tScopedRef<IStorageClass> ownClass = getClass(object.get(), code);
    if (!isGood(code) || !ownClass) return;

    tWalkFrame& frame = _stack.emplace();
    frame.object = std::move(object);
    frame.code = code;
    frame.level = std::move(ownClass);
    beginLevel(frame);
  }

  static void beginLevel(tWalkFrame& frame) noexcept {
    frame.levelGuid = GUID{};
    callStore(frame.code, [&] { return frame.level->getClassGuid(&frame.levelGuid); });
    frame.attributeIds = enumAttributeIds(frame.level.get(), frame.code);
  }

  // One unit of work on the innermost pending invocation: the next list
  // entry, else the next attribute of the level, else the next level, else
  // the end of the invocation.
  void step(tWalkFrame& frame) noexcept {
    if (frame.nextOwned < frame.owned.size()) {
      enter(tScopedRef<IStorageObject>::share(frame.owned[frame.nextOwned++]));
      return;
    }
    if (!frame.owned.empty()) {
      frame.owned.clear();
      frame.nextOwned = 0;
    }
    // After a failure nothing more is followed from this object.
    if (!isGood(frame.code)) {
      _stack.pop();
      return;
    }
    if (frame.attributeIds) {
      std::uint32_t id = 0;
      std::uint32_t delivered = 0;
      if (frame.attributeIds->Next(1, &id, &delivered) == S_OK) {
        followAttribute(frame, id);
        return;
      }
      frame.attributeIds.reset();
    }
    frame.level = getBaseClass(frame.level.get(), frame.code);
    if (frame.level) {
      beginLevel(frame);
      return;
    }
    _stack.pop();
  }

  void followAttribute(tWalkFrame& frame, std::uint32_t id) noexcept {
    tScopedRef<IStorageAttribute> attribute = getAttribute(frame.level.get(), id, frame.code);
    std::uint32_t type = 0;
    if (attribute) callStore(frame.code, [&] { return attribute->getType(&type); });
    if (id == model::kReferrerList && frame.levelGuid == model::kHardwareItemClass) return;
    if (type != kAttributeTypeReference && type != kAttributeTypeReferenceList) return;

    std::uint32_t flag = 1;
    if (attribute) callStore(frame.code, [&] { return attribute->getFlag(&flag); });
    if (!isGood(frame.code) || flag != 0) return;
    attribute.reset();

    if (type == kAttributeTypeReference) {
      enter(getReference(frame.object.get(), id, frame.code));
    } else {
      // The frame's list is empty here, so filling it is reading a new list.
      readObjectList(frame.object.get(), id, frame.owned, frame.code);
      frame.nextOwned = 0;
    }
  }

  GuidList& _collected;
  tGuidListIndex _index;
  tBlockStack<tWalkFrame, 256> _stack;
  bool _stopped = false;
};

}  // namespace

void collectOwnedObjects(tScopedRef<IStorageObject> object, GuidList& collected) {
  tOwnedObjectWalk walk(collected);
  walk.run(std::move(object));
}

HRESULT deleteWithOwned(IkorrinStorage* storage, IStorageObject* object) {
  GuidList collected;
  collectOwnedObjects(tScopedRef<IStorageObject>::share(object), collected);
  HRESULT result = S_OK;
  for (const GUID& guid : collected) {
    const HRESULT deleted = storage->deleteObject(guid, nullptr);
    if (deleted < 0) result = deleted;
  }
  return result;
}

}  // namespace vddb::store
