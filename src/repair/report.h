// What a repair tells about itself, for tools that want a report: each pass's
// start and end, and one record per change at the place where the pass makes
// it, with the evidence the pass acted on.
//
// The sink is handed to runRepairPassRows, which makes it the active sink
// for the run (tActiveReportScope). The passes ask for it with activeReport():
// without a sink, as in vddb-repair, they build no record and make no call
// they would not make anyway. A sink only records; it never changes what a
// pass does, and its own failures stay inside it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "repair/problems.h"
#include "store/com.h"
#include "store/interfaces.h"

namespace tUpgradeDowngradeMgr {

struct tPassRow;

// The evidence behind one change. Which fields a record fills depends on
// its kind (see the message of its code in problems.cpp).
struct tProblemRecord {
  const tProblemKind* kind = nullptr;
  GUID object{};  // the object, item or accessory configuration changed
  bool hasObject = false;
  // Slot counts: the slot count and the entries of each slot list, in reading order.
  std::uint32_t slots = 0;
  std::array<std::uint32_t, 3> listLengths{};
  std::size_t listCount = 0;
  // The attribute whose value (or emptiness) condemned the object.
  std::uint32_t reference = 0;
  // Accessories: the connector key; link records: the first object (as `keyGuid`).
  std::u16string_view key;
  GUID keyGuid{};
  bool hasKeyGuid = false;
  std::int32_t number = 0;
  // The accessory configuration that holds the connector first, or the link
  // record this one duplicates.
  GUID first{};
  bool hasFirst = false;
  // Orphans: the name that matches nothing.
  std::u16string_view name;
  // A failing call and its result.
  const char* call = nullptr;
  std::int32_t code = 0;
};

class tRepairReport {
 public:
  virtual void passStarted(const tPassRow& row) noexcept = 0;
  virtual void problem(const tProblemRecord& record) noexcept = 0;
  // `status` is the pass status as the pass left it.
  virtual void passEnded(const tPassRow& row, std::int32_t status) noexcept = 0;

 protected:
  ~tRepairReport() = default;
};

// The sink of the run in progress, or null.
tRepairReport* activeReport() noexcept;
// The order of the row running now under an active sink (0 when none): a
// step that serves several rows reports under the code of the row.
std::uint32_t activeReportRow() noexcept;
void setActiveReportRow(std::uint32_t row) noexcept;

// Makes `report` the active sink while it lives (null: none).
class tActiveReportScope {
 public:
  explicit tActiveReportScope(tRepairReport* report) noexcept;
  ~tActiveReportScope();
  tActiveReportScope(const tActiveReportScope&) = delete;
  tActiveReportScope& operator=(const tActiveReportScope&) = delete;

 private:
  tRepairReport* _previous;
  std::uint32_t _previousRow;
};

// The object's GUID for a record, taken before the object goes. Asks the
// store only when a sink is active; its failure leaves the GUID null and
// touches no status.
inline GUID guidForReport(IStorageObject* object) noexcept {
  GUID guid{};
  if (activeReport() != nullptr && object != nullptr) object->getObjectGuid(&guid);
  return guid;
}

// A record of `code` about `object`, for the passes: `fill` adds the
// evidence. Does nothing, and calls nothing, without an active sink.
template <class Fill>
void reportProblem(const char* code, const GUID& object, Fill&& fill) noexcept {
  tRepairReport* report = activeReport();
  if (report == nullptr) return;
  tProblemRecord record;
  record.kind = findProblem(code);
  record.object = object;
  record.hasObject = true;
  fill(record);
  report->problem(record);
}

inline void reportProblem(const char* code, const GUID& object) noexcept {
  reportProblem(code, object, [](tProblemRecord&) {});
}

}  // namespace tUpgradeDowngradeMgr
