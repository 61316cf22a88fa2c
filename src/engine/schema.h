// The layout of a store file, schema version 3 (docs/store-engine.md): the
// tables and indexes, the format marker, and how values are encoded in
// them. Everything here is part of the file format; changing any of it
// needs a new schema version.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vddb::engine::schema {

// The marker and schema version in the meta table of every store.
extern const char* const kFormatMarker;
extern const char* const kVersion;
// The version before, which opens as it is and is upgraded in the
// transaction of its first change.
extern const char* const kPreviousVersion;
extern const char* const kUpgrade;

// The tables of a new store, created before a load.
extern const char* const kTables;
// The unindexed staging tables of a file load, and the statements that move
// their rows into the real tables sorted by key.
extern const char* const kStaging;
extern const char* const kMoveStaged;
// The indexes built after a load.
extern const char* const kIndexes;
// Every index a usable store has, in the current and the previous version.
extern const char* const kIndexNames[5];
extern const char* const kPreviousIndexNames[5];

// A text as it is stored: UTF-16LE bytes.
void encodeUtf16(const char16_t* text, std::size_t length, std::string& bytes);
// The key of a text in the value index.
std::int64_t textHash(const std::string& bytes);

}  // namespace vddb::engine::schema
