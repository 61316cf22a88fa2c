#include "engine/catalog.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "encoding/hex.h"
#include "store/interfaces.h"

namespace vddb::engine {

const AttributeDef* ClassDef::ownAttribute(std::uint32_t id) const noexcept {
  const auto it = std::lower_bound(attributes.begin(), attributes.end(), id,
                                   [](const AttributeDef& a, std::uint32_t v) { return a.id < v; });
  return (it != attributes.end() && it->id == id) ? &*it : nullptr;
}

bool sameDefinition(const ClassDef& a, const ClassDef& b) noexcept {
  if (!(a.guid == b.guid) || a.base.has_value() != b.base.has_value()) return false;
  if (a.base && !(*a.base == *b.base)) return false;
  if (a.name != b.name || a.attributes.size() != b.attributes.size()) return false;
  for (std::size_t i = 0; i < a.attributes.size(); ++i) {
    const AttributeDef& x = a.attributes[i];
    const AttributeDef& y = b.attributes[i];
    if (x.id != y.id || x.type != y.type || x.owning != y.owning) return false;
  }
  return true;
}

bool isValidAttributeType(std::uint32_t type) noexcept {
  return attributeTypeName(type) != nullptr;
}

bool isReferenceType(std::uint32_t type) noexcept {
  return type == kAttributeTypeReference || type == kAttributeTypeReferenceList;
}

const char* attributeTypeName(std::uint32_t type) noexcept {
  switch (type) {
    case kAttributeTypeReference:
      return "ref";
    case kAttributeTypeReferenceList:
      return "reflist";
    case kAttributeTypeInteger:
      return "int";
    case kAttributeTypeString:
      return "string";
    default:
      return nullptr;
  }
}

std::optional<std::uint32_t> attributeTypeFromName(std::string_view name) noexcept {
  if (name == "ref") return kAttributeTypeReference;
  if (name == "reflist") return kAttributeTypeReferenceList;
  if (name == "int") return kAttributeTypeInteger;
  if (name == "string") return kAttributeTypeString;
  return std::nullopt;
}

std::string formatAttributeId(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", id);
  return text;
}

std::optional<std::uint32_t> parseAttributeId(std::string_view text) noexcept {
  if (text.size() != 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    return std::nullopt;
  }
  return encoding::parseHex32(text.substr(2));
}

void Catalog::put(ClassDef def) {
  std::sort(def.attributes.begin(), def.attributes.end(),
            [](const AttributeDef& a, const AttributeDef& b) { return a.id < b.id; });
  def.baseDef = nullptr;
  def.derived.clear();
  const GUID key = def.guid;
  _classes[key] = std::make_unique<ClassDef>(std::move(def));
}

bool Catalog::link(std::string& error) {
  for (auto& [guid, cls] : _classes) {
    cls->baseDef = nullptr;
    cls->derived.clear();
  }
  for (auto& [guid, cls] : _classes) {
    for (std::size_t i = 0; i < cls->attributes.size(); ++i) {
      const AttributeDef& a = cls->attributes[i];
      if (!isValidAttributeType(a.type)) {
        error = "class " + formatGuid(guid) + ": attribute " + formatAttributeId(a.id) +
                " has an invalid type";
        return false;
      }
      if (a.owning && !isReferenceType(a.type)) {
        error = "class " + formatGuid(guid) + ": attribute " + formatAttributeId(a.id) +
                " is owning but not a reference";
        return false;
      }
      if (i > 0 && cls->attributes[i - 1].id == a.id) {
        error = "class " + formatGuid(guid) + ": attribute " + formatAttributeId(a.id) +
                " is declared twice";
        return false;
      }
    }
    if (cls->base) {
      const auto it = _classes.find(*cls->base);
      if (it == _classes.end()) {
        error = "class " + formatGuid(guid) + ": base class " + formatGuid(*cls->base) +
                " does not exist";
        return false;
      }
      cls->baseDef = it->second.get();
    }
  }
  // Each class is walked up to the first class already known to end well,
  // so the whole check is linear however long the chains are; meeting a
  // class of the walk in progress means the chain loops.
  enum class Mark : unsigned char { kUnseen, kOnPath, kEndsWell };
  std::unordered_map<const ClassDef*, Mark> marks;
  marks.reserve(_classes.size());
  std::vector<const ClassDef*> path;
  for (auto& [guid, cls] : _classes) {
    path.clear();
    const ClassDef* c = cls.get();
    for (; c != nullptr; c = c->baseDef) {
      Mark& mark = marks[c];
      if (mark == Mark::kEndsWell) break;
      if (mark == Mark::kOnPath) {
        error = "class " + formatGuid(guid) + ": its base chain loops";
        return false;
      }
      mark = Mark::kOnPath;
      path.push_back(c);
    }
    for (const ClassDef* done : path) marks[done] = Mark::kEndsWell;
  }
  for (auto& [guid, cls] : _classes) {
    if (cls->baseDef != nullptr) const_cast<ClassDef*>(cls->baseDef)->derived.push_back(cls.get());
  }
  return true;
}

const ClassDef* Catalog::find(const GUID& guid) const noexcept {
  const auto it = _classes.find(guid);
  return it == _classes.end() ? nullptr : it->second.get();
}

const AttributeDef* Catalog::resolve(const ClassDef* cls, std::uint32_t id) noexcept {
  for (const ClassDef* c = cls; c != nullptr; c = c->baseDef) {
    if (const AttributeDef* a = c->ownAttribute(id)) return a;
  }
  return nullptr;
}

bool Catalog::isA(const ClassDef* cls, const GUID& kind) noexcept {
  for (const ClassDef* c = cls; c != nullptr; c = c->baseDef) {
    if (c->guid == kind) return true;
  }
  return false;
}

std::vector<const ClassDef*> Catalog::selfAndDerived(const ClassDef* cls) {
  std::vector<const ClassDef*> all{cls};
  for (std::size_t next = 0; next < all.size(); ++next) {
    all.insert(all.end(), all[next]->derived.begin(), all[next]->derived.end());
  }
  std::sort(all.begin(), all.end(), [](const ClassDef* a, const ClassDef* b) {
    return compareGuids(a->guid, b->guid) < 0;
  });
  return all;
}

std::vector<const ClassDef*> Catalog::sorted() const {
  std::vector<const ClassDef*> all;
  all.reserve(_classes.size());
  for (const auto& [guid, cls] : _classes) all.push_back(cls.get());
  std::sort(all.begin(), all.end(), [](const ClassDef* a, const ClassDef* b) {
    return compareGuids(a->guid, b->guid) < 0;
  });
  return all;
}

}  // namespace vddb::engine
