// The registry stand-in: the .reg file formats it reads and the Win32
// results it gives.
#include "platform/posix/registry_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

constexpr const char* kVersionKey = "SOFTWARE\\Varkel\\Strenda\\CurrentVersion";
constexpr LONG kErrorBadDb = 1009;

std::string utf16le(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = ::testing::TempDir() + "registry_posix_test_" + std::to_string(::getpid()) + "_" +
            name + ".reg";
    setenv("VARKEL_REGISTRY_FILE", path_.c_str(), 1);
    openBefore_ = vddb::platform::openRegistryKeyCount();
  }
  void TearDown() override {
    EXPECT_EQ(vddb::platform::openRegistryKeyCount(), openBefore_) << "a key was left open";
    std::remove(path_.c_str());
    unsetenv("VARKEL_REGISTRY_FILE");
  }

  void writeFile(const std::string& bytes) {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }

  // Reads one value of `key` (below HKEY_LOCAL_MACHINE) the way the version
  // probe does; returns the Win32 result and the delivered bytes.
  LONG read(const char* key, const char* name, std::vector<BYTE>& bytes, DWORD* type = nullptr,
            DWORD capacity = 1023) {
    HKEY handle = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
    if (result != ERROR_SUCCESS) return result;
    bytes.assign(capacity + 1, 0xCC);
    DWORD size = capacity;
    result = RegQueryValueExA(handle, name, nullptr, type, bytes.data(), &size);
    lastSize_ = size;
    if (result == ERROR_SUCCESS) {
      // Nothing beyond what was delivered is touched.
      for (DWORD i = size; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0xCC) << "byte " << i;
      bytes.resize(size);
    }
    EXPECT_EQ(RegCloseKey(handle), ERROR_SUCCESS);
    return result;
  }

  std::string path_;
  std::size_t openBefore_ = 0;
  DWORD lastSize_ = 0;
};

std::vector<BYTE> sz(const std::string& text) {
  std::vector<BYTE> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

struct FormatCase {
  const char* label;
  std::string file;
  const char* name;
  DWORD type;
  std::vector<BYTE> expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.label; }

class RegistryFormatTest : public RegistryTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(RegistryFormatTest, DeliversTheValue) {
  const FormatCase& c = GetParam();
  writeFile(c.file);
  std::vector<BYTE> bytes;
  DWORD type = 0;
  ASSERT_EQ(read(kVersionKey, c.name, bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, c.type);
  EXPECT_EQ(bytes, c.expected);
  EXPECT_EQ(lastSize_, c.expected.size());
}

const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\r\n";
const std::string kHeader5 = "Windows Registry Editor Version 5.00\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Formats, RegistryFormatTest,
    ::testing::Values(
        FormatCase{"utf8", kHeader5 + kSection + "\"versionMajor\"=\"17\"\r\n", "versionMajor",
                   REG_SZ, sz("17")},
        FormatCase{"utf8_bom_lf",
                   "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\n"
                   "\"versionMinor\"=\"3\"\n",
                   "versionMinor", REG_SZ, sz("3")},
        FormatCase{"utf16le_bom",
                   utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                           u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\r\n"
                           u"\"versionUpdate\"=\"12\"\r\n\"label\"=\"caf\u00e9 \U0001F600\"\r\n"),
                   "label", REG_SZ, sz("caf\xC3\xA9 \xF0\x9F\x98\x80")},
        FormatCase{"utf16le_bom_number",
                   utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                           u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\r\n"
                           u"\"versionUpdate\"=\"12\"\r\n"),
                   "versionUpdate", REG_SZ, sz("12")},
        FormatCase{"regedit4", "REGEDIT4\r\n\r\n" + kSection + "\"versionMajor\"=\"4\"\r\n",
                   "versionMajor", REG_SZ, sz("4")},
        FormatCase{"escapes",
                   kHeader5 + kSection + R"("path"="C:\\Program Files\\\"Varkel\"\n")" + "\r\n",
                   "path", REG_SZ, sz(R"(C:\Program Files\"Varkel"\n)")},
        FormatCase{"escaped_name", kHeader5 + kSection + R"("a\"b"="x")" + "\r\n", "a\"b", REG_SZ,
                   sz("x")},
        FormatCase{"dword",
                   kHeader5 + kSection + "\"versionMajor\"=dword:0000002a\r\n",
                   "versionMajor",
                   REG_DWORD,
                   {0x2A, 0, 0, 0}},
        FormatCase{"dword_upper",
                   kHeader5 + kSection + "\"n\"=DWORD:DEADBEEF\r\n",
                   "n",
                   REG_DWORD,
                   {0xEF, 0xBE, 0xAD, 0xDE}},
        FormatCase{"hex_continued",
                   kHeader5 + kSection + "\"bin\"=hex:01,02,\\\r\n  03,04\r\n",
                   "bin",
                   3,
                   {1, 2, 3, 4}},
        FormatCase{"hex_string_without_zero",
                   kHeader5 + kSection + "\"s\"=hex(1):34,32\r\n",
                   "s",
                   REG_SZ,
                   {'4', '2'}},
        FormatCase{"default_value", kHeader5 + kSection + "@=\"dflt\"\r\n", "", REG_SZ, sz("dflt")},
        FormatCase{"names_ignore_case",
                   kHeader5 +
                       "[hkey_local_machine\\software\\VARKEL\\strenda\\currentversion]\r\n" +
                       "\"VERSIONMAJOR\"=\"9\"\r\n",
                   "versionMajor", REG_SZ, sz("9")},
        FormatCase{"later_line_wins",
                   kHeader5 + kSection + "\"versionMajor\"=\"1\"\r\n\r\n" + kSection +
                       "; a comment\r\n\"versionMajor\"=\"2\"\r\n",
                   "versionMajor", REG_SZ, sz("2")},
        FormatCase{"other_sections_ignored",
                   kHeader5 + "[HKEY_CURRENT_USER\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion]\r\n" +
                       "\"versionMajor\"=\"5\"\r\n" + kSection + "\"versionMajor\"=\"6\"\r\n" +
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion\\Sub]\r\n" +
                       "\"versionMajor\"=\"7\"\r\n",
                   "versionMajor", REG_SZ, sz("6")},
        FormatCase{"malformed_line_skipped",
                   kHeader5 + kSection + "\"broken\"=\"no end\r\n\"versionMajor\"=\"8\"\r\n",
                   "versionMajor", REG_SZ, sz("8")}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.label); });

TEST_F(RegistryTest, MissingFileKeyAndValueAreNotFound) {
  std::vector<BYTE> bytes;
  unsetenv("VARKEL_REGISTRY_FILE");
  setenv("VARKEL_REGISTRY_FILE", (path_ + ".absent").c_str(), 1);
  EXPECT_EQ(read(kVersionKey, "versionMajor", bytes), ERROR_FILE_NOT_FOUND);
  setenv("VARKEL_REGISTRY_FILE", path_.c_str(), 1);

  writeFile(kHeader5 + kSection + "\"versionMajor\"=\"1\"\r\n");
  EXPECT_EQ(read("SOFTWARE\\Varkel\\Other", "versionMajor", bytes), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(read(kVersionKey, "versionMinor", bytes), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeletedValueIsNotFound) {
  writeFile(kHeader5 + kSection + "\"versionMajor\"=\"1\"\r\n\"versionMajor\"=-\r\n");
  std::vector<BYTE> bytes;
  EXPECT_EQ(read(kVersionKey, "versionMajor", bytes), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, FileWithoutHeaderIsRefused) {
  writeFile(kSection + "\"versionMajor\"=\"1\"\r\n");
  std::vector<BYTE> bytes;
  EXPECT_EQ(read(kVersionKey, "versionMajor", bytes), kErrorBadDb);
  writeFile("");
  EXPECT_EQ(read(kVersionKey, "versionMajor", bytes), kErrorBadDb);
  writeFile("\xFE\xFF\x00W");  // UTF-16BE is not what reg export writes
  EXPECT_EQ(read(kVersionKey, "versionMajor", bytes), kErrorBadDb);
}

TEST_F(RegistryTest, KeysAboveASectionExist) {
  writeFile(kHeader5 + kSection + "\"versionMajor\"=\"1\"\r\n");
  HKEY varkel = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varkel", 0, KEY_READ, &varkel),
            ERROR_SUCCESS);
  HKEY version = nullptr;
  ASSERT_EQ(RegOpenKeyExA(varkel, "Strenda\\CurrentVersion", 0, KEY_READ, &version), ERROR_SUCCESS);
  char buffer[8] = {};
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(version, "versionMajor", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "1");
  HKEY prefixOnly = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Var", 0, KEY_READ, &prefixOnly),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(prefixOnly, nullptr);
  EXPECT_EQ(RegCloseKey(version), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(varkel), ERROR_SUCCESS);
}

struct SizeCase {
  std::size_t characters;
  LONG result;
  DWORD reportedSize;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.characters << " characters"; }

class RegistrySizeTest : public RegistryTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(RegistrySizeTest, ValueFitsOrReportsTheSizeItNeeds) {
  const SizeCase& c = GetParam();
  writeFile(kHeader5 + kSection + "\"long\"=\"" + std::string(c.characters, '7') + "\"\r\n");
  std::vector<BYTE> bytes;
  EXPECT_EQ(read(kVersionKey, "long", bytes, nullptr, 1023), c.result);
  EXPECT_EQ(lastSize_, c.reportedSize);
  if (c.result == ERROR_MORE_DATA) {
    // Nothing was delivered into the buffer.
    for (const BYTE b : bytes) ASSERT_EQ(b, 0xCC);
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, RegistrySizeTest,
                         ::testing::Values(SizeCase{1022, ERROR_SUCCESS, 1023},
                                           SizeCase{1023, ERROR_MORE_DATA, 1024},
                                           SizeCase{1024, ERROR_MORE_DATA, 1025}));

TEST_F(RegistryTest, SizeAndTypeCanBeAskedWithoutABuffer) {
  writeFile(kHeader5 + kSection + "\"versionMajor\"=\"123\"\r\n\"d\"=dword:00000001\r\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD size = 0;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "versionMajor", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4U);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueExA(key, "d", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4U);
  EXPECT_EQ(type, REG_DWORD);
  BYTE buffer[4];
  EXPECT_EQ(RegQueryValueExA(key, "d", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExA(key, "d", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, HandlesAreCheckedAndClosedOnce) {
  writeFile(kHeader5 + kSection);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(vddb::platform::openRegistryKeyCount(), openBefore_ + 1);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(key, "Sub", 0, KEY_READ, &child), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

// A FIFO would keep the open waiting for a writer, a device could be read
// for ever: a registry file that is not a regular file is refused at once,
// as one that is not a .reg export.
TEST_F(RegistryTest, AFileThatIsNotARegularFileIsRefusedWithoutWaiting) {
  const std::string fifo = path_ + ".fifo";
  const std::string directory = path_ + ".d";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  for (const std::string& file : {fifo, directory, std::string("/dev/zero")}) {
    SCOPED_TRACE(file);
    setenv("VARKEL_REGISTRY_FILE", file.c_str(), 1);
    auto reading = std::async(std::launch::async, [this] {
      std::vector<BYTE> bytes;
      return read(kVersionKey, "versionMajor", bytes);
    });
    if (reading.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
      ADD_FAILURE() << "the open still waits after 5 s";
      ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // a writer ends the wait
    }
    EXPECT_EQ(reading.get(), kErrorBadDb);
  }
  ::unlink(fifo.c_str());
  ::rmdir(directory.c_str());
}

struct LargeFileCase {
  const char* label;
  std::string values;  // the lines of the version key's section
  const char* name;    // a value to read
  std::size_t size;    // its size
};

// About 1.5 MB each. Opening the key reads the file: linear work of a few
// hundredths of a second (a few seconds in the sanitizer build under load);
// work that grows with the square of a line's or the key's length took
// 37 and 45 s in the optimised build.
TEST_F(RegistryTest, LargeFilesAreReadInTimeLinearInTheirSize) {
  constexpr std::size_t kLines = 10000;
  std::string hexLines;
  for (std::size_t i = 0; i < kLines; ++i) hexLines += "  ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n";
  std::string manyValues;
  for (std::size_t i = 0; i < 100000; ++i) manyValues += "\"v" + std::to_string(i) + "\"=\"x\"\r\n";
  const std::string longName(500000, 'n');
  const LargeFileCase cases[] = {
      {"a long name continued over many lines",
       "\"" + longName + "\"=hex:01,\\\r\n" + hexLines + "  ff\r\n", longName.c_str(),
       1 + 8 * kLines + 1},
      {"many values", manyValues, "v99999", 2},
  };
  for (const LargeFileCase& c : cases) {
    SCOPED_TRACE(c.label);
    writeFile(kHeader5 + kSection + c.values);
    const auto start = std::chrono::steady_clock::now();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_LT(elapsed.count(), 15.0);
  }
}

TEST(RegistryFilePath, DefaultsToTheSystemFile) {
  unsetenv("VARKEL_REGISTRY_FILE");
  EXPECT_STREQ(vddb::platform::registryFilePath(), "/etc/varkel/registry.reg");
  setenv("VARKEL_REGISTRY_FILE", "", 1);
  EXPECT_STREQ(vddb::platform::registryFilePath(), "/etc/varkel/registry.reg");
  setenv("VARKEL_REGISTRY_FILE", "/tmp/x.reg", 1);
  EXPECT_STREQ(vddb::platform::registryFilePath(), "/tmp/x.reg");
  unsetenv("VARKEL_REGISTRY_FILE");
}

}  // namespace
