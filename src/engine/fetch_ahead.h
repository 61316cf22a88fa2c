// Writing entries to random places of a table larger than the processor's
// caches: each place is fetched some entries before it is written, so that
// the fetches overlap instead of each write waiting for its own.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstddef>

namespace vddb::engine {

template <class Entry, std::size_t kAhead = 16>
class FetchAhead {
 public:
  // Queues `entry`, which will be written at `place`; writes the entry
  // queued kAhead entries before it with `write(entry)`, which gives false
  // to stop. False once a write has.
  template <class Write>
  bool push(const Entry& entry, const void* place, Write&& write) {
#if defined(__GNUC__)
    __builtin_prefetch(place, 1);
#else
    (void)place;
#endif
    Entry& next = _queued[_count++ % kAhead];
    if (_count > kAhead && !write(next)) return false;
    next = entry;
    return true;
  }
  // Writes what is still queued.
  template <class Write>
  bool finish(Write&& write) {
    for (std::size_t i = _count > kAhead ? _count - kAhead : 0; i < _count; ++i) {
      if (!write(_queued[i % kAhead])) return false;
    }
    _count = 0;
    return true;
  }

 private:
  Entry _queued[kAhead];
  std::size_t _count = 0;
};

}  // namespace vddb::engine
