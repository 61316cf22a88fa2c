// The four rules every operation applies to the status it is handed:
// act only on a good status, map a storage result, record an allocation
// failure, merge an outcome into another status.
#pragma once

#include <cstdint>

#include "status/tStatus2.h"

// The system's own codes; every other code comes from the store or the
// configuration library unchanged.
inline constexpr std::int32_t StatusNotFound = -50401;  // storage result 0x80040309
inline constexpr std::int32_t StatusNoMemory = -50352;  // an allocation of the tool failed

// The storage result that means "no such object".
inline constexpr std::int32_t kStorageResultNotFound = static_cast<std::int32_t>(0x80040309U);

// Origin recorded when a status is raised.
inline constexpr const char* kRaiseComponent = "Pellorin";
inline constexpr const char* kRaiseSourceModule = "tUpgradeDowngradeMgr";

// Rule 1: an operation acts only while its status holds no error.
inline bool isGood(std::int32_t code) noexcept { return code >= 0; }
inline bool isGood(const tStatus2& status) noexcept { return status.code >= 0; }

// Rule 2: a failing storage result overwrites the code (also a warning);
// 0x80040309 becomes StatusNotFound. Success and positive results change nothing.
inline void recordStorageResult(std::int32_t& code, std::int32_t result) noexcept {
  if (result < 0) code = (result == kStorageResultNotFound) ? StatusNotFound : result;
}

// The exception to rule 2: a failed request for an extended interface is
// recorded as it stands.
inline void recordInterfaceResult(std::int32_t& code, std::int32_t result) noexcept {
  if (result < 0) code = result;
}

// Rule 3, code-only form: an allocation failure becomes StatusNoMemory
// unless an error is already recorded.
inline void recordNoMemory(std::int32_t& code) noexcept {
  if (code >= 0) code = StatusNoMemory;
}

// Rule 3, raised form: as above, with the origin recorded at `line`.
void raiseNoMemory(tStatus2& status, std::uint32_t line) noexcept;

// Rule 4: the target takes over the incoming status when the incoming code
// is not 0, the target holds no error, and the target is success or the
// incoming code is an error. The first error stays; an error replaces a
// warning; a later warning does not replace an earlier one.
void mergeStatus(tStatus2& target, const tStatus2& incoming) noexcept;
