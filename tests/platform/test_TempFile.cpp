#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/LargeBuffer.h"
#include "platform/TempFile.h"

namespace fs = std::filesystem;
using namespace Platform;

TEST(PlatformTempFile, AnUnnamedFileRoundTripsAndLeavesNothingInItsFolder) {
  const fs::path dir = fs::temp_directory_path() / ("velmar_tempfile_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const int fd = CreateUnnamedTempFile(dir.string(), "PMM");
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fs::is_empty(dir));
  const std::string text = "hello, engine";
  EXPECT_EQ(WriteFd(fd, text.data(), static_cast<int64_t>(text.size())), static_cast<int64_t>(text.size()));
  EXPECT_EQ(SeekFd(fd, 0, TFdSeek::End), static_cast<int64_t>(text.size()));
  EXPECT_EQ(SeekFd(fd, 7, TFdSeek::Begin), 7);
  char back[32] = {};
  EXPECT_EQ(ReadFd(fd, back, sizeof back), static_cast<int64_t>(text.size() - 7));
  EXPECT_EQ(std::string(back), "engine");
  CloseFd(fd);
  EXPECT_TRUE(fs::is_empty(dir));
  fs::remove_all(dir);
}

TEST(PlatformTempFile, NoFileInAMissingFolder) {
  EXPECT_EQ(CreateUnnamedTempFile((fs::temp_directory_path() / "velmar_no_such_folder" / "x").string(), "PMM"), -1);
}

TEST(PlatformTempFile, TheFolderComesFromTmpdirOrIsTmp) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(TempDirectory(), "/var/tmp");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(TempDirectory(), "/tmp");
  if (old) ::setenv("TMPDIR", saved.c_str(), 1); else ::unsetenv("TMPDIR");
}

TEST(PlatformLargeBuffer, SmallAndHugeBlocksHoldTheirWholeSize) {
  for (const size_t size : {size_t{100}, (size_t{2} << 20) + 1}) {
    TLargeBuffer block(size);
    ASSERT_NE(block.Data(), nullptr);
    EXPECT_EQ(block.Size(), size);
    block.Data()[0] = 'a';
    block.Data()[size - 1] = 'z';
    EXPECT_EQ(block.Data()[0], 'a');
    EXPECT_EQ(block.Data()[size - 1], 'z');
  }
}
