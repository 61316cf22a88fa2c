// The built-in catalog: every class and attribute that the repair passes
// and the configuration library rely on. docs/store-model.md explains each
// entry; keep the two in step.
//
// Ownership is chosen so that the repair's deletions mean something: slot
// lists (0xEEC00021/22/24/25/47), owned-object lists (0xEEC0000C) and the
// references a pass clears before deleting (0x20C00020, 0x20C00023,
// 0x20C00036, 0x20C0001E) own their targets; the "saved" markers, referrer
// lists (0xEEC001A4) and link-record references do not. The one exception
// is 0xEEC001A4 at the hardware-item base class c6f302b8-..., declared
// owning: the owned-object walk never follows that one attribute there.
#include "engine/catalog.h"
#include "store/interfaces.h"

namespace vddb::engine {
namespace {

struct AttributeRow {
  std::uint32_t id;
  std::uint32_t type;
  bool owning;
};

constexpr std::uint32_t kRef = kAttributeTypeReference;
constexpr std::uint32_t kList = kAttributeTypeReferenceList;
constexpr std::uint32_t kInt = kAttributeTypeInteger;
constexpr std::uint32_t kString = kAttributeTypeString;
constexpr bool kOwning = true;
constexpr bool kNotOwning = false;

void add(Catalog& catalog, const char* guid, const char* base, const char* name,
         std::initializer_list<AttributeRow> rows) {
  ClassDef def;
  def.guid = *parseGuid(guid);
  if (base != nullptr) def.base = *parseGuid(base);
  def.name = name;
  for (const AttributeRow& row : rows) def.attributes.push_back({row.id, row.type, row.owning});
  catalog.put(std::move(def));
}

}  // namespace

Catalog builtinCatalog() {
  Catalog c;
  constexpr const char* kHardwareItem = "c6f302b8-5260-43c3-a81d-bf741e6d3a80";
  constexpr const char* kSlotEntry = "fd0cec60-8263-383f-d0af-c3369715499c";

  // Hardware items and their slot lists.
  add(c, kHardwareItem, nullptr, "hardware item",
      {{0xEEC001A4, kList, kOwning}, {0xEEC0000C, kList, kOwning}});
  add(c, "642eaeb9-aa16-3a36-a6e3-f7abee2fd50d", kHardwareItem, "Trelix chassis",
      {{0x20C00021, kRef, kNotOwning},
       {0x20C00023, kRef, kOwning},
       {0xEEC00022, kList, kOwning},
       {0xEEC00024, kList, kOwning},
       {0xEEC00025, kList, kOwning},
       {0x58C0F001, kInt, kNotOwning}});
  add(c, "291a27e9-f917-3e4c-7a86-e006a9eb67c9", kHardwareItem, "Mordan connector block",
      {{0x20C0001F, kRef, kNotOwning},
       {0x20C00020, kRef, kOwning},
       {0xEEC00021, kList, kOwning},
       {0x58C0F001, kInt, kNotOwning}});
  add(c, "63ba0e8f-78d0-42e4-8685-7c36e49d6e71", kHardwareItem, "Quenta chassis",
      {{0xEEC00047, kList, kOwning}, {0x58C0F001, kInt, kNotOwning}});
  add(c, kSlotEntry, nullptr, "slot entry", {{0xEEC0000C, kList, kOwning}});
  add(c, "f39b43ad-97ef-3afc-6a55-a74ae9a6b459", kSlotEntry, "kept slot entry", {});

  // Companions and other objects that must be referred to.
  add(c, "ef389d48-09e3-3fe8-d3d6-b558427a533c", nullptr, "Trelix chassis companion",
      {{0xEEC001A4, kList, kNotOwning}, {0xEEC0000C, kList, kOwning}});
  add(c, "50b1b30a-5a5f-3fc8-1c7a-f6cad548e37f", nullptr, "Mordan connector block companion",
      {{0xEEC001A4, kList, kNotOwning}, {0xEEC0000C, kList, kOwning}});
  add(c, "08e33cd6-13dc-3a39-16cb-e1215a713fb9", nullptr, "referenced holder",
      {{0xEEC001A4, kList, kNotOwning}, {0xEEC0000C, kList, kOwning}});
  add(c, "dc48bd6a-84b5-3e1e-7094-e6be17b7b290", nullptr, "referenced single holder",
      {{0xEEC001A4, kList, kNotOwning}, {0x20C00036, kRef, kOwning}});
  add(c, "4aee07f0-608e-3fd2-7a26-b8207214f283", nullptr, "two-way link",
      {{0x20C0001E, kRef, kOwning}, {0x20C0001F, kRef, kNotOwning}});

  // Link records and the objects they must name.
  add(c, "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", nullptr, "link record",
      {{0x20C003E8, kRef, kNotOwning},
       {0x20C003E9, kRef, kNotOwning},
       {0x58C003EA, kInt, kNotOwning}});
  add(c, "c1b74069-2108-3d9c-6dbd-f106bc02ca2e", nullptr, "link target", {});

  // Objects that name another object by text.
  add(c, "4861b1be-bfa3-3a27-bb54-c9faa2c28c12", nullptr, "name reference",
      {{0x58C00020, kInt, kNotOwning}, {0xB8C00021, kString, kNotOwning}});
  add(c, "fad58bd6-7c81-3fa5-892d-f57d8d08e76c", nullptr, "named object",
      {{0xB8C0001E, kString, kNotOwning}});

  // The configuration library's device model.
  add(c, "850f6895-31ba-4eff-b2e8-1197ff1db2e4", nullptr, "device",
      {{0xB8C0F010, kString, kNotOwning}});
  add(c, "f6b7cf79-b4d4-452a-8adc-f5dd93386c45", nullptr, "accessory", {});
  add(c, "c344f8cd-b1e2-4a40-95e0-4123b6cbcb56", nullptr, "accessory configuration",
      {{0x20C0F011, kRef, kNotOwning},
       {0x20C0F012, kRef, kNotOwning},
       {0x58C0F013, kInt, kNotOwning}});

  std::string error;
  (void)c.link(error);  // the table is consistent; tests prove it
  return c;
}

}  // namespace vddb::engine
