// The built-in catalog as the repair passes and the configuration library
// see it through the interfaces: every class, its base, and every
// attribute's type and ownership (docs/store-model.md).
#include <gtest/gtest.h>

#include <set>

#include "engine/catalog.h"
#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

constexpr const char* kItem = "c6f302b8-5260-43c3-a81d-bf741e6d3a80";
constexpr const char* kTrelix = "642eaeb9-aa16-3a36-a6e3-f7abee2fd50d";
constexpr const char* kMordan = "291a27e9-f917-3e4c-7a86-e006a9eb67c9";
constexpr const char* kQuenta = "63ba0e8f-78d0-42e4-8685-7c36e49d6e71";
constexpr const char* kSlotEntry = "fd0cec60-8263-383f-d0af-c3369715499c";

struct Row {
  const char* cls;
  const char* base;  // null at the root
  std::uint32_t attr;
  std::uint32_t type;
  std::uint32_t flag;  // 0 owning, 1 not
};

const Row kRows[] = {
    {kItem, nullptr, 0xEEC001A4, 12, 0},
    {kItem, nullptr, 0xEEC0000C, 12, 0},
    {kTrelix, kItem, 0x20C00021, 5, 1},
    {kTrelix, kItem, 0x20C00023, 5, 0},
    {kTrelix, kItem, 0xEEC00022, 12, 0},
    {kTrelix, kItem, 0xEEC00024, 12, 0},
    {kTrelix, kItem, 0xEEC00025, 12, 0},
    {kTrelix, kItem, 0x58C0F001, 3, 1},
    {kMordan, kItem, 0x20C0001F, 5, 1},
    {kMordan, kItem, 0x20C00020, 5, 0},
    {kMordan, kItem, 0xEEC00021, 12, 0},
    {kMordan, kItem, 0x58C0F001, 3, 1},
    {kQuenta, kItem, 0xEEC00047, 12, 0},
    {kQuenta, kItem, 0x58C0F001, 3, 1},
    {kSlotEntry, nullptr, 0xEEC0000C, 12, 0},
    {"f39b43ad-97ef-3afc-6a55-a74ae9a6b459", kSlotEntry, 0, 0, 0},
    {"ef389d48-09e3-3fe8-d3d6-b558427a533c", nullptr, 0xEEC001A4, 12, 1},
    {"ef389d48-09e3-3fe8-d3d6-b558427a533c", nullptr, 0xEEC0000C, 12, 0},
    {"50b1b30a-5a5f-3fc8-1c7a-f6cad548e37f", nullptr, 0xEEC001A4, 12, 1},
    {"50b1b30a-5a5f-3fc8-1c7a-f6cad548e37f", nullptr, 0xEEC0000C, 12, 0},
    {"08e33cd6-13dc-3a39-16cb-e1215a713fb9", nullptr, 0xEEC001A4, 12, 1},
    {"08e33cd6-13dc-3a39-16cb-e1215a713fb9", nullptr, 0xEEC0000C, 12, 0},
    {"dc48bd6a-84b5-3e1e-7094-e6be17b7b290", nullptr, 0xEEC001A4, 12, 1},
    {"dc48bd6a-84b5-3e1e-7094-e6be17b7b290", nullptr, 0x20C00036, 5, 0},
    {"4aee07f0-608e-3fd2-7a26-b8207214f283", nullptr, 0x20C0001E, 5, 0},
    {"4aee07f0-608e-3fd2-7a26-b8207214f283", nullptr, 0x20C0001F, 5, 1},
    {"bd95268d-8af7-3ac4-9697-9fed9a8dc51f", nullptr, 0x20C003E8, 5, 1},
    {"bd95268d-8af7-3ac4-9697-9fed9a8dc51f", nullptr, 0x20C003E9, 5, 1},
    {"bd95268d-8af7-3ac4-9697-9fed9a8dc51f", nullptr, 0x58C003EA, 3, 1},
    {"c1b74069-2108-3d9c-6dbd-f106bc02ca2e", nullptr, 0, 0, 0},
    {"4861b1be-bfa3-3a27-bb54-c9faa2c28c12", nullptr, 0x58C00020, 3, 1},
    {"4861b1be-bfa3-3a27-bb54-c9faa2c28c12", nullptr, 0xB8C00021, 8, 1},
    {"fad58bd6-7c81-3fa5-892d-f57d8d08e76c", nullptr, 0xB8C0001E, 8, 1},
    {"850f6895-31ba-4eff-b2e8-1197ff1db2e4", nullptr, 0xB8C0F010, 8, 1},
    {"f6b7cf79-b4d4-452a-8adc-f5dd93386c45", nullptr, 0, 0, 0},
    {"c344f8cd-b1e2-4a40-95e0-4123b6cbcb56", nullptr, 0x20C0F011, 5, 1},
    {"c344f8cd-b1e2-4a40-95e0-4123b6cbcb56", nullptr, 0x20C0F012, 5, 1},
    {"c344f8cd-b1e2-4a40-95e0-4123b6cbcb56", nullptr, 0x58C0F013, 3, 1},
};

class BuiltinCatalogTest : public EngineTest {};

TEST_F(BuiltinCatalogTest, EveryClassAndAttributeAsDocumented) {
  // One object of every class of the table, read back through the
  // interfaces the owned-object walk uses.
  std::string json = R"({"objects": [)";
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    char guid[64];
    std::snprintf(guid, sizeof guid, "00000000-0000-0000-0000-%012zx", i);
    json += std::string(i ? "," : "") + R"({"guid": ")" + guid + R"(", "class": ")" + kRows[i].cls +
            R"("})";
  }
  auto s = load(json + "]}");
  ASSERT_TRUE(s);
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    const Row& row = kRows[i];
    SCOPED_TRACE(std::string(row.cls) + " " + formatAttributeId(row.attr));
    char guid[64];
    std::snprintf(guid, sizeof guid, "00000000-0000-0000-0000-%012zx", i);
    auto object = openObject(s->storage(), G(guid));
    ASSERT_TRUE(object);
    tScopedRef<IStorageClass> cls;
    ASSERT_EQ(object->getClass(cls.put()), S_OK);
    tScopedRef<IStorageClass> base;
    ASSERT_EQ(cls->getBaseClass(base.put()), S_OK);
    GUID baseGuid{};
    if (base) base->getClassGuid(&baseGuid);
    EXPECT_EQ(base ? formatGuid(baseGuid) : std::string("none"),
              row.base ? std::string(row.base) : std::string("none"));
    if (row.attr == 0) continue;
    tScopedRef<IStorageAttribute> attr;
    ASSERT_EQ(cls->getAttribute(row.attr, attr.put()), S_OK) << "declared at the class's own level";
    std::uint32_t value = 99;
    EXPECT_EQ(attr->getType(&value), S_OK);
    EXPECT_EQ(value, row.type);
    EXPECT_EQ(attr->getFlag(&value), S_OK);
    EXPECT_EQ(value, row.flag);
  }
}

TEST_F(BuiltinCatalogTest, HoldsExactlyTheDocumentedAttributes) {
  const Catalog catalog = builtinCatalog();
  std::size_t documented = 0;
  for (const Row& row : kRows) documented += row.attr != 0 ? 1 : 0;
  std::size_t declared = 0;
  for (const ClassDef* c : catalog.sorted()) declared += c->attributes.size();
  EXPECT_EQ(declared, documented);
  std::set<std::string> classes;
  for (const Row& row : kRows) classes.insert(row.cls);
  EXPECT_EQ(catalog.size(), classes.size());
  EXPECT_EQ(Catalog::selfAndDerived(catalog.find(G(kItem))).size(), 4u);
}

}  // namespace
}  // namespace vddb::engine::test
