// What saving leaves in the user's folders: the document and the settings
// file and nothing else (no lock file, no temporary file), and a document
// the user may write in a folder he may not is still saved.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "documents/DocsTestSupport.h"
#include "documents/Documents.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

class SaveFoldersTest : public TempFolderTest {
 protected:
  void TearDown() override {
    if (FHadRuntime)
      ::setenv("XDG_RUNTIME_DIR", FRuntime.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
    TSettings::SetSettingsPathname("");
    std::error_code ec;
    fs::permissions(FFolder, fs::perms::owner_all, fs::perm_options::add, ec);
    for (const auto& entry : fs::recursive_directory_iterator(FFolder, ec))
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    TempFolderTest::TearDown();
  }

  const char* FPreviousRuntime = std::getenv("XDG_RUNTIME_DIR");
  bool FHadRuntime = FPreviousRuntime != nullptr;
  std::string FRuntime = FPreviousRuntime ? FPreviousRuntime : "";
};

TEST_F(SaveFoldersTest, SavesLeaveOnlyTheDocumentAndTheSettingsInTheFolder) {
  struct TCase {
    const char* Name;
    bool Runtime;  // a runtime folder of the user's
  };
  for (const TCase& c : {TCase{"with $XDG_RUNTIME_DIR", true}, TCase{"without $XDG_RUNTIME_DIR", false}}) {
    SCOPED_TRACE(c.Name);
    const std::string docs = PathOf(std::string("docs-") + (c.Runtime ? "runtime" : "none"));
    fs::create_directory(docs);
    const std::string runtime = PathOf(std::string("runtime-") + (c.Runtime ? "runtime" : "none"));
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    if (c.Runtime)
      ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
    TSettings::SetSettingsPathname(docs + "/settings.ini");

    TDocument document;
    document.ClearModels();
    for (int round = 0; round < 3; ++round) {
      document.AddModel()->SetFilename("m" + std::to_string(round) + ".vm");
      document.SaveToFile(docs + "/north.vmgr");
      TSettings::SetVelmarOptions("-q" + std::to_string(round));
      TSettings::SetActivePageIndex(round);
    }
    EXPECT_EQ(Entries(docs), (std::set<std::string>{"north.vmgr", "settings.ini"}));
    EXPECT_EQ(Content(docs + "/north.vmgr"),
              "[Model0]\nFilename=m0.vm\n[Model1]\nFilename=m1.vm\n[Model2]\nFilename=m2.vm\n");
    EXPECT_EQ(TSettings::GetVelmarOptions(), "-q2");
    // The locks, where there is a runtime folder, are kept there.
    EXPECT_EQ(fs::exists(runtime + "/velmar-manager"), c.Runtime);
  }
}

// Run as a user who may not write the folder: root drops to nobody in a
// child process; anyone else makes the folder read-only.
TEST_F(SaveFoldersTest, AWritableDocumentInAReadOnlyFolderIsSavedInPlace) {
  constexpr uid_t NOBODY = 65534;
  const bool root = ::geteuid() == 0;
  const std::string folder = PathOf("read-only");
  fs::create_directory(folder);
  const std::string doc = folder + "/doc.vmgr";
  Put(doc, "; kept\n[Model0]\nFilename=old.vm\n[Other]\nx=1\n");
  ::chmod(FFolder.c_str(), 0755);
  ::chmod(doc.c_str(), 0644);
  if (root) {
    ASSERT_EQ(::chown(doc.c_str(), NOBODY, NOBODY), 0);
  }
  ::chmod(folder.c_str(), 0555);
  ::unsetenv("XDG_RUNTIME_DIR");

  enum { SAVED = 0, SAVE_FAILED = 1, NEW_FILE_SAVED = 2, CANNOT_DROP = 3 };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)) ::_exit(CANNOT_DROP);
    TDocument document;
    try {
      document.LoadFromFile(doc);
      document.GetModel(0)->SetFilename("new.vm");
      document.AddModel()->SetFilename("second.vm");
      document.SaveToFile(doc);
    } catch (...) {
      ::_exit(SAVE_FAILED);
    }
    // A new file has no place in the folder: that save still fails.
    try {
      document.SaveToFile(folder + "/new.vmgr");
      ::_exit(NEW_FILE_SAVED);
    } catch (...) {
    }
    ::_exit(SAVED);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), SAVED);
  EXPECT_EQ(Content(doc), "; kept\n[Other]\nx=1\n[Model0]\nFilename=new.vm\n[Model1]\nFilename=second.vm\n");
  EXPECT_EQ(Entries(folder), std::set<std::string>{"doc.vmgr"});
  struct stat st;
  ASSERT_EQ(::stat(doc.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

}  // namespace
