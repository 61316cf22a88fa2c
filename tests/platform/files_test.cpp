// The store engine's file-system calls, on real files in a fresh folder.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vddb::platform::PathInfo;
using vddb::platform::PathKind;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("vddb-files-" + std::to_string(std::random_device{}()));
    fs::remove_all(dir);
    fs::create_directory(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string file(const std::string& name) const { return (dir / name).string(); }
  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  fs::path dir;
};

TEST_F(FilesTest, InspectTellsWhatIsAtAPath) {
  write(file("five"), "12345");
  struct Case {
    std::string path;
    bool followLinks;
    PathKind kind;
    std::uint64_t size;
  };
  std::vector<Case> cases = {
      {file("five"), false, PathKind::kFile, 5},
      {file("none"), false, PathKind::kMissing, 0},
      {file("none/below"), true, PathKind::kMissing, 0},
      {dir.string(), true, PathKind::kDirectory, 0},
  };
#ifndef _WIN32
  fs::create_symlink(file("five"), file("link"));
  cases.push_back({file("link"), false, PathKind::kLink, 0});
  cases.push_back({file("link"), true, PathKind::kFile, 5});
  cases.push_back({"/dev/null", true, PathKind::kOther, 0});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.followLinks ? " (following links)" : ""));
    PathInfo info;
    info.size = 99;
    std::string error;
    ASSERT_TRUE(vddb::platform::inspectPath(c.path, c.followLinks, info, &error)) << error;
    EXPECT_EQ(info.kind, c.kind);
    EXPECT_EQ(info.size, c.size);
  }
}

TEST_F(FilesTest, UniqueFilesReplaceAndRemove) {
  std::string first;
  std::string second;
  ASSERT_TRUE(vddb::platform::createUniqueFile(file("db.loading-"), first));
  ASSERT_TRUE(vddb::platform::createUniqueFile(file("db.loading-"), second));
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind(file("db.loading-"), 0), 0u) << first;
  EXPECT_EQ(read(first), "");

  write(file("db"), "old");
  write(first, "new");
  ASSERT_TRUE(vddb::platform::replaceFile(first, file("db")));
  EXPECT_EQ(read(file("db")), "new");
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(vddb::platform::syncFolderOf(file("db")));

  EXPECT_TRUE(vddb::platform::removeFile(second));
  EXPECT_TRUE(vddb::platform::removeFile(second)) << "already gone";
  EXPECT_FALSE(fs::exists(second));
}

TEST_F(FilesTest, FailuresNameThePathAndTheReason) {
  std::string error;
  std::string made;
  EXPECT_FALSE(vddb::platform::createUniqueFile(file("no/such/folder/db-"), made, &error));
  EXPECT_NE(error.find(file("no/such/folder/db-")), std::string::npos) << error;
  EXPECT_GT(error.size(), file("no/such/folder/db-").size() + 25)
      << "the reason follows: " << error;
  error.clear();
  EXPECT_FALSE(vddb::platform::replaceFile(file("absent"), file("db"), &error));
  EXPECT_NE(error.find(file("db")), std::string::npos) << error;
}

}  // namespace
