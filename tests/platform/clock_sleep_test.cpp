// The millisecond clock and the runtime's sleep.
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>

#include "platform/clock.h"
#include "platform/thread_utility.h"
#include "platform/win32.h"

#ifndef _WIN32
#include <sys/time.h>
#endif

namespace {

using vddb::platform::millisecondClock;

TEST(MillisecondClock, CountsFromProcessStartAndNeverGoesBack) {
  long previous = millisecondClock();
  ASSERT_GE(previous, 0);
  for (int i = 0; i < 100000; ++i) {
    const long now = millisecondClock();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(MillisecondClock, CountsWallClockTimeWhileTheProcessSleeps) {
  // CPU time would barely move during a sleep; the retry loop sleeps.
  // (On Windows the C runtime's clock() is wall-clock time itself.)
  const std::clock_t cpuBefore = std::clock();
  const long before = millisecondClock();
  tThreadUtility::sleep(120, nullptr);
  const long after = millisecondClock();
  const std::clock_t cpuAfter = std::clock();
  EXPECT_GE(after - before, 120);
#ifndef _WIN32
  const double cpuMilliseconds =
      1000.0 * static_cast<double>(cpuAfter - cpuBefore) / CLOCKS_PER_SEC;
  EXPECT_LT(cpuMilliseconds, 60.0);
#else
  EXPECT_GE(cpuAfter - cpuBefore, 120);
#endif
}

TEST(ThreadUtilitySleep, ZeroReturnsAtOnce) {
  const long before = millisecondClock();
  tThreadUtility::sleep(0, nullptr);
  EXPECT_GE(millisecondClock(), before);
}

#ifndef _WIN32
volatile std::sig_atomic_t gSignals = 0;
extern "C" void countSignal(int) { gSignals = gSignals + 1; }

TEST(ThreadUtilitySleep, SleepsTheWholeTimeThoughSignalsInterruptIt) {
  struct sigaction action {};
  action.sa_handler = &countSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 10000;
  timer.it_interval.tv_usec = 10000;
  gSignals = 0;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

  const long before = millisecondClock();
  tThreadUtility::sleep(150, nullptr);
  const long elapsed = millisecondClock() - before;

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GT(gSignals, 0);
  EXPECT_GE(elapsed, 150);
}

TEST(TaskAllocator, HandsOutBlocksThatCoTaskMemFreeTakesBack) {
  auto* text = static_cast<char16_t*>(CoTaskMemAlloc(4 * sizeof(char16_t)));
  ASSERT_NE(text, nullptr);
  text[0] = u'a';
  text[3] = 0;
  CoTaskMemFree(text);
  CoTaskMemFree(nullptr);
}
#endif

}  // namespace
