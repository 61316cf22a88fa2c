// Compact stores in the JSON store format (vddb-store/1) for the tests that
// run on the real engine, and the numbered objects they hold.
//
// Object n has the GUID 0b000000-0000-4000-8000-<n as 12 hex digits>, so
// registry-form order, and with it the order in which the store enumerates
// a class's objects, is number order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/guid.h"
#include "store/guid_list.h"

namespace vddb::test {

std::string objectId(unsigned n);
GUID objectGuid(unsigned n);
// The number of a numbered object's GUID in registry form, if it is one.
std::optional<unsigned> objectNumber(std::string_view text);
// `text` with the GUID of every numbered object n written as "#n".
std::string withNumbers(std::string text);

nlohmann::json refTo(unsigned n);
nlohmann::json refsTo(const std::vector<unsigned>& ns);

std::vector<std::string> objectIds(const std::vector<unsigned>& ns);
std::vector<std::string> guidTexts(const GuidList& guids);
std::vector<GUID> toVector(const GuidList& guids);

struct AttributeSpec {
  std::uint32_t id;
  const char* type;  // "ref", "reflist", "int", "string"
  bool owning = false;
};

// One object of a store given as a table: its number, class and values by
// attribute ID (in the form attributeText gives).
struct Obj {
  unsigned n;
  const char* cls;
  nlohmann::json values = nlohmann::json::object();
};

// A class a table store adds to the built-in catalog; every reference
// attribute it declares owns or does not own alike.
struct ExtraClass {
  const char* guid;
  const char* base;
  std::vector<std::pair<std::uint32_t, const char*>> attributes;  // id, "ref"/"reflist"/"int"
  bool owning = true;
};

// The values of one object of a StoreJson, set one attribute at a time. It
// names the object by its place, so it stays good while more are added.
class ObjectValues {
 public:
  ObjectValues(nlohmann::json& objects, std::size_t index) : _objects(&objects), _index(index) {}
  // No target: the reference is null.
  ObjectValues& ref(std::uint32_t attribute, std::optional<unsigned> target);
  ObjectValues& list(std::uint32_t attribute, std::initializer_list<unsigned> targets);
  ObjectValues& integer(std::uint32_t attribute, std::int64_t value);
  ObjectValues& text(std::uint32_t attribute, const std::string& value);

 private:
  nlohmann::json& values() { return (*_objects)[_index]["values"]; }
  nlohmann::json* _objects;
  std::size_t _index;
};

class StoreJson {
 public:
  // The objects of `objects` over the built-in catalog and `extra`.
  static StoreJson of(const std::vector<Obj>& objects, const std::vector<ExtraClass>& extra = {});

  StoreJson& cls(const std::string& guid, const std::vector<AttributeSpec>& attributes,
                 const std::optional<std::string>& base = std::nullopt);
  // A class deriving from `base` that declares nothing of its own.
  StoreJson& derivedClass(const GUID& derived, const GUID& base);

  // `values` maps attribute IDs ("0x20C00010") to values.
  StoreJson& object(unsigned n, const std::string& classGuid,
                    nlohmann::json values = nlohmann::json::object());
  StoreJson& object(unsigned n, const GUID& objectClass,
                    nlohmann::json values = nlohmann::json::object());
  // Adds object n and returns its values to be filled in.
  ObjectValues add(unsigned n, const GUID& objectClass);

  std::string text() const;

 private:
  nlohmann::json _classes = nlohmann::json::array();
  nlohmann::json _objects = nlohmann::json::array();
};

}  // namespace vddb::test
