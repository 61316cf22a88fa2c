// The class catalog of a store, held in memory while the store is open:
// every class with its optional base and the attributes of its own level.
// Loaded once at open (or built from the built-in table plus a JSON file's
// classes), checked by link(), and read-only afterwards, so pointers into
// it stay valid for the life of the store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/guid.h"

namespace vddb::engine {

struct AttributeDef {
  std::uint32_t id = 0;
  std::uint32_t type = 0;  // kAttributeType*
  bool owning = false;     // references only
};

struct ClassDef {
  GUID guid{};
  std::optional<GUID> base;
  std::string name;
  std::vector<AttributeDef> attributes;  // this level only, ascending ID

  // Filled by Catalog::link.
  const ClassDef* baseDef = nullptr;
  std::vector<const ClassDef*> derived;  // the classes based directly on this one

  const AttributeDef* ownAttribute(std::uint32_t id) const noexcept;
};

// Whether two definitions say the same (GUID, base, name, attributes).
bool sameDefinition(const ClassDef& a, const ClassDef& b) noexcept;

bool isValidAttributeType(std::uint32_t type) noexcept;
bool isReferenceType(std::uint32_t type) noexcept;
// "ref", "reflist", "int", "string"; null for an invalid type.
const char* attributeTypeName(std::uint32_t type) noexcept;
std::optional<std::uint32_t> attributeTypeFromName(std::string_view name) noexcept;
// "0x" and eight upper-case hexadecimal digits, as the JSON dump writes IDs.
std::string formatAttributeId(std::uint32_t id);
std::optional<std::uint32_t> parseAttributeId(std::string_view text) noexcept;

class Catalog {
 public:
  Catalog() = default;
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;
  Catalog(Catalog&&) = default;
  Catalog& operator=(Catalog&&) = default;

  // Adds a class or replaces the one with its GUID. Invalidates link().
  void put(ClassDef def);
  // Resolves the bases and checks the whole catalog: every base exists, no
  // class derives from itself, types are valid, attribute IDs are unique
  // per level. On failure `error` names the class.
  bool link(std::string& error);

  const ClassDef* find(const GUID& guid) const noexcept;
  // The nearest declaration of `id` on the chain of `cls`, or null.
  static const AttributeDef* resolve(const ClassDef* cls, std::uint32_t id) noexcept;
  // The class is `kind` or derives from it.
  static bool isA(const ClassDef* cls, const GUID& kind) noexcept;
  // The class and every class derived from it, ascending GUID. Made on each
  // call, in time linear in their number: kept for every class, the lists
  // would grow with the square of a long base chain.
  static std::vector<const ClassDef*> selfAndDerived(const ClassDef* cls);

  // Every class, ascending GUID.
  std::vector<const ClassDef*> sorted() const;
  std::size_t size() const noexcept { return _classes.size(); }

 private:
  std::unordered_map<GUID, std::unique_ptr<ClassDef>, GuidHash> _classes;
};

// The classes that the repair passes and the configuration library use, as
// store/model_ids.h names them and docs/store-model.md describes them.
Catalog builtinCatalog();

}  // namespace vddb::engine
