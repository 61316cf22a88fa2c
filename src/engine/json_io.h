// Reading and writing the vddb-store/1 JSON format (docs/store-model.md).
// Internal to the engine.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/store.h"

namespace vddb::engine {

// Loads a JSON store into `store`, which createNew has just made: installs
// the built-in catalog plus the file's classes, then the objects. Streams:
// objects are written as they are read, so memory does not grow with the
// file when its classes come before its objects (as in every dump). On
// failure returns kBadJson (or a storage result) with `error` naming the
// object and attribute; the caller discards the store.
HRESULT loadJson(Store& store, std::string_view text, std::string* error);
HRESULT loadJson(Store& store, std::istream& in, std::string* error);

// Writes the canonical dump: classes and objects ascending GUID, values
// ascending attribute ID, integers signed, GUIDs lower case, one value per
// line. Only classes that differ from the built-in catalog unless
// `allClasses`. `progress`, when given, hears every few hundred objects.
HRESULT writeJson(Store& store, std::ostream& out, bool allClasses, std::string* error,
                  DumpProgress* progress = nullptr);

// Values as the dump writes them. A text stored as UTF-16LE (what is not
// UTF-16 becomes U+FFFD); a reference value, one
// GUID for a single reference of `cls` (null: judged by the size), else a
// list with `separator` before each GUID (its first character left out
// before the first) and `close` after them.
void appendTextJson(const void* utf16le, std::size_t size, std::string& out);
void appendReferencesJson(const ClassDef* cls, std::uint32_t attr, const unsigned char* bytes,
                          std::size_t size, const char* separator, const char* close,
                          std::string& out);

}  // namespace vddb::engine
