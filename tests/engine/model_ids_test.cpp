// store/model_ids.h, the built-in catalog and docs/store-model.md name the
// same classes and attributes: every row of the page's class table gives a
// GUID or ID with its name in the header, and the catalog declares that
// attribute at that class with the documented type and ownership.
#include "store/model_ids.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/catalog.h"

namespace vddb::engine::test {
namespace {

// Every name the header declares, by the compiler's reading of it.
// clang-format off
#define NAMED(name) {#name, model::name}
const std::map<std::string, GUID> kClasses = {
    NAMED(kHardwareItemClass), NAMED(kTrelixChassisClass), NAMED(kMordanConnectorBlockClass),
    NAMED(kQuentaChassisClass), NAMED(kSlotEntryClass), NAMED(kKeptSlotEntryClass),
    NAMED(kTrelixCompanionClass), NAMED(kMordanCompanionClass), NAMED(kReferencedHolderClass),
    NAMED(kReferencedSingleHolderClass), NAMED(kTwoWayLinkClass), NAMED(kLinkRecordClass),
    NAMED(kLinkTargetClass), NAMED(kNameReferenceClass), NAMED(kNamedObjectClass),
    NAMED(kDeviceClass), NAMED(kAccessoryClass), NAMED(kAccessoryConfigurationClass)};
const std::map<std::string, std::uint32_t> kAttributes = {
    NAMED(kReferrerList), NAMED(kOwnedObjectList), NAMED(kSlotCount),
    NAMED(kTrelixSavedMarker), NAMED(kTrelixCompanion), NAMED(kTrelixSlotList1),
    NAMED(kTrelixSlotList2), NAMED(kTrelixSlotList3), NAMED(kMordanSavedMarker),
    NAMED(kMordanCompanion), NAMED(kMordanSlotList), NAMED(kQuentaSlotList),
    NAMED(kSingleHolderOwnedObject), NAMED(kTwoWayLinkFirstEnd), NAMED(kTwoWayLinkSecondEnd),
    NAMED(kLinkRecordFirstObject), NAMED(kLinkRecordSecondObject), NAMED(kLinkRecordNumber),
    NAMED(kNameReferenceState), NAMED(kReferredName), NAMED(kNamedObjectName),
    NAMED(kDeviceIdentifier), NAMED(kConfiguredAccessory), NAMED(kConnectedDevice),
    NAMED(kConnectorNumber)};
// clang-format on
#undef NAMED

std::string readFile(const char* path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The trimmed cells of a Markdown table row (which ends with a bar).
std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string cell;
  std::getline(in, cell, '|');  // before the first bar
  while (std::getline(in, cell, '|')) {
    const auto first = cell.find_first_not_of(' ');
    out.push_back(first == std::string::npos
                      ? ""
                      : cell.substr(first, cell.find_last_not_of(' ') - first + 1));
  }
  return out;
}

TEST(ModelIdsTest, ListsEveryNameTheHeaderDeclares) {
  const std::string header = readFile(VDDB_MODEL_IDS_HEADER);
  ASSERT_FALSE(header.empty()) << VDDB_MODEL_IDS_HEADER;
  const std::regex declaration(R"(inline constexpr \S+ (k\w+) =)");
  std::set<std::string> declared;
  for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it) {
    declared.insert((*it)[1]);
  }
  std::set<std::string> listed;
  for (const auto& [name, guid] : kClasses) listed.insert(name);
  for (const auto& [name, id] : kAttributes) listed.insert(name);
  EXPECT_EQ(declared, listed);
}

// Each row of the page's class table: | GUID | name `kName` | base |
// 0xID `kName` | type | owning | meaning |; a row without GUID continues the
// class above it.
TEST(ModelIdsTest, PageCatalogAndHeaderAgree) {
  std::ifstream doc(VDDB_STORE_MODEL_DOC);
  ASSERT_TRUE(doc) << VDDB_STORE_MODEL_DOC;
  const std::regex guidCell("[0-9a-f]{8}-[0-9a-f-]{27}");
  const std::regex nameCell(".* `(\\w+)`");
  const std::regex attributeCell("(0x[0-9A-F]{8}) `(\\w+)`");
  const Catalog catalog = builtinCatalog();
  std::set<std::string> documented;
  std::size_t classRows = 0;
  std::size_t attributeRows = 0;
  const ClassDef* cls = nullptr;
  std::string line;
  while (std::getline(doc, line)) {
    const std::vector<std::string> row = cells(line);
    if (row.size() != 7 || !(row[0].empty() || std::regex_match(row[0], guidCell))) continue;
    SCOPED_TRACE(line);
    std::smatch m;
    if (!row[0].empty()) {
      ++classRows;
      ASSERT_TRUE(std::regex_match(row[1], m, nameCell));
      ASSERT_EQ(kClasses.count(m[1].str()), 1u) << "a class the header names";
      const GUID guid = kClasses.at(m[1].str());
      EXPECT_EQ(formatGuid(guid), row[0]);
      documented.insert(m[1].str());
      cls = catalog.find(guid);
      ASSERT_NE(cls, nullptr) << "in the built-in catalog";
    }
    if (row[3] == "–") continue;
    ++attributeRows;
    ASSERT_NE(cls, nullptr);
    ASSERT_TRUE(std::regex_match(row[3], m, attributeCell));
    ASSERT_EQ(kAttributes.count(m[2].str()), 1u) << "an attribute the header names";
    const std::uint32_t id = kAttributes.at(m[2].str());
    EXPECT_EQ(formatAttributeId(id), m[1].str());
    documented.insert(m[2].str());
    const AttributeDef* attribute = cls->ownAttribute(id);
    ASSERT_NE(attribute, nullptr) << "declared at the class's own level";
    EXPECT_STREQ(attributeTypeName(attribute->type), row[4].c_str());
    EXPECT_EQ(attribute->owning, row[5].rfind("yes", 0) == 0);
  }
  for (const auto& [name, guid] : kClasses) EXPECT_EQ(documented.count(name), 1u) << name;
  for (const auto& [name, id] : kAttributes) EXPECT_EQ(documented.count(name), 1u) << name;
  // And nothing in the catalog that the page leaves out.
  std::size_t declared = 0;
  for (const ClassDef* c : catalog.sorted()) declared += c->attributes.size();
  EXPECT_EQ(declared, attributeRows);
  EXPECT_EQ(catalog.size(), classRows);
}

}  // namespace
}  // namespace vddb::engine::test
