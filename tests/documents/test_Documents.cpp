#include "documents/Documents.h"

#include <sys/stat.h>

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
