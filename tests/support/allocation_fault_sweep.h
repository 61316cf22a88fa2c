// Fails the 1st, 2nd, 3rd, ... runtime allocation of a piece of work, one run
// per number, until a run needs no more allocations than the fault let
// through: every allocation the work makes has then failed once.
//
//   for (AllocationFaultSweep sweep(persistent); sweep.next();) {
//     ... a fresh start for the run
//     sweep.arm();
//     ... the work
//     const bool fired = sweep.disarm();
//     ... what must hold whether or not the work met the fault
//   }
//
// With `persistent` every allocation from the nth on fails, not only the
// nth. Each run carries a trace ("allocation 3", "every allocation from 3")
// into the failures it reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/memory.h"

namespace vddb::test {

class AllocationFaultSweep {
 public:
  explicit AllocationFaultSweep(bool persistent = false, std::uint64_t limit = 1000)
      : _persistent(persistent), _limit(limit) {}
  AllocationFaultSweep(const AllocationFaultSweep&) = delete;
  AllocationFaultSweep& operator=(const AllocationFaultSweep&) = delete;
  ~AllocationFaultSweep() { platform::clearAllocationFault(); }

  // Starts the next run. False once a run went through without meeting its
  // fault, and after `limit` runs, which fails the test: the work did not
  // come to an end.
  bool next() {
    if (_nth > 0 && !_fired) return false;
    if (_nth == _limit) {
      ADD_FAILURE() << "the work still met its allocation fault after " << _limit << " runs";
      return false;
    }
    ++_nth;
    _fired = false;
    _trace.reset();
    _trace.emplace(__FILE__, __LINE__, label());
    return true;
  }

  // Makes the nth allocation from now fail (every one from it on when
  // persistent).
  void arm() const { platform::failAllocationAt(_nth, _persistent); }

  // Clears the fault; returns whether the run met it.
  bool disarm() {
    _fired = platform::allocationFaultFired();
    platform::clearAllocationFault();
    return _fired;
  }

  std::uint64_t nth() const noexcept { return _nth; }
  bool fired() const noexcept { return _fired; }
  std::string label() const {
    return (_persistent ? "every allocation from " : "allocation ") + std::to_string(_nth);
  }

 private:
  bool _persistent;
  std::uint64_t _limit;
  std::uint64_t _nth = 0;
  bool _fired = false;
  std::optional<::testing::ScopedTrace> _trace;
};

}  // namespace vddb::test
