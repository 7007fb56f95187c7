// The document, the settings and the log file on a disk that fills up or
// goes read-only: every refused write raises its error and leaves the file
// as it was, byte for byte, with no temporary file beside it.
//
// The disk is a small tmpfs mounted in a private mount namespace, so nothing
// outlives the test process. Where mounting is not allowed (no privilege, no
// user namespaces) the tests skip and say why.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "documents/DocsTestSupport.h"
#include "documents/Documents.h"
#include "documents/IniFiles.h"

namespace {

namespace fs = std::filesystem;

bool WriteText(const std::string& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

// Enters a mount namespace of its own, once per process; empty when it
// worked, else why not.
std::string EnterPrivateMountNamespace() {
  static const std::string result = [] () -> std::string {
    if (::unshare(CLONE_NEWNS) != 0) {
      const int err = errno;
      // Without privilege, a user namespace may still grant mounting.
      const uid_t uid = ::geteuid();
      const gid_t gid = ::getegid();
      if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return std::string("cannot create a mount namespace: ") + std::strerror(err);
      if (!WriteText("/proc/self/setgroups", "deny") ||
          !WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
          !WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
        return "cannot map this user into a user namespace";
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("cannot make mounts private: ") + std::strerror(errno);
    return std::string();
  }();
  return result;
}

class StorageFaultTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    if (const std::string why = EnterPrivateMountNamespace(); !why.empty())
      GTEST_SKIP() << "storage faults need a tmpfs mount, and " << why;
    FDisk = PathOf("disk");
    fs::create_directory(FDisk);
    if (::mount("tmpfs", FDisk.c_str(), "tmpfs", 0, "size=256k,mode=0777") != 0)
      GTEST_SKIP() << "storage faults need a tmpfs mount, and mounting one failed: " << std::strerror(errno);
    FMounted = true;
    Logger().SetLogHandler([this](const TLogEvent& event, bool& handled) {
      FEvents.push_back(event);
      handled = true;
    });
  }
  void TearDown() override {
    Logger().SetLogHandler(nullptr);
    if (FMounted) ::umount2(FDisk.c_str(), MNT_DETACH);
    TempFolderTest::TearDown();
  }

  std::string OnDisk(const std::string& name) const { return FDisk + "/" + name; }

  // Fills the disk up to the last page, then frees pagesLeft pages.
  void FillDisk(size_t pagesLeft = 0) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const std::string filler = OnDisk("filler");
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::vector<char> block(page, 'f');
    off_t size = 0;
    while (::write(fd, block.data(), page) == static_cast<ssize_t>(page)) size += static_cast<off_t>(page);
    ASSERT_EQ(errno, ENOSPC);
    ASSERT_GE(size, static_cast<off_t>(pagesLeft * page));
    ASSERT_EQ(::ftruncate(fd, size - static_cast<off_t>(pagesLeft * page)), 0);
    ::close(fd);
  }

  void MakeDiskReadOnly() {
    ASSERT_EQ(::mount(nullptr, FDisk.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=256k"), 0)
        << std::strerror(errno);
    ASSERT_NE(::access(FDisk.c_str(), W_OK), 0);
  }

  // The names in the disk's folder other than the filler and lock files.
  std::vector<std::string> FilesOnDisk() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FDisk)) {
      const std::string name = e.path().filename().string();
      if (name != "filler" && !name.ends_with(".lock")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  void ExpectSaveRefused(TDocument& doc, const std::string& file) {
    try {
      doc.SaveToFile(file);
      ADD_FAILURE() << "no error raised";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(e.Message(), "Unable to write to " + file);
    }
  }

  std::string FDisk;
  bool FMounted = false;
  std::vector<TLogEvent> FEvents;
};

const std::string OLD_DOCUMENT = "; north and south\r\n[Model0]\r\nFilename=north.vm\r\n[Model1]\r\nFilename=south.vm\r\n";

TEST_F(StorageFaultTest, DocumentSaveOnAFullDiskKeepsTheOldFile) {
  const std::string file = OnDisk("runs.vmgr");
  Put(file, OLD_DOCUMENT);
  FillDisk();
  TDocument doc;
  doc.GetModel(0)->SetFilename("west.vm");
  ExpectSaveRefused(doc, file);
  EXPECT_EQ(Content(file), OLD_DOCUMENT);
  EXPECT_EQ(doc.GetFilename(), "Untitled.vmgr");
  EXPECT_TRUE(doc.GetDirty());
  EXPECT_EQ(FilesOnDisk(), std::vector<std::string>{"runs.vmgr"});

  // A new document that does not fit leaves no file at all.
  ExpectSaveRefused(doc, OnDisk("new.vmgr"));
  EXPECT_EQ(FilesOnDisk(), std::vector<std::string>{"runs.vmgr"});
}

TEST_F(StorageFaultTest, DocumentThatOutgrowsTheDiskIsNotHalfSaved) {
  // One free page: room for a copy of a small document, not for one of two
  // pages. Saved model by model, the first models would reach the file
  // after the old ones had been erased.
  const std::string file = OnDisk("runs.vmgr");
  Put(file, OLD_DOCUMENT);
  FillDisk(1);
  TDocument doc;
  doc.ClearModels();
  for (int i = 0; i < 3; ++i) doc.AddModel()->SetFilename("/models/" + std::string(1500, char('a' + i)) + ".vm");
  ExpectSaveRefused(doc, file);
  EXPECT_EQ(Content(file), OLD_DOCUMENT);
  EXPECT_EQ(FilesOnDisk(), std::vector<std::string>{"runs.vmgr"});

  // Once there is room the same save goes through whole.
  fs::remove(OnDisk("filler"));
  doc.SaveToFile(file);
  TDocument loaded;
  loaded.LoadFromFile(file);
  ASSERT_EQ(loaded.ModelCount(), 3u);
  EXPECT_EQ(loaded.GetModel(2)->GetFilename(), doc.GetModel(2)->GetFilename());
  EXPECT_EQ(Content(file).find("; north and south\r\n"), 0u);
}

TEST_F(StorageFaultTest, SettingsOnAFullDiskKeepTheOldFile) {
  const std::string file = OnDisk("VelmarManager.settings");
  const std::string old = "[Velmar]\nFilename=/opt/velmar/bin/velmar\nStartTimeout=30\n";
  Put(file, old);
  TSettings::SetSettingsPathname(file);
  FillDisk();
  try {
    TSettings::SetVelmarOptions(std::string(5000, 'o'));
    ADD_FAILURE() << "no error raised";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + file);
  }
  EXPECT_EQ(Content(file), old);
  EXPECT_EQ(TSettings::GetVelmarStartTimeout(), 30u);
  EXPECT_EQ(FilesOnDisk(), std::vector<std::string>{"VelmarManager.settings"});
}

TEST_F(StorageFaultTest, LogAppendOnAFullDiskLeavesNoBrokenLine) {
  // The old log ends just short of a page, so the new line fits in part:
  // the part that got in is cut off again.
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const std::string file = OnDisk("runs.log");
  const std::string old = std::string(page - 12, '-') + "\r\n";
  Put(file, old);
  FillDisk();
  EXPECT_THROW(TextUtils::AppendLineToFile("2014-03-05 14:07:09 - Info: a line that does not fit", file),
               EInOutError);
  EXPECT_EQ(Content(file), old);
  // A line that still fits in the last page is appended whole.
  TextUtils::AppendLineToFile("x", file);
  EXPECT_EQ(Content(file), old + "x\r\n");
}

TEST_F(StorageFaultTest, LinesAppendedTogetherOnAFullDiskKeepTheWholeLinesThatGotIn) {
  // 10 bytes left in the last page: the first line fits, the second in
  // part, which is cut off again.
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const std::string file = OnDisk("runs.log");
  const std::string old = std::string(page - 12, '-') + "\r\n";
  Put(file, old);
  FillDisk();
  EXPECT_THROW(TextUtils::AppendLinesToFile("abcd\r\nefgh\r\nijkl\r\n", file), EInOutError);
  EXPECT_EQ(Content(file), old + "abcd\r\n");
}

TEST_F(StorageFaultTest, ReadOnlyDiskRefusesEveryWriteAndKeepsEveryFile) {
  const std::string document = OnDisk("runs.vmgr");
  const std::string settings = OnDisk("VelmarManager.settings");
  const std::string log = OnDisk("runs.log");
  const std::string oldSettings = "[Main]\r\nDebugMessages=0\r\n";
  const std::string oldLog = "2014-03-05 14:07:09 - Info: Simulation complete\r\n";
  Put(document, OLD_DOCUMENT);
  Put(settings, oldSettings);
  Put(log, oldLog);
  TSettings::SetSettingsPathname(settings);
  MakeDiskReadOnly();

  TDocument doc;
  doc.GetModel(1)->SetFilename("east.vm");
  ExpectSaveRefused(doc, document);
  EXPECT_TRUE(doc.GetDirty());
  EXPECT_EQ(doc.GetFilename(), "Untitled.vmgr");

  EXPECT_THROW(TSettings::SetDebugMessages(true), EIniFileException);
  EXPECT_FALSE(TSettings::GetDebugMessages());

  try {
    TextUtils::AppendLineToFile("one more line", log);
    ADD_FAILURE() << "no error raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), std::strerror(EROFS));
  }

  EXPECT_EQ(Content(document), OLD_DOCUMENT);
  EXPECT_EQ(Content(settings), oldSettings);
  EXPECT_EQ(Content(log), oldLog);
  EXPECT_TRUE(FEvents.empty());
}

TEST_F(StorageFaultTest, SettingsFolderOnAReadOnlyDiskIsReportedAndGivesDefaults) {
  MakeDiskReadOnly();
  ::setenv("XDG_CONFIG_HOME", FDisk.c_str(), 1);
  TSettings::Finalize();
  TSettings::Initialize();
  EXPECT_EQ(TSettings::GetVelmarTimeStepTimeout(), 60u);
  try {
    TSettings::SetVelmarTimeStepTimeout(5);
    ADD_FAILURE() << "no error raised";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + FDisk + "/Corvane/VelmarManager/VelmarManager.settings");
  }
  ASSERT_EQ(FEvents.size(), 1u);
  EXPECT_EQ(FEvents[0].EventType, etError);
  EXPECT_EQ(FEvents[0].RawMessage,
            "Could not create directories for storing settings (\"" + FDisk + "/Corvane/VelmarManager\")");
}

TEST(ReadOnlyLogFile, IsRefusedEvenToAPrivilegedUser) {
  // No write permission bit makes a file read-only for everyone, as the
  // profile files already treat it.
  std::string folder = (fs::temp_directory_path() / "velmar-rolog-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const std::string log = folder + "/runs.log";
  { std::ofstream(log, std::ios::binary) << "kept\r\n"; }
  ::chmod(log.c_str(), 0444);
  EXPECT_THROW(TextUtils::AppendLineToFile("more", log), EInOutError);
  std::ifstream in(log, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "kept\r\n");
  fs::remove_all(folder);
}

}  // namespace
