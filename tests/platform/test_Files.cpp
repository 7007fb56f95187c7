#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Files.h"

namespace fs = std::filesystem;
using namespace Platform;

namespace {

fs::path FreshDir(const char* name) {
  const fs::path dir = fs::temp_directory_path() / (std::string("velmar_files_") + name + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t KeepNone(std::string_view) { return 0; }

}  // namespace

TEST(PlatformFiles, AppendAddsToTheEndAndCreatesTheFile) {
  const fs::path dir = FreshDir("append");
  const fs::path file = dir / "log.txt";
  EXPECT_EQ(AppendToFileCuttingBack(file.string(), "a\n", KeepNone).Error, 0);
  EXPECT_EQ(AppendToFileCuttingBack(file.string(), "b", KeepNone).Error, 0);
  EXPECT_EQ(Read(file), "a\nb");
  fs::remove_all(dir);
}

TEST(PlatformFiles, AppendNeverFollowsALinkAndSaysTheOpenFailed) {
  const fs::path dir = FreshDir("link");
  const fs::path target = dir / "target.txt";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, dir / "log.txt");
  const TAppendResult r = AppendToFileCuttingBack((dir / "log.txt").string(), "x", KeepNone);
  EXPECT_EQ(r.Error, ELOOP);
  EXPECT_TRUE(r.OnOpen);
  EXPECT_EQ(Read(target), "keep");
  fs::remove_all(dir);
}

TEST(PlatformFiles, AppendRefusesAFileWithoutWritePermissionAfterOpening) {
  const fs::path dir = FreshDir("readonly");
  const fs::path file = dir / "log.txt";
  std::ofstream(file) << "old";
  // Refused by open for a normal user, by the permission check for root.
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const TAppendResult r = AppendToFileCuttingBack(file.string(), "x", KeepNone);
  EXPECT_EQ(r.Error, EACCES);
  EXPECT_EQ(Read(file), "old");
  fs::remove_all(dir);
}

TEST(PlatformFiles, ExecutablePathIsThisTestProgram) {
  const std::string self = ExecutablePath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(fs::path(self).filename().string().find("platform_test"), 0u);
  EXPECT_EQ(RealPath(self), fs::canonical(self).string());
  EXPECT_EQ(RealPath((fs::temp_directory_path() / "velmar_no_such_file_here").string()), "");
}
