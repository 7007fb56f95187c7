#include "platform/ProfileFile.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

using namespace Platform;
namespace fs = std::filesystem;

namespace {

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeFolder(fs::temp_directory_path()); }

  // The many-writes test runs in memory where it can: every write syncs,
  // which on a disk costs milliseconds and adds nothing to what it proves.
  void UseMemoryFolder() {
    std::error_code ec;
    fs::remove_all(FFolder, ec);
    MakeFolder(::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path());
  }

  void MakeFolder(const fs::path& parent) {
    std::string tmpl = (parent / "velmar-profile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    FFolder = tmpl;
    FFile = FFolder + "/test.ini";
  }
  void TearDown() override {
    ProfileFileTesting::SetWriteHook(nullptr);
    std::error_code ec;
    fs::permissions(FFolder, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(FFolder, ec);
  }

  void Put(const std::string& content) {
    std::ofstream(FFile, std::ios::binary | std::ios::trunc) << content;
  }
  std::string Content() const {
    std::ifstream in(FFile, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Get(std::string_view section, std::string_view key, std::string_view def = "<none>") {
    return GetPrivateProfileString(section, key, def, FFile);
  }
  void Write(std::string_view section, std::string_view key, std::string_view value) {
    WritePrivateProfileString(section, key, value, FFile);
  }

  std::string FFolder;
  std::string FFile;
};

TEST_F(ProfileFileTest, ReadingFollowsProfileRules) {
  Put("\xEF\xBB\xBF[First]\n"
      "Plain=one\n"
      "  Spaced  =   two words  \r\n"
      "Quoted=\"  three  \"\n"
      "Single='four'\n"
      "Mismatched=\"five'\n"
      "; Comment=not a key\n"
      "NoEquals\n"
      "Empty=\n"
      "Dup=first\n"
      "Dup=second\n"
      "\n"
      "  [ Second ]  trailing text\n"
      "key=2\n"
      "[first]\n"
      "Plain=shadowed\n"
      "Extra=later\n");
  EXPECT_EQ(Get("First", "Plain"), "one");  // BOM skipped before the first header
  EXPECT_EQ(Get("FIRST", "PLAIN"), "one");
  EXPECT_EQ(Get(" first ", " plain "), "one");
  EXPECT_EQ(Get("First", "Spaced"), "two words");
  EXPECT_EQ(Get("First", "Quoted"), "  three  ");
  EXPECT_EQ(Get("First", "Single"), "four");
  EXPECT_EQ(Get("First", "Mismatched"), "\"five'");
  EXPECT_EQ(Get("First", "; Comment"), "<none>");
  EXPECT_EQ(Get("First", "NoEquals"), "<none>");
  EXPECT_EQ(Get("First", "Empty"), "");
  EXPECT_EQ(Get("First", "Dup"), "first");
  EXPECT_EQ(Get("second", "KEY"), "2");
  // The first section of a name is the one that counts.
  EXPECT_EQ(Get("First", "Extra"), "<none>");
  EXPECT_EQ(Get("Missing", "Plain"), "<none>");

  EXPECT_EQ(GetPrivateProfileSectionNames(FFile), (std::vector<std::string>{"First", "Second"}));
  EXPECT_EQ(GetPrivateProfileSectionKeys("first", FFile),
            (std::vector<std::string>{"Plain", "Spaced", "Quoted", "Single", "Mismatched", "Empty",
                                      "Dup", "Dup"}));
  EXPECT_TRUE(GetPrivateProfileSectionKeys("Nowhere", FFile).empty());
}

TEST_F(ProfileFileTest, MissingFileReadsEmpty) {
  EXPECT_EQ(Get("A", "b", "dflt"), "dflt");
  EXPECT_TRUE(GetPrivateProfileSectionNames(FFile).empty());
  EXPECT_TRUE(GetPrivateProfileSectionKeys("A", FFile).empty());
  EXPECT_FALSE(fs::exists(FFile));
}

// Reads reuse the parsed file; every way of changing it must still show at
// the next read.
TEST_F(ProfileFileTest, ReadsSeeEveryChangeOfTheFile) {
  auto overwriteInPlace = [&](const std::string& value) {
    const int fd = ::open(FFile.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, value.data(), value.size(), 6), static_cast<ssize_t>(value.size()));
    ::close(fd);
  };

  // Changed within the time stamps' granularity of the read before: same
  // inode, size and times, so only the quiet-time rule tells.
  // (Another program's change shows from a millisecond after our last
  // look at the file.)
  for (int i = 0; i < 50; ++i) {
    Put("[S]\nk=aaaa\n");
    ASSERT_EQ(Get("S", "k"), "aaaa");
    ::usleep(1'500);
    overwriteInPlace("bbbb");
    ASSERT_EQ(Get("S", "k"), "bbbb") << "pass " << i;
  }

  // With reuse allowed at once, a change in place, a replacement by rename,
  // our own write and a deletion each show.
  const int64_t margin = ProfileFileTesting::SetReadCacheMarginNs(0);
  Put("[S]\nk=cccc\n");
  ::usleep(30'000);
  EXPECT_EQ(Get("S", "k"), "cccc");
  EXPECT_EQ(Get("S", "k"), "cccc");
  ::usleep(30'000);
  overwriteInPlace("dddd");
  EXPECT_EQ(Get("S", "k"), "dddd");
  const std::string other = FFolder + "/other.ini";
  std::ofstream(other, std::ios::binary) << "[S]\nk=eeee\n";
  ::usleep(1'500);
  ASSERT_EQ(::rename(other.c_str(), FFile.c_str()), 0);
  EXPECT_EQ(Get("S", "k"), "eeee");
  Write("S", "k", "ffff");  // our own write shows at once
  EXPECT_EQ(Get("S", "k"), "ffff");
  ::usleep(1'500);
  ASSERT_TRUE(fs::remove(FFile));
  EXPECT_EQ(Get("S", "k"), "<none>");
  ProfileFileTesting::SetReadCacheMarginNs(margin);
}

// A file read again and again while nobody changes it is opened once, also
// straight after it was written (no quiet time to wait out); each change,
// however made, opens it once more.
TEST_F(ProfileFileTest, AnUnchangedFileIsNotOpenedAgain) {
  Put("[S]\nk=one\n");
  ASSERT_EQ(Get("S", "k"), "one");
  const uint64_t opened = ProfileFileTesting::ProfileFileReads();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Get("S", "k"), "one");
  EXPECT_EQ(ProfileFileTesting::ProfileFileReads(), opened);

  // In place, with the same size: only the kernel's word tells (looked at
  // once a millisecond).
  const int fd = ::open(FFile.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "two", 3, 6), 3);
  ::close(fd);
  ::usleep(1'500);
  EXPECT_EQ(Get("S", "k"), "two");
  const uint64_t reopened = ProfileFileTesting::ProfileFileReads();
  EXPECT_GT(reopened, opened);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(Get("S", "k"), "two");
  EXPECT_EQ(ProfileFileTesting::ProfileFileReads(), reopened);

  // Replaced by rename, as editors save.
  const std::string other = FFolder + "/other.ini";
  std::ofstream(other, std::ios::binary) << "[S]\nk=three\n";
  ASSERT_EQ(::rename(other.c_str(), FFile.c_str()), 0);
  ::usleep(1'500);
  EXPECT_EQ(Get("S", "k"), "three");
  // A file of another name coming and going in the folder changes nothing.
  std::ofstream(other, std::ios::binary) << "x";
  ASSERT_TRUE(fs::remove(other));
  ::usleep(1'500);
  const uint64_t afterRename = ProfileFileTesting::ProfileFileReads();
  EXPECT_EQ(Get("S", "k"), "three");
  EXPECT_EQ(ProfileFileTesting::ProfileFileReads(), afterRename);
}

TEST_F(ProfileFileTest, LongValuesAreCutWithoutSplittingCharacters) {
  const std::string a2046(2046, 'a');
  Put("[S]\nlong=" + std::string(3000, 'x') + "\n" +
      "twoByte=" + a2046 + "\xC3\xA9\xC3\xA9\n" +     // é counts one unit each
      "surrogate=" + a2046 + "\xF0\x9F\x98\x80\n");  // needs two units, does not fit
  EXPECT_EQ(Get("S", "long"), std::string(2047, 'x'));
  EXPECT_EQ(Get("S", "twoByte"), a2046 + "\xC3\xA9");
  EXPECT_EQ(Get("S", "surrogate"), a2046);
}

TEST_F(ProfileFileTest, WritesKeepEveryOtherByte) {
  const std::string original =
      "; settings written by hand\n"
      "\n"
      "[Alpha]\n"
      "  Keep = this one \n"
      "Value=old\n"
      "; trailing comment of Alpha\n"
      "\n"
      "[Unknown]\n"
      "Something=else\n"
      "# hash comment\n";
  Put(original);

  Write("alpha", "VALUE", "new");  // replaced in place
  Write("Alpha", "Added", "1");    // after the last key of its section
  Write("Beta", "First", "x y");   // new section at the end
  Write("Beta", "Second", "");
  EXPECT_EQ(Content(),
            "; settings written by hand\n"
            "\n"
            "[Alpha]\n"
            "  Keep = this one \n"
            "VALUE=new\n"
            "Added=1\n"
            "; trailing comment of Alpha\n"
            "\n"
            "[Unknown]\n"
            "Something=else\n"
            "# hash comment\n"
            "[Beta]\n"
            "First=x y\n"
            "Second=\n");

  // Deleting what was added brings the original bytes back.
  WritePrivateProfileString("Beta", std::nullopt, std::nullopt, FFile);
  WritePrivateProfileString("ALPHA", "added", std::nullopt, FFile);
  Write("Alpha", "Value", "old");
  EXPECT_EQ(Content(), original);
}

TEST_F(ProfileFileTest, NewLinesFollowTheFile) {
  Put("[A]\r\nx=1");  // CR LF, no line break at the end
  Write("A", "y", "2");
  Write("B", "z", "3");
  EXPECT_EQ(Content(), "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");

  fs::remove(FFile);
  Write("New", "k", "v");
  EXPECT_EQ(Content(), "[New]\nk=v\n");

  Put("[Empty]\n[Other]\nq=1\n");
  Write("Empty", "k", "v");
  EXPECT_EQ(Content(), "[Empty]\nk=v\n[Other]\nq=1\n");
}

TEST_F(ProfileFileTest, EraseSectionRemovesEveryCopyUpToItsLastKey) {
  Put("top=1\n[Gone]\na=1\n; inside\nb=1\n; about Stay\n\n[Stay]\nb=2\n[GONE]\nc=3\n[gone]\n");
  WritePrivateProfileString("gone", std::nullopt, std::nullopt, FFile);
  EXPECT_EQ(Content(), "top=1\n; about Stay\n\n[Stay]\nb=2\n");

  // Deleting what is not there neither fails nor creates a file.
  const std::string other = FFolder + "/other.ini";
  WritePrivateProfileString("X", "y", std::nullopt, other);
  WritePrivateProfileString("X", std::nullopt, std::nullopt, other);
  EXPECT_FALSE(fs::exists(other));
}

TEST_F(ProfileFileTest, RefusedWritesRaiseAndChangeNothing) {
  Put("[A]\nx=1\n");
  ::chmod(FFile.c_str(), 0444);
  EXPECT_THROW(Write("A", "x", "2"), EProfileWriteError);
  EXPECT_THROW(WritePrivateProfileString("A", std::nullopt, std::nullopt, FFile), EProfileWriteError);
  EXPECT_EQ(Content(), "[A]\nx=1\n");

  EXPECT_THROW(WritePrivateProfileString("A", "x", "1", FFolder + "/no/such/dir/f.ini"),
               EProfileWriteError);

  // Line breaks and other structure-breaking names are refused, not written.
  ::chmod(FFile.c_str(), 0644);
  EXPECT_THROW(Write("A", "x", "1\n[Injected]"), EProfileWriteError);
  EXPECT_THROW(Write("A", "a=b", "1"), EProfileWriteError);
  EXPECT_THROW(Write("A]", "x", "1"), EProfileWriteError);
  EXPECT_THROW(Write("A", "  ", "1"), EProfileWriteError);
  EXPECT_EQ(Content(), "[A]\nx=1\n");
  // Of several writes stored as one, a refused one stops them all.
  EXPECT_THROW(WritePrivateProfileStrings({{"A", "x", "3"}, {"B", "y", "1\n"}}, FFile), EProfileWriteError);
  EXPECT_EQ(Content(), "[A]\nx=1\n");
}

TEST_F(ProfileFileTest, WriteKeepsPermissionsAndSymbolicLinks) {
  Put("[A]\nx=1\n");
  ::chmod(FFile.c_str(), 0640);
  const std::string link = FFolder + "/link.ini";
  fs::create_symlink(FFile, link);
  WritePrivateProfileString("A", "x", "2", link);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Content(), "[A]\nx=2\n");
  struct stat st;
  ASSERT_EQ(::stat(FFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // No temporary file and no lock file is left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(FFolder)) ++entries;
  EXPECT_EQ(entries, 2);  // file, link
}

TEST_F(ProfileFileTest, TwoProcessesWritingDifferentKeysLoseNothing) {
  constexpr int WRITES = 1000;
  UseMemoryFolder();
  const char* previous = std::getenv("XDG_RUNTIME_DIR");
  const std::string kept = previous ? previous : "";
  // The writers meet at a lock in the user's runtime folder, or, without
  // one, at the file's folder.
  for (const bool runtime : {true, false}) {
    SCOPED_TRACE(runtime ? "lock in the runtime folder" : "lock on the folder");
    const std::string runtimeFolder = FFolder + "/runtime";
    fs::create_directory(runtimeFolder);
    if (runtime)
      ::setenv("XDG_RUNTIME_DIR", runtimeFolder.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
    Put("; shared\n[Shared]\n");
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
      children[c] = ::fork();
      ASSERT_GE(children[c], 0);
      if (children[c] == 0) {
        int status = 0;
        try {
          for (int i = 0; i < WRITES; ++i)
            Write("Shared", "P" + std::to_string(c) + "_" + std::to_string(i), std::to_string(i));
        } catch (...) {
          status = 1;
        }
        ::_exit(status);
      }
    }
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<std::string> keys = GetPrivateProfileSectionKeys("Shared", FFile);
    EXPECT_EQ(keys.size(), 2u * WRITES);
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < WRITES; i += 97)
        EXPECT_EQ(Get("Shared", "P" + std::to_string(c) + "_" + std::to_string(i)), std::to_string(i));
    EXPECT_EQ(Content().substr(0, 18), "; shared\n[Shared]\n");
    EXPECT_EQ(fs::exists(runtimeFolder + "/velmar-manager"), runtime);
    fs::remove_all(runtimeFolder);
  }
  if (previous)
    ::setenv("XDG_RUNTIME_DIR", kept.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

// Runs one write in a child that kills itself at the given stage.
int WriteAndDieAt(ProfileFileTesting::TWriteStage stage, const std::string& file,
                  const std::string& value) {
  const pid_t child = ::fork();
  if (child == 0) {
    static ProfileFileTesting::TWriteStage dieAt;
    dieAt = stage;
    ProfileFileTesting::SetWriteHook([](ProfileFileTesting::TWriteStage s) {
      if (s == dieAt) ::raise(SIGKILL);
    });
    WritePrivateProfileString("Big", "Value", value, file);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST_F(ProfileFileTest, ProcessKilledMidWriteLeavesOldOrNewFile) {
  const std::string oldContent = "[Big]\nValue=" + std::string(100000, 'o') + "\n[Tail]\nend=1\n";
  const std::string newContent = "[Big]\nValue=" + std::string(100000, 'n') + "\n[Tail]\nend=1\n";
  Put(oldContent);

  for (auto stage : {ProfileFileTesting::wsTempPartlyWritten, ProfileFileTesting::wsTempComplete}) {
    const int status = WriteAndDieAt(stage, FFile, std::string(100000, 'n'));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(Content(), oldContent);
  }
  const int status = WriteAndDieAt(ProfileFileTesting::wsRenamed, FFile, std::string(100000, 'n'));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(Content(), newContent);

  // The dead writer's lock went with it.
  Write("Tail", "end", "2");
  EXPECT_EQ(Get("Tail", "end"), "2");
}

}  // namespace

namespace {

// The UTF-16 bytes (little-endian unless told) of ASCII text, with a
// byte-order mark.
std::string Utf16(std::string_view text, bool bigEndian = false) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : text) {
    out += bigEndian ? '\0' : c;
    out += bigEndian ? c : '\0';
  }
  return out;
}

}  // namespace

TEST_F(ProfileFileTest, CrOnlyLineEndsAreLinesAndNewLinesFollowThem) {
  Put("[Velmar]\rFilename=/opt/velmar\rStartTimeout=30\r[Main]\rDebugMessages=0\r");
  EXPECT_EQ(Get("Velmar", "Filename"), "/opt/velmar");
  EXPECT_EQ(Get("Velmar", "StartTimeout"), "30");
  EXPECT_EQ(Get("Main", "DebugMessages"), "0");
  Write("Velmar", "Options", "-q");
  Write("ExternalProcessor", "Filename", "/bin/p");
  EXPECT_EQ(Content(),
            "[Velmar]\rFilename=/opt/velmar\rStartTimeout=30\rOptions=-q\r[Main]\rDebugMessages=0\r"
            "[ExternalProcessor]\rFilename=/bin/p\r");
  // Mixed with LF and CR LF, each line keeps its own end.
  Put("[A]\r\nx=1\ry=2\nz=3");
  EXPECT_EQ(Get("A", "y"), "2");
  EXPECT_EQ(Get("A", "z"), "3");
  Write("A", "y", "9");
  EXPECT_EQ(Content(), "[A]\r\nx=1\ry=9\nz=3");
  // A key deleted between a lone CR and an empty LF line: the empty line
  // stays a line of its own.
  Put("[A]\rx=1\n\n[B]\ry=2\n");
  WritePrivateProfileString("A", "x", std::nullopt, FFile);
  EXPECT_EQ(Content(), "[A]\r\n\n[B]\ry=2\n");
  EXPECT_EQ(Get("B", "y"), "2");
}

TEST_F(ProfileFileTest, Utf16FilesAreReadAndStayUtf16) {
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    Put(Utf16("[Velmar]\r\nFilename=/opt/velmar\r\n", bigEndian));
    EXPECT_EQ(Get("Velmar", "Filename"), "/opt/velmar");
    Write("Velmar", "StartTimeout", "30");
    EXPECT_EQ(Content(), Utf16("[Velmar]\r\nFilename=/opt/velmar\r\nStartTimeout=30\r\n", bigEndian));
    EXPECT_EQ(Get("Velmar", "StartTimeout"), "30");
  }
  // Beyond plain ASCII: a character outside the basic plane is one
  // surrogate pair, and comes back as one.
  Put(std::string("\xFF\xFE[\0A\0]\0\n\0k\0=\0\x00\xD8\x00\xDF\n\0", 20));
  EXPECT_EQ(Get("A", "k"), "\xF0\x90\x8C\x80");
  Write("A", "j", "\xC3\xA9");
  EXPECT_EQ(Content(), std::string("\xFF\xFE[\0A\0]\0\n\0k\0=\0\x00\xD8\x00\xDF\n\0j\0=\0\xE9\0\n\0", 28));
}

TEST_F(ProfileFileTest, FilesThatAreNotTextAreReadButNeverWritten) {
  const std::vector<std::string> contents = {
      // UTF-16 without its byte-order mark: NUL bytes everywhere.
      std::string("[\0M\0a\0i\0n\0]\0\n\0", 14),
      // A lone surrogate, and an odd number of bytes.
      std::string("\xFF\xFE[\0A\0]\0\n\0k\0=\0\x00\xD8\n\0", 18),
      std::string("\xFF\xFE[\0A\0]\0\n", 9),
  };
  for (const std::string& content : contents) {
    Put(content);
    EXPECT_THROW(Write("Main", "DebugMessages", "1"), EProfileWriteError);
    EXPECT_EQ(Content(), content);
    EXPECT_FALSE(CheckProfileFile(FFile).Writable);
  }
  Put("[Main]\nDebugMessages=1\n");
  const TProfileFileCheck text = CheckProfileFile(FFile);
  EXPECT_EQ(text.Error, 0);
  EXPECT_TRUE(text.Text);
  EXPECT_TRUE(text.Writable);
  EXPECT_EQ(text.Size, 23u);
  // Latin-1 is written into (its bytes stay), but is no UTF-8 text.
  Put("[Main]\nName=caf\xE9\n");
  EXPECT_FALSE(CheckProfileFile(FFile).Text);
  EXPECT_TRUE(CheckProfileFile(FFile).Writable);
}

TEST_F(ProfileFileTest, AFileOverTheLimitFailsAtOnceWithoutBeingRead) {
  // Sparse: 2 GB long, nothing on the disk.
  {
    std::ofstream(FFile) << "[Velmar]\nFilename=/opt/velmar\n";
  }
  ASSERT_EQ(::truncate(FFile.c_str(), 2'000'000'000), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get("Velmar", "Filename"), "<none>");
  const TProfileFileCheck check = CheckProfileFile(FFile);
  EXPECT_EQ(check.Error, EFBIG);
  EXPECT_EQ(check.Size, 2'000'000'000u);
  EXPECT_THROW(Write("Velmar", "Options", "-q"), EProfileWriteError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // At the limit it is still read.
  ASSERT_EQ(::truncate(FFile.c_str(), static_cast<off_t>(PROFILE_MAX_FILE_SIZE)), 0);
  EXPECT_EQ(Get("Velmar", "Filename"), "/opt/velmar");
}

TEST_F(ProfileFileTest, AFifoReadsAsMissingAndIsNotWritten) {
  ASSERT_EQ(::mkfifo(FFile.c_str(), 0644), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // A blocking open would wait for a writer for good.
    ::alarm(5);
    const bool ok = GetPrivateProfileString("Main", "DebugMessages", "d", FFile) == "d" &&
                    CheckProfileFile(FFile).Error == NOT_REGULAR_FILE_ERROR;
    bool refused = false;
    try {
      WritePrivateProfileString("Main", "DebugMessages", "1", FFile);
    } catch (const EProfileWriteError& e) {
      refused = std::string(e.what()).find("Not a regular file") != std::string::npos;
    }
    ::_exit(ok && refused ? 7 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}

TEST_F(ProfileFileTest, StaleTemporaryFilesOfGoneProcessesAreRemoved) {
  // A process that has ended: its pid is free (until reused, when its
  // files are left alone).
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  const std::string stale = TempFileName(FFile, gone, 0), stale2 = TempFileName(FFile, gone, 17);
  const std::string live = TempFileName(FFile, ::getppid(), 0);
  const std::string other = FFolder + "/.test.ini.tmp" + std::to_string(gone) + "-x";
  const std::string otherFile = FFolder + "/.other.ini.tmp" + std::to_string(gone) + "-0";
  for (const std::string& f : {stale, stale2, live, other, otherFile}) std::ofstream(f) << "half a file";
  EXPECT_EQ(stale, FFolder + "/.test.ini.tmp" + std::to_string(gone) + "-0");
  Write("Main", "DebugMessages", "1");
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_FALSE(fs::exists(stale2));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::exists(otherFile));
  EXPECT_EQ(Content(), "[Main]\nDebugMessages=1\n");
}

TEST_F(ProfileFileTest, TheUncutValueTellsAReaderThatAValueWasCut) {
  const std::string value = "/" + std::string(2064, 'p');
  Put("[Model0]\nFilename=\"" + value + "\"\nShort=  x  \n");
  EXPECT_EQ(Get("Model0", "Filename").size(), PROFILE_MAX_VALUE_LENGTH);
  EXPECT_EQ(GetPrivateProfileUncutString("Model0", "Filename", FFile), value);
  EXPECT_EQ(GetPrivateProfileUncutString("Model0", "Short", FFile), "x");
  EXPECT_EQ(GetPrivateProfileUncutString("Model0", "Missing", FFile), std::nullopt);
  EXPECT_EQ(GetPrivateProfileUncutString("Model1", "Filename", FFile), std::nullopt);
}

TEST_F(ProfileFileTest, SectionHeadersListEveryCopyWithItsKeys) {
  Put("[Model0]\nFilename=a\n[Other]\n; note\n[model0]\nFilename=b\nx=1\n");
  const std::vector<TProfileSectionHeader> headers = GetPrivateProfileSectionHeaders(FFile);
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[0].Name, "Model0");
  EXPECT_EQ(headers[0].KeyCount, 1u);
  EXPECT_EQ(headers[1].Name, "Other");
  EXPECT_EQ(headers[1].KeyCount, 0u);
  EXPECT_EQ(headers[2].Name, "model0");
  EXPECT_EQ(headers[2].KeyCount, 2u);
}
