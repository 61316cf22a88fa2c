// The runtime's thread helpers; the repair tool only sleeps.
#pragma once

#include <cstdint>

class tStatus2;

class tThreadUtility {
 public:
  // Pauses the calling thread for `milliseconds`. `status` may be null.
  static void sleep(std::uint32_t milliseconds, tStatus2* status);
};
