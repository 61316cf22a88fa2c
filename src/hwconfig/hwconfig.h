// The configuration library: tMHWConfiguration (store/configuration.h) over
// the store engine. tMHWConfiguration::initialize opens the store file of
// this machine; the factories below build a configuration over a session
// the caller already has, for tests and tools.
//
// Every operation goes through the IkorrinStorage the configuration was
// built with, so a decorated storage sees every call the library makes.
// See docs/configuration-library.md for the model and the codes.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/engine.h"
#include "store/configuration.h"

namespace vddb::hwconfig {

// The library's own failure codes. Storage failures are recorded by the
// storage mapping (0x80040309 becomes StatusNotFound, others as they are).
//
// The item asked for does not exist, or is not of the class the call is about.
inline constexpr std::int32_t StatusItemMissing = -50601;
// The item exists but has no value for what was asked (slot count, connector,
// connected device, accessory, identifier).
inline constexpr std::int32_t StatusValueMissing = -50602;

// A configuration over `session`, which stays the caller's and must outlive
// finalize. Every store call goes through `storage` (session.storage() when
// null), which gets a reference of the configuration's own until finalize.
// saveConfiguration commits the session, revertConfiguration rolls it back.
// Returns null, with StatusNoMemory in `status`, when the object cannot be
// had, and null without a call when `status` already holds an error.
tMHWConfiguration* openConfiguration(engine::StoreSession& session, IkorrinStorage* storage,
                                     tStatus2& status);

// As above, owning the session: finalize closes it, rolling back what was
// not saved.
tMHWConfiguration* openConfiguration(std::unique_ptr<engine::StoreSession> session,
                                     IkorrinStorage* storage, tStatus2& status);

}  // namespace vddb::hwconfig
