// The vddb-store/1 JSON format: canonical dumps, the round trip, and every
// refusal of the loader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "engine/catalog.h"
#include "engine/engine.h"
#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

using ::testing::HasSubstr;

class JsonTest : public EngineTest {
 protected:
  std::string dump(StoreSession& s) {
    std::string text;
    std::string error;
    EXPECT_EQ(s.dumpJson(text, &error), S_OK) << error;
    return text;
  }
};

const std::string kMessyInput = R"({
  "objects": [
    { "guid": "{0000000A-0000-0000-0000-000000000000}", "class": "fad58bd6-7c81-3fa5-892d-f57d8d08e76c",
      "values": { "0xb8c0001e": "Gr\u00fc\u00dfe \"quoted\"\n\u00e9 \ud83d\ude00\t\u0001" } },
    { "guid": "00000009-0000-0000-0000-000000000000", "class": "BD95268D-8AF7-3AC4-9697-9FED9A8DC51F",
      "values": { "0x58C003EA": 4294967295, "0x20C003E9": null,
                  "0x20C003E8": "0000000A-0000-0000-0000-000000000000" } },
    { "guid": "00000008-0000-0000-0000-000000000000", "class": "c0000000-0000-0000-0000-000000000001",
      "values": { "0x10000002": [], "0x10000001": ["00000009-0000-0000-0000-000000000000",
                  "{0000000A-0000-0000-0000-000000000000}", "dddddddd-0000-0000-0000-000000000000"] } },
    { "guid": "00000007-0000-0000-0000-000000000000", "class": "c0000000-0000-0000-0000-000000000001" }
  ],
  "classes": [
    { "guid": "c0000000-0000-0000-0000-000000000001", "name": "holder", "base": null,
      "attributes": [ { "id": "0x10000002", "type": "reflist" },
                      { "id": "0x10000001", "type": "reflist", "owning": true } ] },
    { "guid": "fad58bd6-7c81-3fa5-892d-f57d8d08e76c", "name": "named object",
      "attributes": [ { "id": "0xB8C0001E", "type": "string", "owning": false } ] }
  ],
  "format": "vddb-store/1"
})";

// Sorted, lower case, signed, absent values left out, the redefinition of
// a built-in class that says the same as the built-in one dropped.
const std::string kCanonical = R"({
  "format": "vddb-store/1",
  "classes": [
    {
      "guid": "c0000000-0000-0000-0000-000000000001",
      "name": "holder",
      "attributes": [
        { "id": "0x10000001", "type": "reflist", "owning": true },
        { "id": "0x10000002", "type": "reflist", "owning": false }
      ]
    }
  ],
  "objects": [
    {
      "guid": "00000007-0000-0000-0000-000000000000",
      "class": "c0000000-0000-0000-0000-000000000001",
      "values": {}
    },
    {
      "guid": "00000008-0000-0000-0000-000000000000",
      "class": "c0000000-0000-0000-0000-000000000001",
      "values": {
        "0x10000001": [
          "00000009-0000-0000-0000-000000000000",
          "0000000a-0000-0000-0000-000000000000",
          "dddddddd-0000-0000-0000-000000000000"
        ]
      }
    },
    {
      "guid": "00000009-0000-0000-0000-000000000000",
      "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
      "values": {
        "0x20C003E8": "0000000a-0000-0000-0000-000000000000",
        "0x58C003EA": -1
      }
    },
    {
      "guid": "0000000a-0000-0000-0000-000000000000",
      "class": "fad58bd6-7c81-3fa5-892d-f57d8d08e76c",
      "values": {
        "0xB8C0001E": "Grüße \"quoted\"\né 😀\t\u0001"
      }
    }
  ]
}
)";

TEST_F(JsonTest, DumpIsTheCanonicalFormOfTheInput) {
  auto s = load(kMessyInput);
  ASSERT_TRUE(s);
  EXPECT_EQ(dump(*s), kCanonical);
}

TEST_F(JsonTest, LoadingADumpGivesTheSameDump) {
  auto s = load(kCanonical);
  ASSERT_TRUE(s);
  EXPECT_EQ(dump(*s), kCanonical);
}

TEST_F(JsonTest, StringsArriveAsUtf16CodeUnits) {
  auto s = load(kMessyInput);
  auto named = openObject(s->storage(), G("0000000a-0000-0000-0000-000000000000"));
  char16_t* text = nullptr;
  ASSERT_EQ(named->getString(0xB8C0001E, &text), S_OK);
  const std::u16string got(text);
  CoTaskMemFree(text);
  EXPECT_EQ(got, u"Gr\u00fc\u00dfe \"quoted\"\n\u00e9 \U0001F600\t\u0001");
  EXPECT_EQ(got.size(), 21u) << "the emoji is a surrogate pair";
}

TEST_F(JsonTest, EmptyDocumentGivesEmptyStore) {
  auto s = load("{}");
  ASSERT_TRUE(s);
  EXPECT_EQ(dump(*s),
            "{\n  \"format\": \"vddb-store/1\",\n  \"classes\": [],\n  \"objects\": []\n}\n");
}

TEST_F(JsonTest, ObjectsBeforeClassesAreHeldUntilTheClassesArrive) {
  auto s = load(R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000",
      "class": "c0000000-0000-0000-0000-000000000002", "values": {"0x10000001": 5}}],
      "classes": [{"guid": "c0000000-0000-0000-0000-000000000002",
                   "attributes": [{"id": "0x10000001", "type": "int"}]}]})");
  ASSERT_TRUE(s);
  auto o = openObject(s->storage(), G("00000001-0000-0000-0000-000000000000"));
  std::int32_t v = 0;
  EXPECT_EQ(o->getInteger(0x10000001, &v), S_OK);
  EXPECT_EQ(v, 5);
}

TEST_F(JsonTest, AFileClassRedefinesABuiltInClass) {
  // The link record class without its integer: a value for it is refused,
  // a new attribute accepted, and the dump shows the redefinition.
  const std::string redefined = R"({"classes": [{"guid": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
      "attributes": [{"id": "0x10000009", "type": "int"}]}], "objects": [
      {"guid": "00000001-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
       "values": {"0x10000009": 1}}]})";
  auto s = load(redefined);
  ASSERT_TRUE(s);
  EXPECT_THAT(dump(*s), HasSubstr(R"({ "id": "0x10000009", "type": "int" })"));
  std::unique_ptr<StoreSession> refused;
  std::string error;
  EXPECT_EQ(
      StoreSession::openFromJson(R"({"classes": [{"guid": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f"}],
      "objects": [{"guid": "00000001-0000-0000-0000-000000000000",
      "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", "values": {"0x58C003EA": 1}}]})",
                                 refused, &error),
      kBadJson);
  EXPECT_THAT(error, HasSubstr("attribute 0x58C003EA: not declared"));
}

TEST_F(JsonTest, DumpWithAllClassesListsTheBuiltInCatalog) {
  auto s = load("{}");
  std::ostringstream out;
  ASSERT_EQ(s->dumpJson(out, true), S_OK);
  const std::string text = out.str();
  const Catalog builtin = builtinCatalog();
  for (const ClassDef* c : builtin.sorted()) {
    EXPECT_THAT(text, HasSubstr("\"guid\": \"" + formatGuid(c->guid) + "\""));
  }
  // And it loads back to the same store.
  auto again = load(text);
  ASSERT_TRUE(again);
  EXPECT_EQ(dump(*again), dump(*s));
}

struct IntegerCase {
  const char* literal;
  std::int32_t stored;
};

TEST_F(JsonTest, IntegersFromTheWholeRangeAreStoredAsTheir32Bits) {
  const IntegerCase cases[] = {
      {"-2147483648", INT32_MIN}, {"-1", -1},        {"0", 0}, {"2147483647", INT32_MAX},
      {"2147483648", INT32_MIN},  {"4294967295", -1}};
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(c.literal);
    auto s = load(std::string(R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000",
        "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", "values": {"0x58C003EA": )") +
                  c.literal + "}}]}");
    ASSERT_TRUE(s);
    auto o = openObject(s->storage(), G("00000001-0000-0000-0000-000000000000"));
    std::int32_t v = 0;
    EXPECT_EQ(o->getInteger(0x58C003EA, &v), S_OK);
    EXPECT_EQ(v, c.stored);
    EXPECT_THAT(dump(*s), HasSubstr("\"0x58C003EA\": " + std::to_string(c.stored) + "\n"));
  }
}

struct RefusalCase {
  const char* name;
  std::string json;
  const char* message;
};

// An object of the link-record class (ref 0x20C003E8, int 0x58C003EA) with
// the given values.
std::string linkRecord(const std::string& values,
                       const char* guid = "00000001-0000-0000-0000-000000000000") {
  return std::string(R"({"objects": [{"guid": ")") + guid +
         R"(", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", "values": {)" + values + "}}]}";
}
std::string withClasses(const std::string& classes) { return R"({"classes": [)" + classes + "]}"; }
std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Classes c0..., each based on the one before; the deepest one holds an
// object; `loopBack` makes the first class based on the last.
std::string classChainJson(unsigned length, bool loopBack) {
  auto name = [](unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "c0000000-0000-0000-0000-%012x", n);
    return std::string(text);
  };
  std::string json = R"({"classes": [)";
  for (unsigned n = 0; n < length; ++n) {
    json += n ? R"(,{"guid": ")" : R"({"guid": ")";
    json += name(n) + "\"";
    if (n > 0 || loopBack) json += R"(, "base": ")" + name(n > 0 ? n - 1 : length - 1) + "\"";
    json += "}";
  }
  return json + R"(], "objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": ")" +
         name(length - 1) + "\"}]}";
}

// A long base chain loads (in time linear in its length: bench/engine has
// the figures), a query of its root with derived classes reaches the object
// at its far end, and a loop closed at the far end is still found.
TEST_F(JsonTest, ALongBaseChainLoadsAndALoopInItIsFound) {
  constexpr unsigned kLength = 10000;
  {
    const std::unique_ptr<StoreSession> s = load(classChainJson(kLength, false));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(selectGuids(s->storage(), G("c0000000-0000-0000-0000-000000000000"), 1),
              std::vector<std::string>{"00000001-0000-0000-0000-000000000000"});
  }
  std::unique_ptr<StoreSession> s;
  std::string error;
  EXPECT_EQ(StoreSession::openFromJson(classChainJson(kLength, true), s, &error), kBadJson);
  EXPECT_THAT(error, HasSubstr("base chain loops"));
}

TEST_F(JsonTest, EveryMistakeIsRefusedWithAMessageNamingObjectAndAttribute) {
  const std::string kObj = "object 00000001-0000-0000-0000-000000000000";
  const RefusalCase cases[] = {
      {"malformed JSON", R"({"objects": [)", "1:14: syntax error while parsing value - unexpected end of input"},
      {"trailing garbage", "{} x", "1:4: syntax error"},
      {"not an object", "[]", "not a JSON object"},
      {"unknown top-level key", R"({"object": []})", "unknown key \"object\""},
      {"duplicate top-level key", R"({"objects": [], "objects": []})", "appears twice"},
      {"wrong format", R"({"format": "vddb-store/2"})", "\"format\""},
      {"objects not an array", R"({"objects": {}})", "\"objects\" must be an array"},
      {"object entry not an object", R"({"objects": [1]})", "object #0: not a JSON object"},
      {"bad object GUID",
       R"({"objects": [{"guid": "1234", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f"}]})",
       "object #0: bad GUID \"1234\""},
      {"missing class", R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000"}]})",
       "\"class\" is missing"},
      {"unknown class",
       R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": "99999999-0000-0000-0000-000000000000"}]})",
       "unknown class 99999999-0000-0000-0000-000000000000"},
      {"unknown object key",
       R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", "value": {}}]})",
       "unknown key \"value\""},
      {"duplicate object GUID",
       R"({"objects": [{"guid": "0000000a-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f"},
                        {"guid": "0000000A-0000-0000-0000-000000000000", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"}]})",
       "object 0000000a-0000-0000-0000-000000000000: the GUID appears twice"},
      {"undeclared attribute", linkRecord(R"("0x12345678": 1)"),
       "attribute 0x12345678: not declared by class bd95268d-8af7-3ac4-9697-9fed9a8dc51f"},
      {"bad attribute ID", linkRecord(R"("0x123": 1)"), "attribute \"0x123\": the ID must be"},
      {"same attribute twice", linkRecord(R"("0x58C003EA": 1, "0x58c003ea": 2)"),
       "attribute 0x58C003EA: appears twice"},
      {"integer for a reference", linkRecord(R"("0x20C003E8": 5)"),
       "attribute 0x20C003E8: expected a GUID or null"},
      {"list for a reference",
       linkRecord(R"("0x20C003E8": ["00000001-0000-0000-0000-000000000000"])"),
       "attribute 0x20C003E8: expected a GUID or null"},
      {"bad GUID in a reference", linkRecord(R"("0x20C003E8": "nope")"),
       "attribute 0x20C003E8: expected a GUID or null"},
      {"string for an integer", linkRecord(R"("0x58C003EA": "5")"),
       "attribute 0x58C003EA: expected an integer from -2147483648 to 4294967295"},
      {"integer above the range", linkRecord(R"("0x58C003EA": 4294967296)"),
       "attribute 0x58C003EA: expected an integer"},
      {"integer below the range", linkRecord(R"("0x58C003EA": -2147483649)"),
       "attribute 0x58C003EA: expected an integer"},
      {"fraction", linkRecord(R"("0x58C003EA": 1.5)"), "attribute 0x58C003EA: expected an integer"},
      {"boolean", linkRecord(R"("0x58C003EA": true)"), "attribute 0x58C003EA: expected an integer"},
      {"huge number", linkRecord(R"("0x58C003EA": 1e300)"),
       "attribute 0x58C003EA: expected an integer"},
      {"number for a string",
       R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": "fad58bd6-7c81-3fa5-892d-f57d8d08e76c", "values": {"0xB8C0001E": 1}}]})",
       "attribute 0xB8C0001E: expected a string"},
      {"non-GUID in a list",
       R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": "ef389d48-09e3-3fe8-d3d6-b558427a533c", "values": {"0xEEC0000C": ["00000001-0000-0000-0000-000000000000", 3]}}]})",
       "attribute 0xEEC0000C: expected a GUID, found 3"},
      {"object for a list",
       R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": "ef389d48-09e3-3fe8-d3d6-b558427a533c", "values": {"0xEEC0000C": {}}}]})",
       "attribute 0xEEC0000C: expected an array of GUIDs"},
      {"values not an object",
       R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", "values": []}]})",
       "\"values\" must be an object"},
      {"class with bad GUID", withClasses(R"({"guid": "x"})"), "class #0: bad GUID"},
      {"class base missing",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001", "base": "c0000000-0000-0000-0000-000000000009"})"),
       "base class c0000000-0000-0000-0000-000000000009 does not exist"},
      {"class cycle",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001", "base": "c0000000-0000-0000-0000-000000000002"},
                      {"guid": "c0000000-0000-0000-0000-000000000002", "base": "c0000000-0000-0000-0000-000000000001"})"),
       "base chain loops"},
      {"class defined twice",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001"}, {"guid": "C0000000-0000-0000-0000-000000000001"})"),
       "class c0000000-0000-0000-0000-000000000001: defined twice"},
      {"attribute type unknown",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001", "attributes": [{"id": "0x00000001", "type": "float"}]})"),
       "attribute 0x00000001: type \"float\" is not ref, reflist, int or string"},
      {"attribute without type",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001", "attributes": [{"id": "0x00000001"}]})"),
       "attribute 0x00000001: \"type\" is missing"},
      {"owning integer",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001", "attributes": [{"id": "0x00000001", "type": "int", "owning": true}]})"),
       "only references can be owning"},
      {"attribute declared twice",
       withClasses(
           R"({"guid": "c0000000-0000-0000-0000-000000000001", "attributes": [{"id": "0x00000001", "type": "int"}, {"id": "0x00000001", "type": "string"}]})"),
       "attribute 0x00000001: declared twice"},
      {"unknown class key",
       withClasses(R"({"guid": "c0000000-0000-0000-0000-000000000001", "bases": []})"),
       "unknown key \"bases\""},
      {"zero in a class name",
       withClasses(R"({"guid": "c0000000-0000-0000-0000-000000000001", "name": "a\u0000b"})"),
       "class c0000000-0000-0000-0000-000000000001: \"name\" holds U+0000"},
      // Input in a message is escaped and cut short, nothing is dumped whole;
      // objects are read in a second pass unless the classes come first.
      {"newline in an attribute ID", linkRecord(R"("0x5\nX": 1)"), R"(attribute "0x5\nX": the ID)"},
      {"huge key", linkRecord("\"" + std::string(5'000'000, 'k') + "\": 1"),
       "(5000000 bytes): the ID must be"},
      {"huge string", linkRecord(R"("0x58C003EA": ")" + std::string(5'000'000, 's') + "\""),
       "expected an integer from -2147483648 to 4294967295, found \"sss"},
      {"huge string cut by a newline",
       linkRecord(R"("0x58C003EA": ")" + std::string(5'000'000, 's') + "\n\""),
       R"(last read: "\"sss)"},
      {"deep value", linkRecord(R"("0x58C003EA": )" + nested(100'000)),
       "attribute 0x58C003EA: nested deeper than"},
      {"deep value after the classes",
       linkRecord(R"("0x58C003EA": )" + nested(100'000)).insert(1, R"("classes": [], )"),
       "attribute 0x58C003EA: nested deeper than"},
      {"deep entry", R"({"objects": [)" + nested(100'000) + "]}", "object #0: nested deeper than"},
      {"number beyond JSON", linkRecord(R"("0x58C003EA": -1e400)"),
       "attribute 0x58C003EA: the number \"-1e400\" is out of range"},
      {"integer beyond 64 bits", linkRecord(R"("0x58C003EA": 18446744073709551616)"),
       "attribute 0x58C003EA: the number \"18446744073709551616\" is out of range"},
      {"integer beyond 64 bits after the classes",
       linkRecord(R"("0x58C003EA": -9223372036854775809)").insert(1, R"("classes": [], )"),
       "attribute 0x58C003EA: the number \"-9223372036854775809\" is out of range"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<StoreSession> s;
    std::string error;
    EXPECT_EQ(StoreSession::openFromJson(c.json, s, &error), kBadJson);
    EXPECT_FALSE(s);
    EXPECT_THAT(error, HasSubstr(c.message));
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
    EXPECT_LT(error.size(), 300u);
    if (std::string(c.message).find("attribute 0x") != std::string::npos &&
        c.json.find("00000001-0000-0000-0000-000000000000") != std::string::npos &&
        c.json.find("\"objects\"") != std::string::npos) {
      EXPECT_THAT(error, HasSubstr(kObj)) << "names the object too";
    }
  }
}

class AttributeIds : public EngineTest {};

TEST_F(AttributeIds, ParseAndFormat) {
  EXPECT_EQ(parseAttributeId("0x20C00021"), 0x20C00021u);
  EXPECT_EQ(parseAttributeId("0X20c00021"), 0x20C00021u);
  EXPECT_EQ(parseAttributeId("20C00021"), std::nullopt);
  EXPECT_EQ(parseAttributeId("0x20C0002"), std::nullopt);
  EXPECT_EQ(parseAttributeId("0x20C0002G"), std::nullopt);
  EXPECT_EQ(formatAttributeId(0xEEC001A4), "0xEEC001A4");
  EXPECT_EQ(formatAttributeId(1), "0x00000001");
}

}  // namespace
}  // namespace vddb::engine::test
