#include "status/status_rules.h"

void raiseNoMemory(tStatus2& status, std::uint32_t line) noexcept {
  if (status.code < 0) return;
  status._allocateImplementationObject(StatusNoMemory, kRaiseComponent, kRaiseSourceModule, line,
                                       nullptr);
}

void mergeStatus(tStatus2& target, const tStatus2& incoming) noexcept {
  if (incoming.code != 0 && target.code >= 0 && (target.code == 0 || incoming.code < 0)) {
    target._assign(incoming);
  }
}
