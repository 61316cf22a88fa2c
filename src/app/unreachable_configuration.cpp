// Built only while the configuration library is not part of the build (see
// CMakeLists.txt): a tMHWConfiguration::initialize that reports every store
// unreachable, so vddb-repair links and shows its waiting behaviour.
#include "status/status_rules.h"
#include "store/configuration.h"

namespace {
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): no store can be found.
constexpr std::int32_t kStoreUnreachable = static_cast<std::int32_t>(0x80070002U);
}  // namespace

tMHWConfiguration* tMHWConfiguration::initialize(const wchar_t* /*reserved*/,
                                                 std::uint32_t /*flags*/, tStatus2& status) {
  if (isGood(status)) status.code = kStoreUnreachable;
  return nullptr;
}
