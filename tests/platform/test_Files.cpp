#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/FileShare.h"
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

namespace {

// Runs fn in a child process that is killed after 5 s: a FIFO opened the
// blocking way would hang for good, and fail the test instead of the suite.
// The child's exit status is fn's result; -1 when it had to be killed.
int InChildWithin5s(const std::function<int()>& fn) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(5);
    ::_exit(fn());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(PlatformFiles, AFifoOrADeviceIsRefusedByEveryOpenByNameWithoutBlocking) {
  const fs::path dir = FreshDir("fifo");
  const std::string fifo = (dir / "doc.log").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  // Nobody opens the other end: a blocking open would wait for good.
  EXPECT_EQ(InChildWithin5s([&] {
              int fd = -1;
              return OpenRegularFile(fifo, O_RDONLY, 0, fd) == NOT_REGULAR_FILE_ERROR && fd == -1 ? 7 : 1;
            }),
            7);
  EXPECT_EQ(InChildWithin5s([&] {
              int fd = -1;
              return OpenRegularFile(fifo, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd) == NOT_REGULAR_FILE_ERROR ? 7 : 1;
            }),
            7);
  EXPECT_EQ(InChildWithin5s([&] {
              const TAppendResult r = AppendToFileCuttingBack(fifo, "line\n", KeepNone);
              return r.Error == NOT_REGULAR_FILE_ERROR && r.OnOpen ? 7 : 1;
            }),
            7);
  EXPECT_EQ(InChildWithin5s([&] { return ExistingFileReadError(fifo) == NOT_REGULAR_FILE_ERROR ? 7 : 1; }), 7);
  // The results file and the files read back whole (a run's row, a trace).
  EXPECT_EQ(InChildWithin5s([&] { return AppendShared(fifo, "header\n", "row\n") == NOT_REGULAR_FILE_ERROR ? 7 : 1; }),
            7);
  EXPECT_EQ(InChildWithin5s([&] { return ReadWholeFile(fifo) ? 1 : 7; }), 7);
  int fd = -1;
  EXPECT_EQ(OpenRegularFile("/dev/null", O_WRONLY, 0, fd), NOT_REGULAR_FILE_ERROR);
  EXPECT_EQ(OpenRegularFile(dir.string(), O_RDONLY, 0, fd), NOT_REGULAR_FILE_ERROR);
  // Said the way a link is said, in the messages of the files beside a
  // document.
  EXPECT_EQ(OpenErrorMessage(NOT_REGULAR_FILE_ERROR),
            "it is not a regular file (a FIFO, a device or a folder), which is not opened");
  EXPECT_EQ(SysErrorMessage(NOT_REGULAR_FILE_ERROR), "Not a regular file");
  fs::remove_all(dir);
}

TEST(PlatformFiles, ARegularFileOpensBlockingAndALinkStaysRefused) {
  const fs::path dir = FreshDir("regular");
  const std::string file = (dir / "out.txt").string();
  int fd = -1;
  ASSERT_EQ(OpenRegularFile(file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644, fd), 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(::write(fd, "abc", 3), 3);
  ::close(fd);
  EXPECT_EQ(Read(file), "abc");
  fs::create_symlink(file, dir / "link.txt");
  EXPECT_EQ(OpenRegularFile((dir / "link.txt").string(), O_WRONLY | O_NOFOLLOW, 0, fd), ELOOP);
  EXPECT_EQ(OpenRegularFile((dir / "missing.txt").string(), O_RDONLY, 0, fd), ENOENT);
  EXPECT_TRUE(PathExists(file));
  EXPECT_FALSE(PathExists((dir / "missing.txt").string()));
  fs::remove_all(dir);
}
