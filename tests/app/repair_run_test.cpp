// The run and its retry loop, on a simulated clock: the sleep advances the
// clock instead of waiting, and every output byte is captured.
#include "app/repair_run.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "status/status_rules.h"

namespace vddb::app {
namespace {

// The simulated world of one run.
struct World {
  long now = 0;                    // what the clock reads
  std::vector<long> failingReads;  // clock read numbers (1-based) that give -1
  int clockReads = 0;
  long attemptDuration = 0;      // time one attempt takes
  int reachOnAttempt = 0;        // 1-based; 0: never
  std::int32_t reachedCode = 0;  // the status of the attempt that reaches the store
  bool versionReadable = true;
  int attempts = 0;
  std::vector<std::uint32_t> sleeps;
  std::vector<bool> sleepStatusWasNull;
  std::string output;
};
World gWorld;

// A failed attempt's code tells which attempt it was.
std::int32_t failedAttemptCode(int attempt) { return -1000 - attempt; }

long fakeClock() {
  ++gWorld.clockReads;
  for (const long n : gWorld.failingReads) {
    if (n == gWorld.clockReads) return -1;
  }
  return gWorld.now;
}

void fakeSleep(std::uint32_t milliseconds, tStatus2* status) {
  gWorld.sleeps.push_back(milliseconds);
  gWorld.sleepStatusWasNull.push_back(status == nullptr);
  gWorld.now += static_cast<long>(milliseconds);
}

bool fakeVersion(std::uint32_t& major, std::uint32_t& minor, std::uint32_t& update) {
  major = 1;
  minor = 2;
  update = 3;
  return gWorld.versionReadable;
}

void fakeTransaction(bool& storeReached, tStatus2& status) {
  EXPECT_EQ(status.code, 0) << "every attempt starts with a fresh status";
  const int attempt = ++gWorld.attempts;
  gWorld.now += gWorld.attemptDuration;
  storeReached = gWorld.reachOnAttempt != 0 && attempt >= gWorld.reachOnAttempt;
  status.code = storeReached ? gWorld.reachedCode : failedAttemptCode(attempt);
}

int fakePrint(const char* format, ...) {
  char buffer[512];
  va_list arguments;
  va_start(arguments, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  gWorld.output.append(buffer, static_cast<std::size_t>(n));
  return n;
}

tRepairRunCalls fakeCalls() {
  tRepairRunCalls calls;
  calls.clock = &fakeClock;
  calls.sleep = &fakeSleep;
  calls.readVersion = &fakeVersion;
  calls.transaction = &fakeTransaction;
  calls.print = &fakePrint;
  return calls;
}

constexpr const char* kAnnouncement = "Repairing Varkel Device Driver Database.\n";
constexpr const char* kWaiting = "Waiting for Korrin Database...\n";
constexpr const char* kTimedOut = "Operation timed out waiting for Korrin to start\n";
constexpr const char* kSuccess = "Successfully completed repair.\n";
constexpr const char* kUnreachable =
    "Unable to communicate with Corvessa.   Please contact Varkel Technical Support.\n";

class RepairRunTest : public ::testing::Test {
 protected:
  void SetUp() override { gWorld = World{}; }
  std::int32_t run() { return runRepair(fakeCalls()); }
};

TEST_F(RepairRunTest, StoreReachableAtOnce) {
  gWorld.reachOnAttempt = 1;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kSuccess);
  EXPECT_EQ(gWorld.attempts, 1);
  EXPECT_TRUE(gWorld.sleeps.empty());
}

TEST_F(RepairRunTest, VersionWarningHasNoLineEndAndTheAnnouncementFollowsOnItsLine) {
  gWorld.versionReadable = false;
  gWorld.reachOnAttempt = 1;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(gWorld.output,
            "Unable to detect the installed Strenda version!  Please reinstall Strenda"
            "Repairing Varkel Device Driver Database.\n"
            "Successfully completed repair.\n");
}

TEST_F(RepairRunTest, StoreReachableAfterTenSecondsWaitsOnceAndDropsEarlierErrors) {
  gWorld.reachOnAttempt = 5;  // attempts at 0, 3 s, 6 s, 9 s fail; the one at 12 s reaches it
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kWaiting + kSuccess);
  EXPECT_EQ(gWorld.attempts, 5);
  EXPECT_EQ(gWorld.sleeps, (std::vector<std::uint32_t>(4, 3000)));
  for (const bool wasNull : gWorld.sleepStatusWasNull) EXPECT_TRUE(wasNull);
}

TEST_F(RepairRunTest, ReachedStoreWithAnErrorPrintsTheCodeInDecimalAndHex) {
  gWorld.reachOnAttempt = 2;
  gWorld.reachedCode = StatusNotFound;
  EXPECT_EQ(run(), -50401);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kWaiting +
                               "Operation failed with error code -50401  (hex 0xFFFF3B1F). Please "
                               "contact Varkel Technical Support\n");
}

TEST_F(RepairRunTest, ReachedStoreWithAWarningCountsAsSuccess) {
  gWorld.reachOnAttempt = 1;
  gWorld.reachedCode = 7;
  EXPECT_EQ(run(), 7);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kSuccess);
}

TEST_F(RepairRunTest, StoreNeverReachableTimesOutWithTheLastAttemptsError) {
  gWorld.now = 5000;  // the limit counts from the first reading, not from 0
  EXPECT_EQ(run(), failedAttemptCode(32));
  // Readings after the attempts: 5000, 8000, ..., 95000 (90000 elapsed: not yet), 98000.
  EXPECT_EQ(gWorld.attempts, 32);
  EXPECT_EQ(gWorld.sleeps.size(), 31U);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kWaiting + kTimedOut + kUnreachable);
}

TEST_F(RepairRunTest, ClockUnavailableAtTheStartTimesOutAfterTheFirstFailedAttempt) {
  gWorld.failingReads = {1};
  EXPECT_EQ(run(), failedAttemptCode(1));
  EXPECT_EQ(gWorld.attempts, 1);
  EXPECT_TRUE(gWorld.sleeps.empty());
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kTimedOut + kUnreachable);
}

TEST_F(RepairRunTest, ClockUnavailableLaterTimesOutThen) {
  gWorld.failingReads = {3};  // start, after attempt 1, after attempt 2 (fails)
  EXPECT_EQ(run(), failedAttemptCode(2));
  EXPECT_EQ(gWorld.attempts, 2);
  EXPECT_EQ(gWorld.sleeps.size(), 1U);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kWaiting + kTimedOut + kUnreachable);
}

TEST_F(RepairRunTest, ClockUnavailableDoesNotMatterWhenTheStoreIsReached) {
  gWorld.failingReads = {1};
  gWorld.reachOnAttempt = 1;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kSuccess);
}

struct LimitCase {
  long firstAttemptDuration;
  bool timesOut;
};

class RepairRunLimitTest : public RepairRunTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(RepairRunLimitTest, MoreThan90000MillisecondsIsATimeOut) {
  gWorld.attemptDuration = GetParam().firstAttemptDuration;
  gWorld.reachOnAttempt = 2;
  const std::int32_t code = run();
  if (GetParam().timesOut) {
    EXPECT_EQ(code, failedAttemptCode(1));
    EXPECT_EQ(gWorld.attempts, 1);
    EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kTimedOut + kUnreachable);
  } else {
    EXPECT_EQ(code, 0);
    EXPECT_EQ(gWorld.attempts, 2);
    EXPECT_EQ(gWorld.output, std::string(kAnnouncement) + kWaiting + kSuccess);
  }
}

INSTANTIATE_TEST_SUITE_P(Boundary, RepairRunLimitTest,
                         ::testing::Values(LimitCase{89999, false}, LimitCase{90000, false},
                                           LimitCase{90001, true}));

TEST(RepairRunCalls, DefaultToTheRealCalls) {
  const tRepairRunCalls calls;
  EXPECT_EQ(calls.clock, &vddb::platform::millisecondClock);
  EXPECT_EQ(calls.sleep, &tThreadUtility::sleep);
  EXPECT_EQ(calls.readVersion, &readInstalledVersion);
  EXPECT_EQ(calls.print, &printToStandardOutput);
  void (*transaction)(bool&, tStatus2&) = &runRepairTransaction;
  EXPECT_EQ(calls.transaction, transaction);
}

}  // namespace
}  // namespace vddb::app
