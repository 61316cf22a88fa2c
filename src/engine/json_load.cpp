#include <functional>
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_set>
#include <vector>

#include "encoding/quote.h"
#include "encoding/utf.h"
#include "engine/json_io.h"
#include "store/interfaces.h"

namespace vddb::engine {
namespace {

using nlohmann::json;

constexpr std::string_view kFormat = "vddb-store/1";

// Containers open at once inside one class or object entry, the entry
// itself included. The format needs three (object, "values", a list); a
// deeper value is refused while it is read, before it takes memory or stack.
constexpr std::size_t kMaxNesting = 8;

using encoding::quoteForMessage;

// A value as a message shows it: a scalar as its JSON, a string quoted and
// cut short, a container by its kind only. Never a dump of the whole value,
// which may be as large as the file.
std::string describe(const json& value) {
  switch (value.type()) {
    case json::value_t::string:
      return quoteForMessage(value.get_ref<const std::string&>());
    case json::value_t::array:
      return value.empty() ? "[]" : "an array";
    case json::value_t::object:
      return value.empty() ? "{}" : "an object";
    default:
      return value.dump();  // null, true, false or a number: a few characters
  }
}

// An attribute ID as read, for a message: normalised when it is one.
std::string attributeName(const std::string& key) {
  const auto id = parseAttributeId(key);
  return id ? formatAttributeId(*id) : quoteForMessage(key);
}

// Whether a number the parser could only read as a floating-point one was
// written as an integer: then it lies beyond 64 bits.
bool isIntegerLiteral(std::string_view literal) {
  return literal.find_first_of(".eE") == std::string_view::npos;
}

// Empties `value` from its leaves up. The JSON library's destructor of a
// non-empty array or object allocates a work list, and so ends the process
// when memory has run out; an empty one it frees without allocating.
void dismantle(json& value) noexcept {
  if (value.is_array()) {
    auto& items = value.get_ref<json::array_t&>();
    for (json& item : items) dismantle(item);
    items.clear();
  } else if (value.is_object()) {
    auto& members = value.get_ref<json::object_t&>();
    for (auto& member : members) dismantle(member.second);
    members.clear();
  }
}

// A SAX handler that keeps one class or object entry in memory at a time.
class Loader final : public nlohmann::json_sax<json> {
 public:
  // `canRescan`: the input can be read a second time, so objects that come
  // before the classes are skipped now and read in a second pass
  // (`objectsOnly`) instead of being held in memory.
  Loader(Store& store, bool canRescan, bool objectsOnly)
      : _store(store),
        _canRescan(canRescan),
        _objectsOnly(objectsOnly),
        _catalogReady(objectsOnly) {}
  // Also on the way out of a parse that ran out of memory, with an entry
  // half read.
  ~Loader() override {
    dismantle(_entry);
    for (json& entry : _pending) dismantle(entry);
  }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  bool null() override { return scalar(json(nullptr)); }
  bool boolean(bool v) override { return scalar(json(v)); }
  bool number_integer(number_integer_t v) override { return scalar(json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return scalar(json(v)); }
  bool number_float(number_float_t v, const string_t& literal) override {
    if (isIntegerLiteral(literal)) return numberOutOfRange(literal);
    return scalar(json(v));
  }
  bool string(string_t& v) override {
    // The entry's GUID, for messages about it before it is complete.
    if (_path.size() == 1 && _path[0] == "guid" && v.size() <= 38) _entryGuid = v;
    return scalar(json(std::move(v)));
  }
  bool binary(binary_t&) override { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) override {
    if (_skipDepth > 0) return skipInto();
    if (!_stack.empty() || _at == At::InSection) return open(json::object());
    if (_at == At::Start) {
      _at = At::Top;
      return true;
    }
    return unexpected("an object");
  }
  bool start_array(std::size_t) override {
    if (_skipDepth > 0) return skipInto();
    if (!_stack.empty() || _at == At::InSection) return open(json::array());
    if (_at == At::SectionStart) {
      _at = At::InSection;
      const bool deferObjects =
          _section == Section::kObjects && !_catalogReady && _canRescan && !_objectsOnly;
      _deferred = _deferred || deferObjects;
      if (deferObjects || (_objectsOnly && _section == Section::kClasses)) _skipDepth = 1;
      return true;
    }
    return unexpected("an array");
  }
  bool key(string_t& k) override {
    if (!_path.empty()) _path.back() = k;
    if (_skipDepth > 0) return true;
    if (!_stack.empty()) {
      _key = std::move(k);
      return true;
    }
    if (_at != At::Top) return fail("unexpected key " + quoteForMessage(k));
    if (!_seen.insert(k).second) return fail(quoteForMessage(k) + " appears twice");
    _index = 0;
    if (k == "format") {
      _section = Section::kFormat;
      _at = At::FormatValue;
    } else if (k == "classes") {
      _section = Section::kClasses;
      _at = At::SectionStart;
    } else if (k == "objects") {
      _section = Section::kObjects;
      _at = At::SectionStart;
    } else {
      return fail("unknown key " + quoteForMessage(k) + " at the top level");
    }
    return true;
  }
  bool end_object() override {
    if (_skipDepth > 0) return endSkipped();
    if (!_stack.empty()) return close();
    if (_at != At::Top) return fail("unexpected end of object");
    _at = At::Done;
    return true;
  }
  bool end_array() override {
    if (_skipDepth > 0) return endSkipped();
    if (!_stack.empty()) return close();
    if (_at != At::InSection) return fail("unexpected end of array");
    _at = At::Top;
    if (_section == Section::kClasses) return applyClasses();
    return true;
  }
  bool parse_error(std::size_t position, const std::string& lastToken,
                   const nlohmann::detail::exception& e) override {
    constexpr int kNumberOverflow = 406;
    if (e.id == kNumberOverflow) return numberOutOfRange(lastToken);
    // The parser's text quotes the token it stopped at as it was read (of
    // any length): it is shown quoted like any other input.
    std::string what = e.what();
    const std::string token = "; last read: '" + lastToken + "'";
    const std::size_t at = what.find(token);
    if (at != std::string::npos) {
      what.replace(at, token.size(), "; last read: " + quoteForMessage(lastToken));
    }
    // "[json.exception.parse_error.101] parse error at line 2, column 16:
    // syntax error ..." becomes "2:16: syntax error ...", the place as
    // compilers give it, without the library's tag.
    static constexpr std::string_view kAtLine = "at line ";
    const std::size_t line = what.find(kAtLine);
    const std::size_t column = what.find(", column ", line);
    const std::size_t colon = what.find(": ", column);
    if (line != std::string::npos && column != std::string::npos && colon != std::string::npos) {
      return fail(what.substr(line + kAtLine.size(), column - line - kAtLine.size()) + ":" +
                  what.substr(column + 9, colon - column - 9) + ": " + what.substr(colon + 2));
    }
    return fail("malformed JSON at byte " + std::to_string(position) + ": " + what);
  }

  // After the parser has seen the whole document. With deferred() the
  // objects still need the second pass.
  bool deferred() const noexcept { return _deferred; }
  HRESULT finish() {
    if (_result < 0) return _result;
    if (!_catalogReady && !applyClasses()) return _result;
    for (json& o : _pending) {
      if (!object(o)) return _result;
      dismantle(o);
    }
    _pending.clear();
    return S_OK;
  }
  HRESULT result() const noexcept { return _result; }
  const std::string& error() const noexcept { return _error; }

 private:
  enum class At { Start, Top, FormatValue, SectionStart, InSection, Done };
  enum class Section { kFormat, kClasses, kObjects };

  bool fail(std::string message, HRESULT result = kBadJson) {
    if (_result >= 0) {
      _result = result;
      _error = std::move(message);
    }
    return false;
  }
  // Where the parser is inside the current entry: the entry (by its GUID
  // once read, else by its number) and, inside an object's "values", the
  // attribute. For failures found before the entry is complete.
  std::string where() const {
    const bool isClass = _section == Section::kClasses;
    const auto guid = parseGuid(_entryGuid);
    std::string name = std::string(isClass ? "class " : "object ") +
                       (guid ? formatGuid(*guid) : "#" + std::to_string(_index));
    if (!isClass && _path.size() >= 2 && _path[0] == "values") {
      return name + ": attribute " + attributeName(_path[1]);
    }
    if (!_path.empty() && !_path[0].empty()) return name + ": " + quoteForMessage(_path[0]);
    return name;
  }
  bool numberOutOfRange(const std::string& literal) {
    const std::string number = "the number " + quoteForMessage(literal) + " is out of range";
    return fail(_path.empty() ? number : where() + ": " + number);
  }
  // One more container inside the current entry.
  bool enter() {
    if (_path.size() == kMaxNesting) {
      return fail(where() + ": nested deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    _path.emplace_back();
    return true;
  }
  // The current container ends; so does the entry when it was its own.
  void leave() {
    _path.pop_back();
    if (_path.empty()) _entryGuid.clear();
  }
  bool skipInto() {
    if (!enter()) return false;
    ++_skipDepth;
    return true;
  }

  bool unexpected(const char* what) {
    if (_at == At::Start) return fail("the document is not a JSON object");
    if (_at == At::SectionStart) {
      return fail(std::string(_section == Section::kClasses ? "\"classes\"" : "\"objects\"") +
                  " must be an array");
    }
    if (_at == At::FormatValue) return fail("\"format\" must be \"vddb-store/1\"");
    return fail(std::string("unexpected ") + what);
  }

  // --- building one entry ---
  json* place(json value) {
    if (_stack.empty()) {
      dismantle(_entry);  // the entry before, read: see dismantle
      _entry = std::move(value);
      return &_entry;
    }
    json& top = *_stack.back();
    if (top.is_array()) {
      top.push_back(std::move(value));
      return &top.back();
    }
    if (top.contains(_key)) {
      fail(entryName() + ": key " + quoteForMessage(_key) + " appears twice");
      return nullptr;
    }
    return &top.emplace(_key, std::move(value)).first.value();
  }
  bool open(json container) {
    if (!enter()) return false;
    json* slot = place(std::move(container));
    if (slot == nullptr) return false;
    _stack.push_back(slot);
    return true;
  }
  bool close() {
    _stack.pop_back();
    leave();
    return _stack.empty() ? entryDone() : true;
  }
  bool endSkipped() {
    if (--_skipDepth == 0) {
      _at = At::Top;
      return true;
    }
    leave();
    if (_path.empty()) ++_index;  // a skipped entry counts as one read
    return true;
  }
  bool scalar(json value) {
    if (_skipDepth > 0) {
      if (_skipDepth == 1) ++_index;  // an entry that is no container
      return true;
    }
    if (!_stack.empty()) return place(std::move(value)) != nullptr;
    if (_at == At::FormatValue) {
      if (!value.is_string() || value.get_ref<const std::string&>() != kFormat) {
        return fail("\"format\" is " + describe(value) + ", expected \"vddb-store/1\"");
      }
      _at = At::Top;
      return true;
    }
    if (_at == At::InSection) return fail(entryName() + ": not a JSON object");
    return unexpected("a value");
  }
  std::string entryName() const {
    return std::string(_section == Section::kClasses ? "class" : "object") + " #" +
           std::to_string(_index);
  }
  bool entryDone() {
    bool ok;
    if (!_entry.is_object()) {
      ok = fail(entryName() + ": not a JSON object");
    } else if (_section == Section::kClasses) {
      ok = classEntry(_entry);
    } else if (_catalogReady) {
      ok = object(_entry);
    } else {
      _pending.push_back(std::move(_entry));  // classes may still follow
      ok = true;
    }
    ++_index;
    return ok;
  }

  // --- classes ---
  bool classEntry(const json& c) {
    std::string name = entryName();
    ClassDef def;
    const auto guid = c.find("guid");
    if (guid == c.end() || !guid->is_string()) return fail(name + ": \"guid\" is missing");
    const auto parsed = parseGuid(guid->get_ref<const std::string&>());
    if (!parsed) return fail(name + ": bad GUID " + describe(*guid));
    def.guid = *parsed;
    name = "class " + formatGuid(def.guid);
    for (const auto& [k, v] : c.items()) {
      if (k == "guid") continue;
      if (k == "name") {
        if (!v.is_string()) return fail(name + ": \"name\" must be a string");
        def.name = v.get<std::string>();
        // The catalog keeps a class name as SQL text, which ends at a zero.
        if (def.name.find('\0') != std::string::npos) {
          return fail(name + ": \"name\" holds U+0000, which a class name cannot keep");
        }
      } else if (k == "base") {
        if (v.is_null()) continue;
        const auto base = v.is_string() ? parseGuid(v.get_ref<const std::string&>()) : std::nullopt;
        if (!base) return fail(name + ": bad base GUID " + describe(v));
        def.base = *base;
      } else if (k == "attributes") {
        if (!v.is_array()) return fail(name + ": \"attributes\" must be an array");
        for (const json& a : v) {
          if (!attributeEntry(name, a, def)) return false;
        }
      } else {
        return fail(name + ": unknown key " + quoteForMessage(k));
      }
    }
    if (!_classGuids.insert(def.guid).second) return fail(name + ": defined twice");
    _classes.push_back(std::move(def));
    return true;
  }
  bool attributeEntry(const std::string& name, const json& a, ClassDef& def) {
    if (!a.is_object()) return fail(name + ": an attribute is not a JSON object");
    const auto id = a.find("id");
    const auto parsedId = (id != a.end() && id->is_string())
                              ? parseAttributeId(id->get_ref<const std::string&>())
                              : std::nullopt;
    if (!parsedId) {
      return fail(name + ": attribute " +
                  (id == a.end() ? std::string("without \"id\"") : describe(*id)) +
                  ": the ID must be 0x and eight hexadecimal digits");
    }
    const std::string where = name + ": attribute " + formatAttributeId(*parsedId);
    AttributeDef attribute;
    attribute.id = *parsedId;
    bool hasType = false;
    for (const auto& [k, v] : a.items()) {
      if (k == "id") continue;
      if (k == "type") {
        const auto type =
            v.is_string() ? attributeTypeFromName(v.get_ref<const std::string&>()) : std::nullopt;
        if (!type)
          return fail(where + ": type " + describe(v) + " is not ref, reflist, int or string");
        attribute.type = *type;
        hasType = true;
      } else if (k == "owning") {
        if (!v.is_boolean()) return fail(where + ": \"owning\" must be true or false");
        attribute.owning = v.get<bool>();
      } else {
        return fail(where + ": unknown key " + quoteForMessage(k));
      }
    }
    if (!hasType) return fail(where + ": \"type\" is missing");
    if (attribute.owning && !isReferenceType(attribute.type)) {
      return fail(where + ": only references can be owning");
    }
    for (const AttributeDef& other : def.attributes) {
      if (other.id == attribute.id) return fail(where + ": declared twice");
    }
    def.attributes.push_back(attribute);
    return true;
  }
  bool applyClasses() {
    if (_catalogReady) return fail("classes must come in one \"classes\" array");
    Catalog catalog = builtinCatalog();
    for (ClassDef& def : _classes) catalog.put(std::move(def));
    _classes.clear();
    std::string why;
    if (!catalog.link(why)) return fail(why);
    const HRESULT hr = _store.installCatalog(std::move(catalog));
    if (hr < 0) return fail("cannot write the class catalog", hr);
    _catalogReady = true;
    for (json& o : _pending) {
      if (!object(o)) return false;
      dismantle(o);
    }
    _pending.clear();
    return true;
  }

  // --- objects ---
  bool object(const json& o) {
    std::string name = "object #" + std::to_string(_objectIndex++);
    if (!o.is_object()) return fail(name + ": not a JSON object");
    const auto guid = o.find("guid");
    if (guid == o.end() || !guid->is_string()) return fail(name + ": \"guid\" is missing");
    const auto parsed = parseGuid(guid->get_ref<const std::string&>());
    if (!parsed) return fail(name + ": bad GUID " + describe(*guid));
    name = "object " + formatGuid(*parsed);
    const auto cls = o.find("class");
    if (cls == o.end() || !cls->is_string()) return fail(name + ": \"class\" is missing");
    const auto classGuid = parseGuid(cls->get_ref<const std::string&>());
    if (!classGuid) return fail(name + ": bad class GUID " + describe(*cls));
    const ClassDef* def = _store.catalog().find(*classGuid);
    if (def == nullptr) return fail(name + ": unknown class " + formatGuid(*classGuid));
    for (const auto& [k, v] : o.items()) {
      if (k != "guid" && k != "class" && k != "values") {
        return fail(name + ": unknown key " + quoteForMessage(k));
      }
    }
    HRESULT hr = _store.insertObject(*parsed, *def);
    if (hr == kBadJson) return fail(name + ": the GUID appears twice");
    if (hr < 0) return fail(name + ": cannot be stored", hr);
    const auto values = o.find("values");
    if (values == o.end()) return true;
    if (!values->is_object()) return fail(name + ": \"values\" must be an object");
    std::unordered_set<std::uint32_t> ids;
    for (const auto& [k, v] : values->items()) {
      const auto id = parseAttributeId(k);
      if (!id) {
        return fail(name + ": attribute " + quoteForMessage(k) +
                    ": the ID must be 0x and eight hexadecimal digits");
      }
      const std::string where = name + ": attribute " + formatAttributeId(*id);
      if (!ids.insert(*id).second) return fail(where + ": appears twice");
      const AttributeDef* a = Catalog::resolve(def, *id);
      if (a == nullptr) {
        return fail(where + ": not declared by class " + formatGuid(def->guid) + " or its bases");
      }
      if (!value(where, *parsed, *a, v)) return false;
    }
    return true;
  }
  bool value(const std::string& where, const GUID& object, const AttributeDef& a, const json& v) {
    HRESULT hr = S_OK;
    switch (a.type) {
      case kAttributeTypeReference: {
        if (v.is_null()) return true;
        const auto target =
            v.is_string() ? parseGuid(v.get_ref<const std::string&>()) : std::nullopt;
        if (!target) return fail(where + ": expected a GUID or null, found " + describe(v));
        hr = _store.writeReferences(object, a.id, &*target, 1);
        break;
      }
      case kAttributeTypeReferenceList: {
        if (!v.is_array())
          return fail(where + ": expected an array of GUIDs, found " + describe(v));
        std::vector<GUID> targets;
        targets.reserve(v.size());
        for (const json& entry : v) {
          const auto target =
              entry.is_string() ? parseGuid(entry.get_ref<const std::string&>()) : std::nullopt;
          if (!target) return fail(where + ": expected a GUID, found " + describe(entry));
          targets.push_back(*target);
        }
        hr = _store.writeReferences(object, a.id, targets.data(), targets.size());
        break;
      }
      case kAttributeTypeInteger: {
        std::int64_t number = 0;
        bool inRange = false;
        if (v.is_number_unsigned()) {
          const auto u = v.get<std::uint64_t>();
          inRange = u <= 0xFFFFFFFFULL;
          number = static_cast<std::int64_t>(u);
        } else if (v.is_number_integer()) {
          number = v.get<std::int64_t>();
          inRange = number >= -2147483648LL && number <= 0xFFFFFFFFLL;
        }
        if (!inRange) {
          return fail(where + ": expected an integer from -2147483648 to 4294967295, found " +
                      describe(v));
        }
        // A value above 2147483647 stands for the same 32 bits as its
        // negative twin.
        const auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(number));
        hr = _store.writeInteger(object, a.id, static_cast<std::int32_t>(bits));
        break;
      }
      case kAttributeTypeString: {
        if (!v.is_string()) return fail(where + ": expected a string, found " + describe(v));
        const std::u16string text = encoding::utf8ToUtf16(v.get_ref<const std::string&>());
        hr = _store.writeString(object, a.id, text.data(), text.size());
        break;
      }
      default:
        return fail(where + ": the attribute has an unknown type");
    }
    if (hr < 0) return fail(where + ": cannot be stored", hr);
    return true;
  }

  Store& _store;
  At _at = At::Start;
  Section _section = Section::kFormat;
  std::unordered_set<std::string> _seen;
  json _entry;
  std::vector<json*> _stack;
  std::string _key;
  std::size_t _index = 0;
  std::size_t _objectIndex = 0;
  std::vector<ClassDef> _classes;
  std::unordered_set<GUID, GuidHash> _classGuids;
  bool _canRescan;
  bool _objectsOnly;
  bool _catalogReady;
  bool _deferred = false;
  int _skipDepth = 0;
  // One slot per container open inside the current entry (the entry's own
  // first): the last key read in it. With _entryGuid, for where().
  std::vector<std::string> _path;
  std::string _entryGuid;
  std::vector<json> _pending;
  HRESULT _result = S_OK;
  std::string _error;
};

// One pass over the input; `rewind` makes it readable again (null when it
// cannot be).
template <class Parse>
HRESULT run(Store& store, Parse&& parse, const std::function<bool()>& rewind, std::string* error) {
  try {
    Loader first(store, static_cast<bool>(rewind), false);
    HRESULT hr = parse(first) ? first.result() : (first.result() < 0 ? first.result() : kBadJson);
    if (hr >= 0) hr = first.finish();
    const Loader* failed = &first;
    std::optional<Loader> second;
    if (hr >= 0 && first.deferred()) {
      second.emplace(store, false, true);
      failed = &*second;
      hr = !rewind() ? kStorageIo
                     : (parse(*second) ? second->result()
                                       : (second->result() < 0 ? second->result() : kBadJson));
      if (hr >= 0) hr = second->finish();
    }
    if (hr < 0 && error != nullptr) {
      *error = failed->error().empty() ? std::string("malformed JSON") : failed->error();
    }
    return hr;
  } catch (const std::bad_alloc&) {
    if (error != nullptr) *error = "out of memory";
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    if (error != nullptr) *error = std::string("malformed JSON: ") + e.what();
    return kBadJson;
  }
}

}  // namespace

HRESULT loadJson(Store& store, std::string_view text, std::string* error) {
  const auto parse = [text](Loader& loader) {
    return json::sax_parse(text, &loader, json::input_format_t::json, true);
  };
  return run(
      store, parse, [] { return true; }, error);
}

HRESULT loadJson(Store& store, std::istream& in, std::string* error) {
  const std::istream::pos_type start = in.tellg();
  const auto parse = [&in](Loader& loader) {
    return json::sax_parse(in, &loader, json::input_format_t::json, true);
  };
  std::function<bool()> rewind;
  if (start != std::istream::pos_type(-1)) {
    rewind = [&in, start] {
      in.clear();
      return static_cast<bool>(in.seekg(start));
    };
  }
  return run(store, parse, rewind, error);
}

}  // namespace vddb::engine
