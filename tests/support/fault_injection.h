// A fault-injecting decorator for the store interfaces.
//
// FaultInjector::wrap puts a wrapper around an IkorrinStorage; every
// interface handed out through it (queries and their Ex form, enumerators,
// objects and their Ex form, classes, attributes, attribute enumerators) is
// wrapped in turn. A wrapper forwards each call to the object it wraps and
// records it in the injector's journal, unless a fault tells it to fail the
// call instead: then nothing is forwarded, out references are null, out
// counts 0, and the chosen result is returned.
//
// Operation names. A call counts under its plain name ("openObject",
// "Next"), under its qualified name ("IGuidEnumerator::Next"), and for
// QueryInterface also under "QueryInterface:<interface>" (for example
// "QueryInterface:IStorageObjectEx") with and without the qualifier. A fault
// names one of these; its N is counted 1-based over the calls that carry
// that name, from the moment the injector was created. A name that no call
// carries (a misspelling, an operation of another interface) fails the
// running test, naming it, and sets no fault.
//
// Identity and references. Each wrapper holds one reference on the object it
// wraps and dies at its last Release. The same inner interface pointer always
// gets the same live wrapper, so wrapped objects compare as the objects they
// wrap compare. Objects handed back into the store (setReference,
// setObjectList, runQuery) are unwrapped first, so the store only ever sees
// its own objects. AddRef and Release are the wrapper's own and are not
// journaled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace vddb::test {

// One recorded call.
struct JournalEntry {
  std::string interfaceName;  // "IStorageObject"
  std::string operation;      // "getInteger"
  std::string target;         // the object's or class's GUID, the attribute's ID, or empty
  std::string arguments;      // "0x58C0F001": GUIDs in registry form, IDs as 0x%08X, counts
  HRESULT result = 0;
  bool injected = false;  // the result is a fault's; the call was not forwarded

  // "IStorageObject::getInteger(0x58C0F001)"
  std::string text() const;
};

namespace detail {
struct InjectorState;
}

class FaultInjector {
 public:
  FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;
  // Wrappers still alive keep the journal and the faults alive with them.
  ~FaultInjector();

  // Wraps `storage` (null gives null). The holder owns one reference on the
  // wrapper; the wrapper holds one of its own on `storage`.
  tScopedRef<IkorrinStorage> wrap(IkorrinStorage* storage);

  // Faults. `operation` is one of the names described at the top.
  // The nth call (1-based) of `operation` fails with `result`.
  void failCall(std::string_view operation, std::uint64_t nth, HRESULT result);
  // Every call of `operation` from the nth on fails with `result`.
  void failCallsFrom(std::string_view operation, std::uint64_t nth, HRESULT result);
  // QueryInterface for `iid` fails with E_NOINTERFACE on every object, or
  // only on the object (or class) with GUID `target`.
  void hideInterface(const IID& iid);
  void hideInterface(const GUID& target, const IID& iid);
  // The filling call of a two-call read ("getObjectList" or
  // "getKindObjectList", by the plain name only, with a capacity above 0)
  // of `attributeId` is asked
  // for `missing` fewer entries than its caller has room for, so it
  // delivers fewer than the counting call reported.
  void shortenListReads(std::string_view operation, std::uint32_t attributeId,
                        std::uint32_t missing = 1);
  void clearFaults();

  // The journal, in call order.
  const std::vector<JournalEntry>& journal() const;
  // The text() of every entry, or only of the entries whose operation is
  // `operation` (plain name).
  std::vector<std::string> calls() const;
  std::vector<std::string> calls(std::string_view operation) const;
  // How many journaled calls had the plain operation name `operation`.
  std::size_t count(std::string_view operation) const;
  void clearJournal();

  // Wrappers of this injector still alive.
  std::size_t liveWrappers() const;

 private:
  std::shared_ptr<detail::InjectorState> _state;
};

// Wrappers of every injector still alive.
std::size_t liveFaultWrappers() noexcept;

// The interface a wrapper stands for, followed through every level of
// wrapping; anything that is not a wrapper is returned as it is.
IUnknown* innermost(IUnknown* object) noexcept;

// Whether two interface pointers stand for the same wrapped object.
bool sameObject(IUnknown* a, IUnknown* b) noexcept;

// "IStorageObjectEx" for the interface IDs of the store, registry form otherwise.
std::string interfaceName(const IID& iid);

// Attribute ID in the journal's form: 0x%08X.
std::string attributeText(std::uint32_t attributeId);

}  // namespace vddb::test
