// The items of a generated store and the damage each can carry.
//
// A healthy item is one that no pass touches: saved items whose slot counts
// equal their lists, companions and holders referred to by a device (devices
// are never deleted, so no repair of one item reaches another), complete
// two-way links and link records with distinct numbers, name references that
// find their name, and devices whose identifiers differ even without case.
//
// A damaged item carries exactly one kind of damage, chosen so that one run
// of the repair mends it completely: a second run finds nothing (a duplicated
// link record, for one, comes with a record that keeps its target named,
// because the link-record pass looks for unnamed targets before it deletes
// duplicates).
#include "generate/store_generator.h"

#include <cstddef>
#include <string>
#include <utility>

#include "store/guid.h"
#include "store/model_ids.h"

namespace vddb::generate::detail {

namespace {

// The Trelix chassis's slot lists in the order the generator fills them.
constexpr std::uint32_t kTrelixSlotLists[3] = {model::kTrelixSlotList1, model::kTrelixSlotList2,
                                               model::kTrelixSlotList3};

// The kinds of item and how often each comes, out of the sum of the weights.
// Objects per item on average: Trelix 9.5, Mordan 4, Quenta 3.5, device 6,
// holder 2.5, single holder 2, two-way link 3, link records 6, names 2.75;
// so about a quarter of the objects belong to Trelix chassis and a fifth
// each to devices and to link records.
enum class Item {
  kTrelix,
  kMordan,
  kQuenta,
  kDevice,
  kHolder,
  kSingleHolder,
  kTwoWayLink,
  kLinkRecords,
  kNames
};
struct ItemWeight {
  Item item;
  std::uint32_t weight;
};
constexpr ItemWeight kItemWeights[] = {
    {Item::kTrelix, 14},    {Item::kMordan, 8},       {Item::kQuenta, 6},
    {Item::kDevice, 16},    {Item::kHolder, 8},       {Item::kSingleHolder, 6},
    {Item::kTwoWayLink, 8}, {Item::kLinkRecords, 16}, {Item::kNames, 18},
};
constexpr std::uint32_t totalWeight() {
  std::uint32_t sum = 0;
  for (const ItemWeight& w : kItemWeights) sum += w.weight;
  return sum;
}

std::uint64_t splitMix(std::uint64_t& x) noexcept {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t rotateLeft(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }

void appendHex(std::string& out, std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[16];
  for (int i = digits - 1; i >= 0; --i) {
    text[i] = kDigits[value & 0xF];
    value >>= 4;
  }
  out.append(text, static_cast<std::size_t>(digits));
}

void appendGuid(std::string& out, const GUID& g) {
  out += '"';
  appendHex(out, g.Data1, 8);
  out += '-';
  appendHex(out, g.Data2, 4);
  out += '-';
  appendHex(out, g.Data3, 4);
  out += '-';
  appendHex(out, (std::uint64_t{g.Data4[0]} << 8) | g.Data4[1], 4);
  out += '-';
  for (int i = 2; i < 8; ++i) appendHex(out, g.Data4[i], 2);
  out += '"';
}

// One object of the JSON text: {"guid":..,"class":..,"values":{..}}.
class ObjectText {
 public:
  ObjectText(std::string& out, bool& firstObject, std::uint64_t& count, const GUID& guid,
             const GUID& classGuid)
      : _out(out) {
    _out += firstObject ? "\n{\"guid\":" : ",\n{\"guid\":";
    firstObject = false;
    ++count;
    appendGuid(_out, guid);
    _out += ",\"class\":";
    appendGuid(_out, classGuid);
    _out += ",\"values\":{";
  }
  ObjectText(const ObjectText&) = delete;
  ObjectText& operator=(const ObjectText&) = delete;
  ~ObjectText() { _out += "}}"; }

  ObjectText& ref(std::uint32_t attribute, const GUID& target) {
    key(attribute);
    appendGuid(_out, target);
    return *this;
  }
  ObjectText& list(std::uint32_t attribute, const GUID* targets, std::size_t count) {
    key(attribute);
    _out += '[';
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) _out += ',';
      appendGuid(_out, targets[i]);
    }
    _out += ']';
    return *this;
  }
  ObjectText& integer(std::uint32_t attribute, std::uint64_t value) {
    key(attribute);
    _out += std::to_string(value);
    return *this;
  }
  // Generated texts are letters, digits and '/': nothing to escape.
  ObjectText& text(std::uint32_t attribute, std::string_view value) {
    key(attribute);
    _out += '"';
    _out += value;
    _out += '"';
    return *this;
  }

 private:
  void key(std::uint32_t attribute) {
    _out += _firstValue ? "\"0x" : ",\"0x";
    _firstValue = false;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) _out += kDigits[(attribute >> shift) & 0xF];
    _out += "\":";
  }

  std::string& _out;
  bool _firstValue = true;
};

GUID guidFrom(std::uint64_t high, std::uint64_t low) noexcept {
  GUID g{};
  g.Data1 = static_cast<std::uint32_t>(high >> 32);
  g.Data2 = static_cast<std::uint16_t>(high >> 16);
  // Version 4, variant 1: random GUIDs as a real store's are made.
  g.Data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

// "PXI<chassis>Slot<slot>", as devices are named; unique per number.
std::string deviceIdentifier(std::uint32_t number) {
  return "PXI" + std::to_string(number / 16 + 1) + "Slot" + std::to_string(number % 16 + 2);
}

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string upperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// A slot count one off `slots`, never negative.
std::uint32_t wrongCount(std::uint32_t slots, Random& random) {
  return (slots == 0 || random.below(2) == 0) ? slots + 1 : slots - 1;
}

}  // namespace

Random::Random(std::uint64_t seed) noexcept {
  for (std::uint64_t& word : _state) word = splitMix(seed);
}

std::uint64_t Random::next() noexcept {
  const std::uint64_t result = rotateLeft(_state[1] * 5, 7) * 9;
  const std::uint64_t t = _state[1] << 17;
  _state[2] ^= _state[0];
  _state[3] ^= _state[1];
  _state[1] ^= _state[2];
  _state[0] ^= _state[3];
  _state[2] ^= t;
  _state[3] = rotateLeft(_state[3], 45);
  return result;
}

std::uint32_t Random::below(std::uint32_t bound) noexcept {
  return static_cast<std::uint32_t>((next() >> 32) * bound >> 32);
}

std::uint64_t chanceThreshold(double probability) noexcept {
  if (!(probability > 0.0)) return 0;
  if (probability >= 1.0) return std::uint64_t{1} << 53;
  return static_cast<std::uint64_t>(probability * 9007199254740992.0);  // 2^53
}

StoreGenerator::StoreGenerator(const StoreRecipe& recipe)
    : _recipe(recipe),
      _shape(recipe.seed),
      // A second stream for the damage, so that it does not shift the shape.
      _damage(recipe.seed ^ 0xD1B54A32D192ED03ULL),
      _damageThreshold(chanceThreshold(recipe.damageRate)) {}

bool StoreGenerator::appendNext(std::string& out) {
  switch (_stage) {
    case Stage::kOpening:
      out += "{\"format\":\"vddb-store/1\",\"classes\":[],\"objects\":[";
      _stage = _recipe.objects > 0 ? Stage::kItems : Stage::kClosing;
      return true;
    case Stage::kItems:
      appendItem(out);
      if (_summary.objects >= _recipe.objects) _stage = Stage::kClosing;
      return true;
    case Stage::kClosing:
      out += "\n]}\n";
      _stage = Stage::kDone;
      return true;
    case Stage::kDone:
      break;
  }
  return false;
}

void StoreGenerator::appendItem(std::string& out) {
  ++_summary.items;
  // Saved markers and referrer lists need a device to point at.
  if (_devices.empty()) return device(out);
  std::uint32_t pick = _shape.below(totalWeight());
  Item item = Item::kDevice;
  for (const ItemWeight& w : kItemWeights) {
    if (pick < w.weight) {
      item = w.item;
      break;
    }
    pick -= w.weight;
  }
  switch (item) {
    case Item::kTrelix:
      return trelixChassis(out);
    case Item::kMordan:
      return mordanConnectorBlock(out);
    case Item::kQuenta:
      return quentaChassis(out);
    case Item::kDevice:
      return device(out);
    case Item::kHolder:
      return holder(out);
    case Item::kSingleHolder:
      return singleHolder(out);
    case Item::kTwoWayLink:
      return twoWayLink(out);
    case Item::kLinkRecords:
      return linkRecords(out);
    case Item::kNames:
      return nameReferences(out);
  }
}

int StoreGenerator::damageVariant(int variants) {
  if (!_damage.chance(_damageThreshold)) return -1;
  return static_cast<int>(_damage.below(static_cast<std::uint32_t>(variants)));
}

GUID StoreGenerator::randomGuid(Random& random) {
  const std::uint64_t high = random.next();
  return guidFrom(high, random.next());
}

const GUID& StoreGenerator::anyDevice() {
  return _devices[_shape.below(static_cast<std::uint32_t>(_devices.size()))];
}

// Pass 1 (slot counts) or pass 2 (detached chassis, unreferenced companion).
void StoreGenerator::trelixChassis(std::string& out) {
  const std::uint32_t slots = 1 + _shape.below(4);
  const GUID chassis = newGuid();
  const GUID companion = newGuid();
  GUID entries[3][4];
  bool kept[3][4];
  for (int l = 0; l < 3; ++l) {
    for (std::uint32_t i = 0; i < slots; ++i) {
      entries[l][i] = newGuid();
      kept[l][i] = _shape.below(4) == 0;
    }
  }
  GUID marker = anyDevice();
  std::uint32_t count = slots;
  std::size_t listed[3] = {slots, slots, slots};
  bool hasCount = true;
  bool hasMarker = true;
  bool companionReferred = true;

  const int variant = damageVariant(7);
  switch (variant) {
    case 0:
      count = wrongCount(slots, _damage);
      break;
    case 1:
      --listed[_damage.below(3)];  // that entry is not written either
      break;
    case 2:
      hasCount = false;
      break;
    case 3:
      hasMarker = false;
      break;
    case 4:
      marker = lostGuid();
      break;
    case 5:
      companionReferred = false;
      break;
    case 6: {
      const GUID stray = lostGuid();
      const GUID gone = lostGuid();
      ObjectText(out, _firstObject, _summary.objects, stray, model::kTrelixCompanionClass)
          .list(model::kReferrerList, &gone, 1);
      break;
    }
    default:
      break;
  }
  if (variant >= 0) countDamage(variant <= 2 ? 1 : 2);

  {
    ObjectText item(out, _firstObject, _summary.objects, chassis, model::kTrelixChassisClass);
    if (hasMarker) item.ref(model::kTrelixSavedMarker, marker);
    item.ref(model::kTrelixCompanion, companion);
    for (int l = 0; l < 3; ++l) item.list(kTrelixSlotLists[l], entries[l], listed[l]);
    if (hasCount) item.integer(model::kSlotCount, count);
  }
  {
    ObjectText text(out, _firstObject, _summary.objects, companion, model::kTrelixCompanionClass);
    if (companionReferred) text.list(model::kReferrerList, &chassis, 1);
  }
  for (int l = 0; l < 3; ++l) {
    for (std::size_t i = 0; i < listed[l]; ++i) {
      ObjectText(out, _firstObject, _summary.objects, entries[l][i],
                 kept[l][i] ? model::kKeptSlotEntryClass : model::kSlotEntryClass);
    }
  }
}

// Pass 3 (slot count) or pass 4 (detached block, unreferenced companion).
void StoreGenerator::mordanConnectorBlock(std::string& out) {
  const std::uint32_t slots = _shape.below(5);
  const GUID block = newGuid();
  const GUID companion = newGuid();
  GUID entries[4];
  bool kept[4];
  for (std::uint32_t i = 0; i < slots; ++i) {
    entries[i] = newGuid();
    kept[i] = _shape.below(4) == 0;
  }
  GUID marker = anyDevice();
  std::uint32_t count = slots;
  bool hasCount = true;
  bool hasMarker = true;
  bool companionReferred = true;

  const int variant = damageVariant(5);
  switch (variant) {
    case 0:
      count = wrongCount(slots, _damage);
      break;
    case 1:
      hasCount = false;
      break;
    case 2:
      hasMarker = false;
      break;
    case 3:
      marker = lostGuid();
      break;
    case 4:
      companionReferred = false;
      break;
    default:
      break;
  }
  if (variant >= 0) countDamage(variant <= 1 ? 3 : 4);

  {
    ObjectText item(out, _firstObject, _summary.objects, block, model::kMordanConnectorBlockClass);
    if (hasMarker) item.ref(model::kMordanSavedMarker, marker);
    item.ref(model::kMordanCompanion, companion);
    if (slots > 0) item.list(model::kMordanSlotList, entries, slots);
    if (hasCount) item.integer(model::kSlotCount, count);
  }
  {
    ObjectText text(out, _firstObject, _summary.objects, companion, model::kMordanCompanionClass);
    if (companionReferred) text.list(model::kReferrerList, &block, 1);
  }
  for (std::uint32_t i = 0; i < slots; ++i) {
    ObjectText(out, _firstObject, _summary.objects, entries[i],
               kept[i] ? model::kKeptSlotEntryClass : model::kSlotEntryClass);
  }
}

// Pass 5: a slot count that is wrong, missing, or a list one short.
void StoreGenerator::quentaChassis(std::string& out) {
  const std::uint32_t slots = 1 + _shape.below(4);
  const GUID chassis = newGuid();
  GUID entries[4];
  for (std::uint32_t i = 0; i < slots; ++i) entries[i] = newGuid();
  std::uint32_t count = slots;
  std::size_t listed = slots;
  bool hasCount = true;

  const int variant = damageVariant(3);
  if (variant == 0) count = wrongCount(slots, _damage);
  if (variant == 1) hasCount = false;
  if (variant == 2) --listed;
  if (variant >= 0) countDamage(5);

  {
    ObjectText item(out, _firstObject, _summary.objects, chassis, model::kQuentaChassisClass);
    item.list(model::kQuentaSlotList, entries, listed);
    if (hasCount) item.integer(model::kSlotCount, count);
  }
  for (std::size_t i = 0; i < listed; ++i) {
    ObjectText(out, _firstObject, _summary.objects, entries[i], model::kSlotEntryClass);
  }
}

// Pass 8: a second accessory on a connector of the device that is taken,
// either on the device itself or on a twin whose identifier differs only in
// case (the pass compares identifiers without case).
void StoreGenerator::device(std::string& out) {
  const GUID deviceGuid = newGuid();
  const std::string identifier = deviceIdentifier(_deviceNumber++);
  const std::uint32_t accessories = 1 + _shape.below(4);
  // Distinct connectors out of 0..7: the first `accessories` of a shuffle.
  std::uint32_t connectors[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (std::uint32_t i = 0; i < accessories; ++i) {
    const std::uint32_t j = i + _shape.below(8 - i);
    std::swap(connectors[i], connectors[j]);
  }
  GUID accessory[4];
  GUID configuration[4];
  for (std::uint32_t i = 0; i < accessories; ++i) {
    accessory[i] = newGuid();
    configuration[i] = newGuid();
  }

  ObjectText(out, _firstObject, _summary.objects, deviceGuid, model::kDeviceClass)
      .text(model::kDeviceIdentifier, identifier);
  for (std::uint32_t i = 0; i < accessories; ++i) {
    ObjectText(out, _firstObject, _summary.objects, accessory[i], model::kAccessoryClass);
    ObjectText(out, _firstObject, _summary.objects, configuration[i],
               model::kAccessoryConfigurationClass)
        .ref(model::kConfiguredAccessory, accessory[i])
        .ref(model::kConnectedDevice, deviceGuid)
        .integer(model::kConnectorNumber, connectors[i]);
  }
  _devices.push_back(deviceGuid);

  const int variant = damageVariant(2);
  if (variant < 0) return;
  countDamage(8);
  const std::uint32_t taken = connectors[_damage.below(accessories)];
  GUID connectedTo = deviceGuid;
  if (variant == 1) {
    connectedTo = lostGuid();  // a new object: the twin device
    ObjectText(out, _firstObject, _summary.objects, connectedTo, model::kDeviceClass)
        .text(model::kDeviceIdentifier, lowerCase(identifier));
  }
  const GUID extraAccessory = lostGuid();
  const GUID extraConfiguration = lostGuid();
  ObjectText(out, _firstObject, _summary.objects, extraAccessory, model::kAccessoryClass);
  ObjectText(out, _firstObject, _summary.objects, extraConfiguration,
             model::kAccessoryConfigurationClass)
      .ref(model::kConfiguredAccessory, extraAccessory)
      .ref(model::kConnectedDevice, connectedTo)
      .integer(model::kConnectorNumber, taken);
}

// Pass 6: a holder that nothing refers to (no referrers, or one that is gone).
void StoreGenerator::holder(std::string& out) {
  const GUID holderGuid = newGuid();
  const std::uint32_t ownedCount = 1 + _shape.below(2);
  GUID owned[2];
  for (std::uint32_t i = 0; i < ownedCount; ++i) owned[i] = newGuid();
  GUID referrer = anyDevice();
  const int variant = damageVariant(2);
  if (variant == 1) referrer = lostGuid();
  if (variant >= 0) countDamage(6);
  {
    ObjectText item(out, _firstObject, _summary.objects, holderGuid, model::kReferencedHolderClass);
    if (variant != 0) item.list(model::kReferrerList, &referrer, 1);
    item.list(model::kOwnedObjectList, owned, ownedCount);
  }
  for (std::uint32_t i = 0; i < ownedCount; ++i) {
    ObjectText(out, _firstObject, _summary.objects, owned[i], model::kSlotEntryClass);
  }
}

// Pass 9: the same for a holder of one owned object.
void StoreGenerator::singleHolder(std::string& out) {
  const GUID holderGuid = newGuid();
  const GUID owned = newGuid();
  GUID referrer = anyDevice();
  const int variant = damageVariant(2);
  if (variant == 1) referrer = lostGuid();
  if (variant >= 0) countDamage(9);
  {
    ObjectText item(out, _firstObject, _summary.objects, holderGuid,
                    model::kReferencedSingleHolderClass);
    if (variant != 0) item.list(model::kReferrerList, &referrer, 1);
    item.ref(model::kSingleHolderOwnedObject, owned);
  }
  ObjectText(out, _firstObject, _summary.objects, owned, model::kSlotEntryClass);
}

// Pass 7: a link that lacks one of its ends (never set, or the object is gone).
void StoreGenerator::twoWayLink(std::string& out) {
  const GUID link = newGuid();
  GUID ends[2] = {newGuid(), newGuid()};
  bool written[2] = {true, true};
  bool set[2] = {true, true};
  const int variant = damageVariant(4);
  if (variant >= 0) {
    countDamage(7);
    const int end = variant % 2;
    if (variant < 2) {
      set[end] = false;
    } else {
      ends[end] = lostGuid();
    }
    written[end] = false;
  }
  {
    ObjectText item(out, _firstObject, _summary.objects, link, model::kTwoWayLinkClass);
    if (set[0]) item.ref(model::kTwoWayLinkFirstEnd, ends[0]);
    if (set[1]) item.ref(model::kTwoWayLinkSecondEnd, ends[1]);
  }
  for (int i = 0; i < 2; ++i) {
    if (!written[i]) continue;
    ObjectText(out, _firstObject, _summary.objects, ends[i], model::kAccessoryClass);
  }
}

// Pass 11 (incomplete records, unnamed targets) or pass 12 (duplicates).
void StoreGenerator::linkRecords(std::string& out) {
  const GUID first = newGuid();
  const std::uint32_t records = 1 + _shape.below(4);
  GUID record[4];
  GUID target[4];
  for (std::uint32_t i = 0; i < records; ++i) {
    record[i] = newGuid();
    target[i] = newGuid();
  }
  ObjectText(out, _firstObject, _summary.objects, first, model::kAccessoryClass);
  for (std::uint32_t i = 0; i < records; ++i) {
    ObjectText(out, _firstObject, _summary.objects, record[i], model::kLinkRecordClass)
        .ref(model::kLinkRecordFirstObject, first)
        .ref(model::kLinkRecordSecondObject, target[i])
        .integer(model::kLinkRecordNumber, i + 1);
    ObjectText(out, _firstObject, _summary.objects, target[i], model::kLinkTargetClass);
  }

  const int variant = damageVariant(5);
  if (variant < 0) return;
  countDamage(variant <= 3 ? 11 : 12);
  const std::uint32_t nextNumber = records + 1;
  switch (variant) {
    case 0:  // a record without its second object
      ObjectText(out, _firstObject, _summary.objects, lostGuid(), model::kLinkRecordClass)
          .ref(model::kLinkRecordFirstObject, first)
          .integer(model::kLinkRecordNumber, nextNumber);
      break;
    case 1:    // a record without its first object, and the target only it names
    case 3: {  // a record whose first object is gone, and the same
      const GUID extraTarget = lostGuid();
      {
        ObjectText extra(out, _firstObject, _summary.objects, lostGuid(), model::kLinkRecordClass);
        if (variant == 3) extra.ref(model::kLinkRecordFirstObject, lostGuid());
        extra.ref(model::kLinkRecordSecondObject, extraTarget)
            .integer(model::kLinkRecordNumber, nextNumber);
      }
      ObjectText(out, _firstObject, _summary.objects, extraTarget, model::kLinkTargetClass);
      break;
    }
    case 2:  // a target no record names
      ObjectText(out, _firstObject, _summary.objects, lostGuid(), model::kLinkTargetClass);
      break;
    default: {
      // A second record with the number of the first: both go, so a third
      // record keeps their target named.
      const std::uint32_t copied = _damage.below(records);
      ObjectText(out, _firstObject, _summary.objects, lostGuid(), model::kLinkRecordClass)
          .ref(model::kLinkRecordFirstObject, first)
          .ref(model::kLinkRecordSecondObject, target[copied])
          .integer(model::kLinkRecordNumber, copied + 1);
      ObjectText(out, _firstObject, _summary.objects, lostGuid(), model::kLinkRecordClass)
          .ref(model::kLinkRecordFirstObject, first)
          .ref(model::kLinkRecordSecondObject, target[copied])
          .integer(model::kLinkRecordNumber, nextNumber);
      break;
    }
  }
}

// Pass 10: a name reference whose name no object carries (an unknown name,
// the name in other case, or no name at all).
void StoreGenerator::nameReferences(std::string& out) {
  const GUID named = newGuid();
  const std::string name = "ai" + std::to_string(_nameNumber++);
  const std::uint32_t references = 1 + _shape.below(2);
  const bool withInactive = _shape.below(4) == 0;
  GUID reference[3];
  for (std::uint32_t i = 0; i < references + 1; ++i) reference[i] = newGuid();

  ObjectText(out, _firstObject, _summary.objects, named, model::kNamedObjectClass)
      .text(model::kNamedObjectName, name);
  for (std::uint32_t i = 0; i < references; ++i) {
    ObjectText(out, _firstObject, _summary.objects, reference[i], model::kNameReferenceClass)
        .integer(model::kNameReferenceState, 0)
        .text(model::kReferredName, name);
  }
  // A reference whose condition is set is never swept, whatever it names.
  if (withInactive) {
    ObjectText(out, _firstObject, _summary.objects, reference[references],
               model::kNameReferenceClass)
        .integer(model::kNameReferenceState, 1)
        .text(model::kReferredName, "lost" + name);
  }

  const int variant = damageVariant(3);
  if (variant < 0) return;
  countDamage(10);
  ObjectText orphan(out, _firstObject, _summary.objects, lostGuid(), model::kNameReferenceClass);
  orphan.integer(model::kNameReferenceState, 0);
  if (variant == 0) orphan.text(model::kReferredName, "lost" + name);
  if (variant == 1) orphan.text(model::kReferredName, upperCase(name));
}

}  // namespace vddb::generate::detail
