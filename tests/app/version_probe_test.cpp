// The version probe against .reg files read by the registry stand-in.
#include "app/version_probe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>

#include "platform/posix/registry_posix.h"

namespace vddb::app {
namespace {

constexpr std::uint32_t kUntouched = 0xDEADBEEF;

struct ProbeCase {
  const char* label;
  std::string values;  // lines of the version key's section; empty: no section
  bool succeeds;
  std::uint32_t major, minor, update;
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.label; }

std::string line(const char* name, const std::string& data) {
  return std::string("\"") + name + "\"=" + data + "\r\n";
}
std::string text(const std::string& value) { return "\"" + value + "\""; }

class VersionProbeTest : public ::testing::TestWithParam<ProbeCase> {
 protected:
  void SetUp() override {
    // Of this process alone: ctest runs the cases side by side, and other
    // trees on the machine run them too.
    path_ = ::testing::TempDir() + "version_probe_test_" + std::to_string(::getpid()) + ".reg";
    setenv("VARKEL_REGISTRY_FILE", path_.c_str(), 1);
    openBefore_ = vddb::platform::openRegistryKeyCount();
  }
  void TearDown() override {
    EXPECT_EQ(vddb::platform::openRegistryKeyCount(), openBefore_) << "the key was left open";
    std::remove(path_.c_str());
    unsetenv("VARKEL_REGISTRY_FILE");
  }
  void writeRegistry(const std::string& values, bool withSection = true) {
    std::string file = "Windows Registry Editor Version 5.00\r\n\r\n";
    if (withSection) file += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\r\n";
    file += values;
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }

  std::string path_;
  std::size_t openBefore_ = 0;
};

TEST_P(VersionProbeTest, ReadsTheThreeValuesInOrder) {
  const ProbeCase& c = GetParam();
  writeRegistry(c.values, !c.values.empty());
  std::uint32_t major = kUntouched, minor = kUntouched, update = kUntouched;
  EXPECT_EQ(readInstalledVersion(major, minor, update), c.succeeds);
  EXPECT_EQ(major, c.major);
  EXPECT_EQ(minor, c.minor);
  EXPECT_EQ(update, c.update);
}

const std::string kThree = line("versionMajor", text("21")) + line("versionMinor", text("0")) +
                           line("versionUpdate", text("3"));

INSTANTIATE_TEST_SUITE_P(
    Values, VersionProbeTest,
    ::testing::Values(
        ProbeCase{"all_three", kThree, true, 21, 0, 3},
        ProbeCase{"key_missing", "", false, kUntouched, kUntouched, kUntouched},
        ProbeCase{"minor_missing",
                  line("versionMajor", text("21")) + line("versionUpdate", text("3")), false, 21,
                  kUntouched, kUntouched},
        ProbeCase{"update_missing",
                  line("versionMajor", text("21")) + line("versionMinor", text("4")), false, 21, 4,
                  kUntouched},
        ProbeCase{"value_of_1022_bytes_fits",
                  line("versionMajor", text(std::string(1020, '0') + "12")) +
                      line("versionMinor", text("1")) + line("versionUpdate", text("2")),
                  true, 12, 1, 2},
        ProbeCase{"value_longer_than_1023_bytes",
                  line("versionMajor", text("5")) +
                      line("versionMinor", text(std::string(1023, '1'))) +
                      line("versionUpdate", text("2")),
                  false, 5, kUntouched, kUntouched},
        // A shorter value after a longer one: only the delivered bytes count,
        // also when the value brings no terminating zero of its own.
        ProbeCase{"no_terminating_zero",
                  line("versionMajor", text("12345")) + line("versionMinor", "hex(1):37") +
                      line("versionUpdate", "dword:34343434"),
                  true, 12345, 7, 4444},
        ProbeCase{"text_that_is_no_number",
                  line("versionMajor", text("abc")) + line("versionMinor", text("8 beta")) +
                      line("versionUpdate", text("-1")),
                  true, 0, 8, 0xFFFFFFFF}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.label); });

TEST(VersionProbe, MissingRegistryFileFails) {
  setenv("VARKEL_REGISTRY_FILE", (::testing::TempDir() + "no_such_file.reg").c_str(), 1);
  std::uint32_t major = kUntouched, minor = kUntouched, update = kUntouched;
  EXPECT_FALSE(readInstalledVersion(major, minor, update));
  EXPECT_EQ(major, kUntouched);
  EXPECT_EQ(vddb::platform::openRegistryKeyCount(), 0U);
  unsetenv("VARKEL_REGISTRY_FILE");
}

}  // namespace
}  // namespace vddb::app
