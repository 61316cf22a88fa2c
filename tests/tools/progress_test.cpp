// The progress line: its texts, when it redraws (by a clock the test
// moves), reading through it, and that a command drawing it reports and
// dumps exactly what it does without it.
#include "progress.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "generate/generate_store.h"
#include "repair_command.h"

namespace {

using vddb::tool::ProgressLine;

TEST(ProgressTest, CountsAndShares) {
  const struct {
    std::uint64_t done, total;
    const char* count;
    const char* percent;
  } cases[] = {
      {0, 0, "0", "0%"},
      {999, 1000, "999", "99%"},
      {1000, 1000, "1,000", "100%"},
      {412000, 1000000, "412,000", "41%"},
      {1234567, 1000, "1,234,567", "100%"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vddb::tool::groupedCount(c.done), c.count);
    EXPECT_EQ(vddb::tool::percentOf(c.done, c.total), c.percent) << c.done << " of " << c.total;
  }
}

TEST(ProgressTest, RedrawsAtMostEveryIntervalAndClearsWhatItDrew) {
  std::ostringstream out;
  long now = 1000;
  {
    ProgressLine line(&out, [&now] { return now; });
    // (time, text): a count is drawn only when due.
    const struct {
      long at;
      const char* text;
    } counts[] = {
        {1000, "a: 1"}, {1249, "a: 2"}, {1250, "a: 333"}, {1400, "a: 4"}, {1500, "a: 55"}};
    for (const auto& c : counts) {
      now = c.at;
      if (line.due()) line.draw(c.text);
    }
    line.draw("b");  // a new phase: at once
    line.clear();
    line.clear();  // nothing more to take back
    line.draw(std::string(100, 'x'));
  }  // the end clears
  EXPECT_EQ(out.str(), "\ra: 333\ra: 55 \rb    \r \r\r" + std::string(79, 'x') + "\r" +
                           std::string(79, ' ') + "\r");

  ProgressLine off;
  EXPECT_FALSE(off.on());
  EXPECT_FALSE(off.due());
  off.draw("nothing");
}

TEST(ProgressTest, ReadingThroughGivesTheSourceAndItsPositions) {
  const std::string text(300000, 'j');
  std::istringstream source(text);
  std::ostringstream out;
  ProgressLine line(&out, [] { return 0L; });
  vddb::tool::ProgressReadBuffer counted(*source.rdbuf(), text.size(), "loading", line);
  std::istream in(&counted);

  std::string first(1000, '\0');
  in.read(first.data(), 1000);
  EXPECT_EQ(in.tellg(), 1000);
  std::ostringstream rest;
  rest << in.rdbuf();
  EXPECT_EQ(first + rest.str(), text);
  EXPECT_EQ(out.str(), "\rloading: all read, building the store");
  // A rewind reads it all again, as the loader does for objects that came
  // before their classes.
  in.clear();
  ASSERT_TRUE(in.seekg(0));
  std::ostringstream again;
  again << in.rdbuf();
  EXPECT_EQ(again.str(), text);
}

class ProgressCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("vddb-progress-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
};

TEST_F(ProgressCommandTest, CheckAndDumpGiveTheSameOutputWithTheLine) {
  const std::string store = (dir / "ddb.sqlite").string();
  ASSERT_GE(vddb::generate::generateStoreFile({3000, 7, 0.05}, store, false), 0);

  // The report and the exit code do not depend on the line; the line names
  // every pass and is taken back at the end.
  std::string report[2], line[2];
  int exitCode[2];
  for (const bool progress : {false, true}) {
    vddb::tool::RepairCommand command;
    command.store = store;
    command.preview = true;
    command.progress = progress;
    std::ostringstream out, err;
    exitCode[progress] = vddb::tool::runRepairCommand(command, out, err);
    report[progress] = out.str();
    line[progress] = err.str();
  }
  EXPECT_EQ(exitCode[0], 4);
  EXPECT_EQ(exitCode[1], exitCode[0]);
  EXPECT_EQ(report[1], report[0]);
  EXPECT_EQ(line[0], "");
  EXPECT_NE(line[1].find("\rcheck: pass 1 of 12 checkTrelixChassisSlots"), std::string::npos);
  EXPECT_NE(line[1].find("\rcheck: pass 12 of 12 purgeDuplicateLinkRecords"), std::string::npos);
  EXPECT_EQ(line[1].back(), '\r');
  EXPECT_EQ(line[1].find_last_not_of(" \r", line[1].size()), line[1].rfind("reverting") + 8);

  struct Counts final : vddb::engine::DumpProgress {
    void objectsWritten(std::uint64_t written, std::uint64_t total) noexcept override {
      seen.emplace_back(written, total);
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
  } counts;
  std::unique_ptr<vddb::engine::StoreSession> session;
  ASSERT_GE(vddb::engine::StoreSession::openReadOnly(store, session), 0);
  std::string plain;
  ASSERT_GE(session->dumpJson(plain), 0);
  std::ostringstream withProgress;
  ASSERT_GE(vddb::engine::dumpJsonWithProgress(*session, withProgress, false, counts), 0);
  EXPECT_EQ(withProgress.str(), plain);
  ASSERT_FALSE(counts.seen.empty());
  EXPECT_EQ(counts.seen.front().first, 256u);
  EXPECT_GE(counts.seen.front().second, 3000u);
  EXPECT_LE(counts.seen.back().first, counts.seen.back().second);
}

}  // namespace
