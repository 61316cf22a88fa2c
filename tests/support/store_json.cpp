#include "support/store_json.h"

#include <cstdio>
#include <regex>

#include "support/fault_injection.h"

namespace vddb::test {

namespace {
constexpr std::string_view kNumberedPrefix = "0b000000-0000-4000-8000-";
}

std::string objectId(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "0b000000-0000-4000-8000-%012x", n);
  return text;
}

GUID objectGuid(unsigned n) { return *parseGuid(objectId(n)); }

std::optional<unsigned> objectNumber(std::string_view text) {
  if (text.size() != 36 || text.substr(0, kNumberedPrefix.size()) != kNumberedPrefix) {
    return std::nullopt;
  }
  return static_cast<unsigned>(
      std::stoul(std::string(text.substr(kNumberedPrefix.size())), nullptr, 16));
}

std::string withNumbers(std::string text) {
  static const std::regex numbered("0b000000-0000-4000-8000-([0-9a-f]{12})");
  std::string out;
  std::smatch match;
  while (std::regex_search(text, match, numbered)) {
    out += match.prefix().str() + "#" + std::to_string(std::stoul(match[1].str(), nullptr, 16));
    text = match.suffix().str();
  }
  return out + text;
}

nlohmann::json refTo(unsigned n) { return objectId(n); }

nlohmann::json refsTo(const std::vector<unsigned>& ns) {
  nlohmann::json list = nlohmann::json::array();
  for (unsigned n : ns) list.push_back(objectId(n));
  return list;
}

std::vector<std::string> objectIds(const std::vector<unsigned>& ns) {
  std::vector<std::string> texts;
  for (unsigned n : ns) texts.push_back(objectId(n));
  return texts;
}

std::vector<std::string> guidTexts(const GuidList& guids) {
  std::vector<std::string> texts;
  for (const GUID& g : guids) texts.push_back(formatGuid(g));
  return texts;
}

std::vector<GUID> toVector(const GuidList& guids) { return {guids.begin(), guids.end()}; }

ObjectValues& ObjectValues::ref(std::uint32_t attribute, std::optional<unsigned> target) {
  values()[attributeText(attribute)] = target ? refTo(*target) : nlohmann::json(nullptr);
  return *this;
}

ObjectValues& ObjectValues::list(std::uint32_t attribute, std::initializer_list<unsigned> targets) {
  values()[attributeText(attribute)] = refsTo(targets);
  return *this;
}

ObjectValues& ObjectValues::integer(std::uint32_t attribute, std::int64_t value) {
  values()[attributeText(attribute)] = value;
  return *this;
}

ObjectValues& ObjectValues::text(std::uint32_t attribute, const std::string& value) {
  values()[attributeText(attribute)] = value;
  return *this;
}

StoreJson StoreJson::of(const std::vector<Obj>& objects, const std::vector<ExtraClass>& extra) {
  StoreJson store;
  for (const ExtraClass& c : extra) {
    std::vector<AttributeSpec> attributes;
    for (const auto& [id, type] : c.attributes) attributes.push_back({id, type, c.owning});
    store.cls(c.guid, attributes,
              c.base != nullptr ? std::optional<std::string>(c.base) : std::nullopt);
  }
  for (const Obj& o : objects) store.object(o.n, o.cls, o.values);
  return store;
}

StoreJson& StoreJson::cls(const std::string& guid, const std::vector<AttributeSpec>& attributes,
                          const std::optional<std::string>& base) {
  nlohmann::json c{{"guid", guid}, {"attributes", nlohmann::json::array()}};
  if (base) c["base"] = *base;
  for (const AttributeSpec& a : attributes) {
    nlohmann::json attribute{{"id", attributeText(a.id)}, {"type", a.type}};
    if (std::string_view(a.type).starts_with("ref")) attribute["owning"] = a.owning;
    c["attributes"].push_back(attribute);
  }
  _classes.push_back(std::move(c));
  return *this;
}

StoreJson& StoreJson::derivedClass(const GUID& derived, const GUID& base) {
  return cls(formatGuid(derived), {}, formatGuid(base));
}

StoreJson& StoreJson::object(unsigned n, const std::string& classGuid, nlohmann::json values) {
  _objects.push_back({{"guid", objectId(n)}, {"class", classGuid}, {"values", std::move(values)}});
  return *this;
}

StoreJson& StoreJson::object(unsigned n, const GUID& objectClass, nlohmann::json values) {
  return object(n, formatGuid(objectClass), std::move(values));
}

ObjectValues StoreJson::add(unsigned n, const GUID& objectClass) {
  object(n, objectClass);
  return ObjectValues(_objects, _objects.size() - 1);
}

std::string StoreJson::text() const {
  return nlohmann::json{{"format", "vddb-store/1"}, {"classes", _classes}, {"objects", _objects}}
      .dump();
}

}  // namespace vddb::test
