// The generator's entry points: the JSON text to a stream, to a string, into
// an in-memory session or into a store file.
//
// A store file is built by streaming the text into the engine's JSON load:
// a million objects take about 180 MB of text, which is produced in small
// blocks as the loader asks for them and never held whole.
#include "generate/generate_store.h"

#include <istream>
#include <new>
#include <ostream>
#include <streambuf>
#include <string>

#include "generate/store_generator.h"

namespace vddb::generate {

namespace {

// Refills when the text appended so far is about this long.
constexpr std::size_t kBlock = 1 << 16;

// The generator's text as an input stream buffer, one block at a time.
class GeneratedText final : public std::streambuf {
 public:
  GeneratedText(detail::StoreGenerator& generator, GenerateProgress* progress)
      : _generator(generator), _progress(progress) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    _block.clear();
    while (_block.size() < kBlock && _generator.appendNext(_block)) {
    }
    if (_progress != nullptr) {
      _progress->objectsGenerated(_generator.summary().objects, _block.empty());
    }
    if (_block.empty()) return traits_type::eof();
    setg(_block.data(), _block.data(), _block.data() + _block.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  detail::StoreGenerator& _generator;
  GenerateProgress* _progress;
  std::string _block;
};

void keepSummary(const detail::StoreGenerator& generator, StoreSummary* summary) {
  if (summary != nullptr) *summary = generator.summary();
}

}  // namespace

HRESULT checkRecipe(const StoreRecipe& recipe) noexcept {
  if (!(recipe.damageRate >= 0.0 && recipe.damageRate <= 1.0)) return E_INVALIDARG;
  return S_OK;
}

HRESULT writeStoreJson(const StoreRecipe& recipe, std::ostream& out,
                       StoreSummary* summary) noexcept {
  if (const HRESULT checked = checkRecipe(recipe); checked < 0) return checked;
  try {
    detail::StoreGenerator generator(recipe);
    std::string block;
    bool more = true;
    while (more && out) {
      block.clear();
      while (block.size() < kBlock && (more = generator.appendNext(block))) {
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    out.flush();
    if (!out) return E_FAIL;
    keepSummary(generator, summary);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT generateStoreJson(const StoreRecipe& recipe, std::string& json,
                          StoreSummary* summary) noexcept {
  if (const HRESULT checked = checkRecipe(recipe); checked < 0) return checked;
  try {
    detail::StoreGenerator generator(recipe);
    std::string text;
    while (generator.appendNext(text)) {
    }
    json.swap(text);
    keepSummary(generator, summary);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT generateStore(const StoreRecipe& recipe, std::unique_ptr<engine::StoreSession>& session,
                      StoreSummary* summary) noexcept {
  std::string json;
  StoreSummary generated;
  HRESULT hr = generateStoreJson(recipe, json, &generated);
  if (hr < 0) return hr;
  try {
    hr = engine::StoreSession::openFromJson(json, session);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (hr >= 0 && summary != nullptr) *summary = generated;
  return hr;
}

HRESULT generateStoreFile(const StoreRecipe& recipe, const std::string& path, bool replace,
                          std::string* error, StoreSummary* summary,
                          GenerateProgress* progress) noexcept {
  if (const HRESULT checked = checkRecipe(recipe); checked < 0) {
    if (error != nullptr) *error = "the damage rate must be from 0 to 1";
    return checked;
  }
  try {
    detail::StoreGenerator generator(recipe);
    GeneratedText text(generator, progress);
    std::istream in(&text);
    const HRESULT hr = engine::createStoreFromJson(in, path, replace, error);
    if (hr >= 0) keepSummary(generator, summary);
    return hr;
  } catch (const std::bad_alloc&) {
    if (error != nullptr) *error = "out of memory";
    return E_OUTOFMEMORY;
  }
}

}  // namespace vddb::generate
