// The progress line: its texts, when it redraws (by a clock the test
// moves), and reading through it. vddb_tool_test runs the commands with it.
#include "progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

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

}  // namespace
