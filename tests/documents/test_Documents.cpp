#include "documents/Documents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "diagnostics/Exception.h"
#include "documents/DocsTestSupport.h"
#include "documents/IniFiles.h"

namespace {

using DocumentTest = TempFolderTest;

std::vector<std::string> Filenames(const TDocument& doc) {
  std::vector<std::string> names;
  for (uint32_t i = 0; i < doc.ModelCount(); ++i) names.push_back(doc.GetModel(i)->GetFilename());
  return names;
}

TEST_F(DocumentTest, NewDocumentHasTwoDefaultModelsAndIsUnchanged) {
  TDocument doc;
  EXPECT_EQ(doc.GetFilename(), "Untitled.vmgr");
  EXPECT_TRUE(doc.HasDefaultFilename());
  EXPECT_FALSE(doc.GetDirty());
  EXPECT_EQ(Filenames(doc), (std::vector<std::string>{"TestModel.vm", "TestModel.vm"}));
  EXPECT_EQ(doc.FirstModelIndex(), 0);
  EXPECT_EQ(doc.LastModelIndex(), 1);

  TModel model;
  EXPECT_EQ(model.GetFilename(), "TestModel.vm");
  EXPECT_TRUE(model.GetDirty());
}

TEST_F(DocumentTest, ChangedFlagRules) {
  TDocument doc;
  TModel* added = doc.AddModel();
  EXPECT_TRUE(doc.GetDirty());  // through the new model only
  EXPECT_EQ(added->GetFilename(), "TestModel.vm");
  EXPECT_EQ(doc.GetModel(2), added);

  doc.SetDirty(false);
  doc.DeleteLastModel();
  EXPECT_FALSE(doc.GetDirty());
  EXPECT_EQ(doc.ModelCount(), 2u);

  doc.GetModel(1)->SetFilename("TestModel.vm");  // same value
  EXPECT_FALSE(doc.GetDirty());
  doc.GetModel(1)->SetFilename("testmodel.vm");  // letter case counts
  EXPECT_TRUE(doc.GetModel(1)->GetDirty());
  EXPECT_TRUE(doc.GetDirty());

  // Cleaning the document cleans its models; marking it marks only itself.
  doc.SetDirty(true);
  doc.SetDirty(false);
  EXPECT_FALSE(doc.GetModel(1)->GetDirty());
  EXPECT_FALSE(doc.GetDirty());
  doc.SetDirty(true);
  EXPECT_TRUE(doc.GetDirty());
  EXPECT_FALSE(doc.GetModel(0)->GetDirty());

  doc.ClearModels();
  EXPECT_EQ(doc.ModelCount(), 0u);
  EXPECT_EQ(doc.LastModelIndex(), -1);
  EXPECT_THROW(doc.DeleteLastModel(), EAssertionFailed);
}

TEST_F(DocumentTest, GetModelBeyondTheEndIsAnAssertionFailure) {
  TDocument doc;
  try {
    doc.GetModel(doc.ModelCount());
    FAIL() << "no error raised";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "Assertion failure");
  }
}

TEST_F(DocumentTest, HasDefaultFilenameIgnoresCaseButNotFolders) {
  const std::string lower = PathOf("untitled.VMGR");
  TDocument doc;
  doc.SaveToFile(lower);
  EXPECT_FALSE(doc.HasDefaultFilename());  // a folder in front never matches

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(FFolder);
  doc.SaveToFile("untitled.VMGR");
  EXPECT_TRUE(doc.HasDefaultFilename());
  doc.SaveToFile("Untitled.vmgr.bak");
  EXPECT_FALSE(doc.HasDefaultFilename());
  std::filesystem::current_path(cwd);
}

TEST_F(DocumentTest, LoadStopsAtTheFirstMissingOrEmptySection) {
  const std::string file = PathOf("gap.vmgr");
  Put(file,
      "[Model0]\nFilename=  north.vm  \n"
      "[Model1]\nOther=1\n"  // present, without a file name
      "[Model3]\nFilename=far.vm\n");
  TDocument doc;
  doc.LoadFromFile(file);
  EXPECT_EQ(Filenames(doc), (std::vector<std::string>{"north.vm", ""}));
  EXPECT_FALSE(doc.GetDirty());
  EXPECT_EQ(doc.GetFilename(), file);

  Put(file, "[Model0]\n; nothing but a comment\n[Model1]\nFilename=x.vm\n");
  doc.LoadFromFile(file);
  EXPECT_EQ(doc.ModelCount(), 0u);

  const std::string missing = "relative/missing.vmgr";
  doc.LoadFromFile(missing);
  EXPECT_EQ(doc.ModelCount(), 0u);
  EXPECT_EQ(doc.GetFilename(), missing);
  EXPECT_FALSE(doc.GetDirty());
}

TEST_F(DocumentTest, SaveReplacesModelSectionsAndKeepsTheRest) {
  const std::string file = PathOf("doc.vmgr");
  const std::string notes = "; my notes\n[Notes]\nText=keep me\n\n";
  Put(file, "[Model0]\nFilename=a\n[Model1]\nFilename=b\n[Model2]\nFilename=c\n" + notes +
                "[ModelsOld]\nx=1\n[model7]\nFilename=z\n");
  TDocument doc;
  doc.GetModel(0)->SetFilename("/models/north.vm");
  doc.GetModel(1)->SetFilename("");
  doc.SaveToFile(file);
  EXPECT_FALSE(doc.GetDirty());
  EXPECT_EQ(doc.GetFilename(), file);
  EXPECT_EQ(Content(file), notes + "[Model0]\nFilename=/models/north.vm\n[Model1]\nFilename=\n");

  // Any number of saves keep the other bytes as they are.
  for (int i = 0; i < 3; ++i) doc.SaveToFile(file);
  EXPECT_EQ(Content(file), notes + "[Model0]\nFilename=/models/north.vm\n[Model1]\nFilename=\n");

  TDocument loaded;
  loaded.LoadFromFile(file);
  EXPECT_EQ(Filenames(loaded), (std::vector<std::string>{"/models/north.vm", ""}));
}

TEST_F(DocumentTest, LongModelPathsAreCutOnLoad) {
  const std::string file = PathOf("long.vmgr");
  TDocument doc;
  doc.GetModel(0)->SetFilename("/" + std::string(3000, 'p'));
  doc.SaveToFile(file);
  TDocument loaded;
  loaded.LoadFromFile(file);
  EXPECT_EQ(loaded.GetModel(0)->GetFilename(), "/" + std::string(2046, 'p'));
}

// A cut name names another file: the model says so, the document names it
// in an error, and a save writes the whole name back, never the cut one.
TEST_F(DocumentTest, ACutModelPathIsAnErrorAndIsNeverSavedCut) {
  const std::string file = PathOf("long.vmgr");
  const std::string whole = "/" + std::string(2064, 'p');
  const std::string content = "[Model0]\nFilename=short.vm\n[Model1]\nFilename=" + whole + "\n";
  Put(file, content);
  TDocument doc;
  doc.LoadFromFile(file);
  ASSERT_EQ(doc.ModelCount(), 2u);
  EXPECT_FALSE(doc.GetModel(0)->GetFilenameCut());
  EXPECT_TRUE(doc.GetModel(1)->GetFilenameCut());
  EXPECT_EQ(doc.GetModel(1)->GetFilename().size(), 2047u);
  EXPECT_EQ(doc.CutFilenameError(), "Model 2: its file name in \"" + file +
                                        "\" is 2065 characters long; only 2047 are read, which would name another file");
  doc.GetModel(0)->SetFilename("other.vm");
  doc.SaveToFile(file);
  EXPECT_EQ(Content(file), "[Model0]\nFilename=other.vm\n[Model1]\nFilename=" + whole + "\n");
  // A name the user gives is his: it is saved as given, and is no error.
  doc.GetModel(1)->SetFilename("/models/b.vm");
  EXPECT_FALSE(doc.GetModel(1)->GetFilenameCut());
  EXPECT_EQ(doc.CutFilenameError(), "");
  doc.SaveToFile(file);
  EXPECT_EQ(Content(file), "[Model0]\nFilename=other.vm\n[Model1]\nFilename=/models/b.vm\n");
}

// A file that is not a document is refused, and the document stays as it
// was; an empty file, or text without any section, is a document.
TEST_F(DocumentTest, AFileThatIsNotADocumentIsRefused) {
  struct TCase {
    const char* Name;
    std::string Content;
    const char* Reason;
  };
  const std::vector<TCase> cases = {
      {"a PNG", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "it holds bytes that are not text"},
      {"Latin-1 bytes", "[Model0]\nFilename=caf\xE9.vm\n", "it holds bytes that are not text"},
      {"a model file", "years = 10\n[population north]\ninitial = 100\n", "none of its sections is a model"},
      {"sections named like models", "[Models]\nx=1\n[Model]\ny=2\n[ModelA]\nz=3\n", "none of its sections is a model"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = PathOf("not.vmgr");
    Put(file, c.Content);
    TDocument doc;
    doc.GetModel(0)->SetFilename("kept.vm");
    try {
      doc.LoadFromFile(file);
      ADD_FAILURE() << "loaded";
    } catch (const EDocumentError& e) {
      EXPECT_NE(e.Message().find("\"" + file + "\" is not a Velmar Manager document: " + c.Reason), std::string::npos)
          << e.Message();
    }
    EXPECT_EQ(Filenames(doc), (std::vector<std::string>{"kept.vm", "TestModel.vm"}));
    EXPECT_EQ(doc.GetFilename(), "Untitled.vmgr");
    EXPECT_EQ(Content(file), c.Content);
  }
  for (const std::string& content : {std::string(), std::string("just a note\n"), std::string("[model3]\nx=1\n")}) {
    const std::string file = PathOf("doc.vmgr");
    Put(file, content);
    TDocument doc;
    doc.LoadFromFile(file);
    EXPECT_EQ(doc.ModelCount(), 0u);
  }
}

TEST_F(DocumentTest, AFifoOrAHugeFileIsRefusedAtOnce) {
  const std::string fifo = PathOf("fifo.vmgr");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  TDocument doc;
  try {
    doc.LoadFromFile(fifo);  // a blocking open would wait here for good
    ADD_FAILURE() << "loaded";
  } catch (const EDocumentError& e) {
    EXPECT_EQ(e.Message(), "\"" + fifo + "\" is not a regular file (a FIFO, a device or a folder); it is not opened");
  }
  const std::string huge = PathOf("huge.vmgr");
  Put(huge, "[Model0]\nFilename=a.vm\n");
  ASSERT_EQ(::truncate(huge.c_str(), 2'000'000'000), 0);  // sparse
  const auto start = std::chrono::steady_clock::now();
  try {
    doc.LoadFromFile(huge);
    ADD_FAILURE() << "loaded";
  } catch (const EDocumentError& e) {
    EXPECT_EQ(e.Message(), "\"" + huge + "\" is too large for a document (2000000000 bytes; at most 16777216)");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(doc.ModelCount(), 2u);
}

// Model sections the list did not take are named, and a save keeps them
// byte for byte, or refuses when it would write over one.
TEST_F(DocumentTest, ModelSectionsNotReadAreNamedAndKept) {
  struct TCase {
    const char* Name;
    std::string Content;
    std::vector<std::string> Models;
    std::vector<std::string> Unread;
    bool SaveRefused;  // saving the document as loaded
  };
  const std::vector<TCase> cases = {
      {"numbered from 1", "[Model1]\nFilename=a.vm\n[Model2]\nFilename=b.vm\n", {}, {"[Model1]", "[Model2]"}, false},
      {"leading zeros", "[Model00]\nFilename=a.vm\n", {}, {"[Model00]"}, false},
      {"gaps", "[Model0]\nFilename=a.vm\n[Model2]\nFilename=c.vm\n[Model5]\nFilename=f.vm\n", {"a.vm"},
       {"[Model2]", "[Model5]"}, false},
      {"a repeated section", "[Model0]\nFilename=a.vm\n[Model0]\nFilename=second.vm\n", {"a.vm"}, {"[Model0]"}, true},
      {"an empty section first", "[Model0]\n[Model1]\nFilename=b.vm\n", {}, {"[Model1]"}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = PathOf("doc.vmgr");
    Put(file, c.Content);
    TDocument doc;
    doc.LoadFromFile(file);
    EXPECT_EQ(Filenames(doc), c.Models);
    EXPECT_EQ(doc.GetUnreadSections(), c.Unread);
    std::string names;
    for (const std::string& n : c.Unread) names += (names.empty() ? "" : ", ") + n;
    EXPECT_EQ(doc.UnreadSectionsWarning(), "\"" + file + "\" holds model sections that were not read: " + names +
                                               " (the models are [Model0], [Model1], ... without a gap); they are "
                                               "kept as they are when the document is saved");
    if (c.SaveRefused) {
      EXPECT_THROW(doc.SaveToFile(file), EDocumentError);
      EXPECT_EQ(Content(file), c.Content);
      continue;
    }
    doc.SaveToFile(file);
    // The models are written again (at the end); each section not read
    // keeps its lines as they were, and reads the same.
    const std::string saved = Content(file);
    for (const std::string& n : c.Unread) {
      const size_t at = c.Content.find(n + "\n");
      const size_t end = c.Content.find('[', at + 1);
      EXPECT_NE(saved.find(c.Content.substr(at, end - at)), std::string::npos) << saved;
    }
    TDocument again;
    again.LoadFromFile(file);
    EXPECT_EQ(Filenames(again), c.Models);
    EXPECT_EQ(again.GetUnreadSections(), c.Unread);
  }
}

TEST_F(DocumentTest, ASaveThatWouldOverwriteASectionNotReadIsRefusedButSaveAsWorks) {
  const std::string file = PathOf("doc.vmgr");
  const std::string content = "[Model0]\nFilename=a.vm\n[Model2]\nFilename=c.vm\n[Notes]\nx=1\n";
  Put(file, content);
  TDocument doc;
  doc.LoadFromFile(file);
  doc.AddModel()->SetFilename("b.vm");
  doc.SaveToFile(file);  // Model1 is new: nothing is overwritten
  EXPECT_EQ(Content(file), "[Model2]\nFilename=c.vm\n[Notes]\nx=1\n[Model0]\nFilename=a.vm\n[Model1]\nFilename=b.vm\n");
  doc.AddModel();
  try {
    doc.SaveToFile(file);
    ADD_FAILURE() << "saved";
  } catch (const EDocumentError& e) {
    EXPECT_EQ(e.Message(), "\"" + file + "\" holds model sections that were not read ([Model2]); saving the document "
                                          "into it would overwrite them. Use Save As to save it to another file");
  }
  EXPECT_TRUE(doc.GetDirty());
  const std::string other = PathOf("other.vmgr");
  doc.SaveToFile(other);
  EXPECT_EQ(Content(other), "[Model0]\nFilename=a.vm\n[Model1]\nFilename=b.vm\n[Model2]\nFilename=TestModel.vm\n");
  EXPECT_TRUE(doc.GetUnreadSections().empty());
  EXPECT_FALSE(doc.GetDirty());
}

// Line ends of an old Mac: read like LF and CR LF, and kept.
TEST_F(DocumentTest, CrOnlyLineEndsReadAndSaveAsTheOthers) {
  const std::string file = PathOf("mac.vmgr");
  Put(file, "[Model0]\rFilename=a.vm\r[Model1]\rFilename=b.vm\r");
  TDocument doc;
  doc.LoadFromFile(file);
  EXPECT_EQ(Filenames(doc), (std::vector<std::string>{"a.vm", "b.vm"}));
  EXPECT_TRUE(doc.GetUnreadSections().empty());
  doc.SaveToFile(file);
  EXPECT_EQ(Content(file), "[Model0]\rFilename=a.vm\r[Model1]\rFilename=b.vm\r");
  doc.AddModel()->SetFilename("c.vm");
  doc.SaveToFile(file);
  EXPECT_EQ(Content(file), "[Model0]\rFilename=a.vm\r[Model1]\rFilename=b.vm\r[Model2]\rFilename=c.vm\r");
}

TEST_F(DocumentTest, RefusedSaveKeepsNameAndChangedState) {
  const std::string file = PathOf("readonly.vmgr");
  Put(file, "[Model0]\nFilename=old.vm\n");
  ::chmod(file.c_str(), 0444);
  TDocument doc;
  doc.AddModel();
  try {
    doc.SaveToFile(file);
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + file);
  }
  EXPECT_EQ(doc.GetFilename(), "Untitled.vmgr");
  EXPECT_TRUE(doc.GetDirty());
  EXPECT_EQ(Content(file), "[Model0]\nFilename=old.vm\n");

  const std::string noFolder = PathOf("missing/doc.vmgr");
  EXPECT_THROW(doc.SaveToFile(noFolder), EIniFileException);
  EXPECT_EQ(doc.GetFilename(), "Untitled.vmgr");
}

}  // namespace
