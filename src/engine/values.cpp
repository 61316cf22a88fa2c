// Objects and their values: each call one indexed lookup or change through a
// cached statement.
#include <sqlite3.h>

#include <vector>

#include "engine/schema.h"
#include "engine/store.h"
#include "store/interfaces.h"

namespace vddb::engine {

bool Store::classTableReady() noexcept {
  // Only while the transaction stands as this session made it: after a
  // storage fault, SQLite may have rolled it back under us.
  if (!_inWrite || _writeFault < 0 || sqlite3_get_autocommit(_db) != 0) {
    if (_classTable.built()) dropMemoryTables();
    return false;
  }
  if (_classTable.built()) return true;
  if (_classTableFailed) return false;
  if (_classTableAfter == 0) {
    // About one lookup for every ten objects the file can hold (a page of
    // 4 KB holds some 20 objects with their values).
    const std::int64_t pages = queryInteger(_db, "PRAGMA page_count", 0);
    _classTableAfter = pages > 2048 ? static_cast<std::uint64_t>(pages) * 2 : 4096;
  }
  if (++_classLookups < _classTableAfter) return false;
  if (!_classTable.build(_db, _catalog)) {
    _classTableFailed = true;
    return false;
  }
  // A transaction that looks up this many classes reads about as many
  // references and many texts; without the memory for them it goes on by
  // lookups.
  _refTable.build(_db);
  _stringTable.build(_db);
  return true;
}

void Store::dropMemoryTables() noexcept {
  ++_generation;
  _classTable.clear();
  _refTable.clear();
  _stringTable.clear();
  _classLookups = 0;
  _classTableAfter = 0;
  _classTableFailed = false;
}

HRESULT Store::objectClass(const GUID& object, const ClassDef*& cls) {
  cls = nullptr;
  if (_db == nullptr) return kStoreClosed;
  if (classTableReady()) {
    switch (_classTable.find(object, cls)) {
      case ClassTable::Found::kClass:
        return S_OK;
      case ClassTable::Found::kMissing:
        return kStorageNotFound;
      case ClassTable::Found::kUnknownClass:
        return storageFault(kStoreDamaged);
    }
  }
  StatementUse use(_selectClass);
  use.bindGuid(1, object);
  const int rc = use.step();
  if (rc == SQLITE_DONE) return kStorageNotFound;
  if (rc != SQLITE_ROW) return storageFailure(rc);
  bool valid = false;
  const GUID classGuid = use.columnGuid(0, &valid);
  cls = valid ? _catalog.find(classGuid) : nullptr;
  // A row naming a class the catalog lacks is damage.
  return cls != nullptr ? S_OK : storageFault(kStoreDamaged);
}

HRESULT Store::insertObject(const GUID& object, const ClassDef& cls) {
  if (const HRESULT hr = beforeChange(); hr < 0) return hr;
  dropMemoryTables();
  StatementUse use(_staged ? _stageObject : _insertObject);
  use.bindGuid(1, object);
  use.bindGuid(2, cls.guid);
  const int rc = use.step();
  if ((rc & 0xFF) == SQLITE_CONSTRAINT) return kBadJson;
  return rc == SQLITE_DONE ? S_OK : storageFailure(rc);
}

HRESULT Store::deleteObject(const GUID& object) {
  if (const HRESULT hr = beforeChange(); hr < 0) return hr;
  int rc;
  {
    StatementUse use(_deleteObject);
    use.bindGuid(1, object);
    rc = use.step();
  }
  if (rc != SQLITE_DONE) return storageFailure(rc);
  if (sqlite3_changes(_db) == 0) return kStorageNotFound;
  _classTable.erase(object);
  _refTable.erase(object);
  _stringTable.erase(object);
  for (Statement* values : {&_deleteInts, &_deleteStrings, &_deleteAllRefs}) {
    StatementUse use(*values);
    use.bindGuid(1, object);
    rc = use.step();
    if (rc != SQLITE_DONE) return storageFailure(rc);
  }
  _deleted.insert(object);
  return S_OK;
}

namespace {

// One value of one object: S_OK with `onRow` run on the row, S_FALSE when
// the object has no value for the attribute.
template <class OnRow>
HRESULT lookUpValue(Store& store, Statement& select, const GUID& object, std::uint32_t attr,
                    OnRow&& onRow) {
  StatementUse use(select);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  const int rc = use.step();
  if (rc == SQLITE_DONE) return S_FALSE;
  if (rc != SQLITE_ROW) return store.storageFailure(rc);
  return onRow(use);
}

}  // namespace

HRESULT Store::readInteger(const GUID& object, std::uint32_t attr, std::int32_t& value) {
  if (_db == nullptr) return kStoreClosed;
  return lookUpValue(*this, _selectInt, object, attr, [&](StatementUse& use) -> HRESULT {
    value = static_cast<std::int32_t>(use.columnInt(0));
    return S_OK;
  });
}

HRESULT Store::readString(const GUID& object, std::uint32_t attr, std::u16string& text) {
  return readValue(_stringTable, _selectString, object, attr, text);
}

HRESULT Store::readReferences(const GUID& object, std::uint32_t attr, std::vector<GUID>& targets) {
  return readValue(_refTable, _selectRefs, object, attr, targets);
}

template <class Element, class Container>
HRESULT Store::readValue(const ValueTable<Element>& table, Statement& select, const GUID& object,
                         std::uint32_t attr, Container& elements) {
  elements.clear();
  if (_db == nullptr) return kStoreClosed;
  // built() first: classTableReady() counts the lookups that lead to the
  // tables, and a read of a value table that is not there is none.
  if (table.built() && classTableReady() && table.built()) {
    switch (table.find(object, attr, elements)) {
      case ValueTable<Element>::Found::kValue:
        return S_OK;
      case ValueTable<Element>::Found::kMissing:
        return S_FALSE;
      case ValueTable<Element>::Found::kDamaged:
        return storageFault(kStoreDamaged);
    }
  }
  // The value as the table's scan reads it: a whole number of elements.
  using Stored = StoredElements<Element>;
  return lookUpValue(*this, select, object, attr, [&](StatementUse& use) -> HRESULT {
    std::size_t size = 0;
    const unsigned char* bytes = use.columnBlob(0, size);
    if (size % Stored::kBytes != 0) return storageFault(kStoreDamaged);
    elements.resize(size / Stored::kBytes);
    for (std::size_t i = 0; i < elements.size(); ++i) {
      elements[i] = Stored::decode(bytes + i * Stored::kBytes);
    }
    return S_OK;
  });
}

HRESULT Store::readListEntries(const GUID& object, std::uint32_t attr, const GUID* kind,
                               std::uint32_t limit, std::span<const ListEntry>& entries) {
  entries = {};
  if (_db == nullptr) return kStoreClosed;
  ListMemo& memo = _listMemo;
  // Only inside a transaction that stands as the session made it, where
  // nothing but the session's own changes can move the answer.
  const bool standing = (_inWrite ? _writeFault >= 0 : _inRead) && sqlite3_get_autocommit(_db) == 0;
  if (standing && memo.valid && memo.generation == _generation && memo.object == object &&
      memo.attr == attr && memo.filtered == (kind != nullptr) &&
      (kind == nullptr || memo.kind == *kind)) {
    entries = memo.entries;
    if (limit != 0 && entries.size() > limit) entries = entries.first(limit);
    return S_OK;
  }
  memo.valid = false;
  memo.entries.clear();
  HRESULT hr = readReferences(object, attr, memo.targets);
  if (hr < 0) return hr;
  bool whole = true;
  for (const GUID& target : memo.targets) {
    // Entries after the limit are not looked at: their faults are not this
    // call's.
    if (limit != 0 && memo.entries.size() == limit) {
      whole = false;
      break;
    }
    const ClassDef* cls = nullptr;
    hr = objectClass(target, cls);
    if (hr == kStorageNotFound) continue;  // dangling entries are left out
    if (hr < 0) {
      memo.entries.clear();
      return hr;
    }
    if (kind != nullptr && !Catalog::isA(cls, *kind)) continue;
    memo.entries.push_back({target, cls});
  }
  entries = memo.entries;
  if (whole && standing) {
    memo.valid = true;
    memo.generation = _generation;
    memo.object = object;
    memo.attr = attr;
    memo.filtered = kind != nullptr;
    memo.kind = kind != nullptr ? *kind : GUID{};
  }
  return S_OK;
}

HRESULT Store::writeInteger(const GUID& object, std::uint32_t attr, std::int32_t value) {
  if (const HRESULT hr = beforeChange(); hr < 0) return hr;
  StatementUse use(_staged ? _stageInt : _upsertInt);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  use.bindInt(3, value);
  const int rc = use.step();
  return rc == SQLITE_DONE ? S_OK : storageFailure(rc);
}

HRESULT Store::writeString(const GUID& object, std::uint32_t attr, const char16_t* text,
                           std::size_t length) {
  if (const HRESULT hr = beforeChange(); hr < 0) return hr;
  std::string bytes;
  schema::encodeUtf16(text, length, bytes);
  StatementUse use(_staged ? _stageString : _upsertString);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  use.bindInt(3, schema::textHash(bytes));
  use.bindBlob(4, bytes.data(), bytes.size());
  const int rc = use.step();
  if (rc != SQLITE_DONE) return storageFailure(rc);
  // Out of memory, or grown too far: the rest of the transaction reads the
  // file, as before the table was built.
  if (!_stringTable.set(object, attr, text, length)) _stringTable.clear();
  return S_OK;
}

HRESULT Store::writeReferences(const GUID& object, std::uint32_t attr, const GUID* targets,
                               std::size_t count) {
  if (const HRESULT hr = beforeChange(); hr < 0) return hr;
  if (count == 0 && _loading) return S_OK;  // nothing staged for an empty list
  int rc;
  if (count == 0) {
    StatementUse use(_deleteRefs);
    use.bindGuid(1, object);
    use.bindInt(2, attr);
    rc = use.step();
  } else {
    std::vector<unsigned char> bytes(count * 16);
    for (std::size_t i = 0; i < count; ++i) guidToKeyBytes(targets[i], bytes.data() + 16 * i);
    StatementUse use(_staged ? _stageRefs : _upsertRefs);
    use.bindGuid(1, object);
    use.bindInt(2, attr);
    use.bindBlob(3, bytes.data(), bytes.size());
    rc = use.step();
  }
  if (rc != SQLITE_DONE) return storageFailure(rc);
  const bool followed =
      count == 0 ? _refTable.remove(object, attr) : _refTable.set(object, attr, targets, count);
  // Out of memory, or grown too far: the rest of the transaction reads the
  // file, as before the table was built.
  if (!followed) _refTable.clear();
  return S_OK;
}

}  // namespace vddb::engine
