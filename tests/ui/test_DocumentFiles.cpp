// The window and the files it opens and saves: a file that is no document
// is refused and changes nothing, a document's models are all shown and
// kept whatever their number, sections the reader did not take survive a
// save, and a model path cut on reading is marked and not run.
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSpinBox>

#include "UiTestSupport.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/FModel.h"
#include "ui/Main.h"

namespace {

std::string Caption(const TMainForm& form) { return ShownCaption(form); }

std::string Models(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text += "[Model" + std::to_string(i) + "]\nFilename=m" + std::to_string(i) + ".vm\n";
  return text;
}

class DocumentFilesTest : public UiTest {
 protected:
  std::string Memo(TMainForm& form) {
    form.RunControl().FlushLog();
    return form.MessagesMemo->toPlainText().toStdString();
  }
  size_t ErrorBoxes() const {
    size_t n = 0;
    for (const TShownBox& box : FBoxes) n += box.Kind == Platform::mbError;
    return n;
  }
};

TEST_F(DocumentFilesTest, OpeningAFileThatIsNotADocumentChangesNothing) {
  const std::string good = PathOf("good.vmgr");
  WriteFile(good, "[Model0]\nFilename=north.vm\n");
  const std::string png = PathOf("picture.png");
  const std::string pngBytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10", 20);
  const std::string model = PathOf("north.vm");
  const std::string modelText = "years = 10\n[population north]\ninitial = 100\n";
  const std::string fifo = PathOf("fifo.vmgr");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  WriteFile(png, pngBytes);
  WriteFile(model, modelText);

  TMainForm form({good});
  const std::vector<std::string> recent = TSettings::GetRecentDocuments();
  ASSERT_EQ(recent.size(), 1u);
  struct TCase {
    std::string Path;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {png, "\"" + png + "\" is not a Velmar Manager document: it holds bytes that are not text"},
      {model, "\"" + model + "\" is not a Velmar Manager document: none of its sections is a model ([Model0], "
                             "[Model1], ...)"},
      {fifo, "\"" + fifo + "\" is not a regular file (a FIFO, a device or a folder); it is not opened"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    FBoxes.clear();
    FDialogAnswers = {c.Path};
    form.FileOpenAction->trigger();
    ASSERT_EQ(FBoxes.size(), 1u);
    EXPECT_EQ(FBoxes[0].Kind, Platform::mbError);
    EXPECT_EQ(FBoxes[0].Text, c.Message);
    EXPECT_EQ(Caption(form), good + " - VelmarManager");
    EXPECT_EQ(form.Document().GetFilename(), good);
    ASSERT_EQ(form.ModelForms().size(), 1u);
    EXPECT_EQ(form.ModelForms()[0]->GetFilename(), "north.vm");
    EXPECT_EQ(TSettings::GetRecentDocuments(), recent);
  }
  // Raising the count and saving writes into the document, not the refused
  // files.
  form.ModelsSpinEdit->setValue(2);
  form.FileSaveAction->trigger();
  EXPECT_EQ(ReadFile(good), "[Model0]\nFilename=north.vm\n[Model1]\nFilename=TestModel.vm\n");
  EXPECT_EQ(ReadFile(png), pngBytes);
  EXPECT_EQ(ReadFile(model), modelText);
  // An empty file is a document (without models).
  const std::string empty = PathOf("empty.vmgr");
  WriteFile(empty, "");
  FBoxes.clear();
  FDialogAnswers = {empty};
  form.FileOpenAction->trigger();
  EXPECT_EQ(ErrorBoxes(), 0u);
  EXPECT_EQ(form.Document().GetFilename(), empty);
}

TEST_F(DocumentFilesTest, ARefusedDocumentOnTheCommandLineIsNotRun) {
  const std::string png = PathOf("picture.png");
  WriteFile(png, std::string("\x89PNG\r\n\x1a\n\0\0", 10));
  TMainForm form({png, "/r"});
  ASSERT_EQ(ErrorBoxes(), 1u);
  EXPECT_EQ(FBoxes[0].Text, "\"" + png + "\" is not a Velmar Manager document: it holds bytes that are not text");
  EXPECT_FALSE(form.RunControl().GetAutorun());
  EXPECT_EQ(form.Document().GetFilename(), "Untitled.vmgr");
  EXPECT_TRUE(TSettings::GetRecentDocuments().empty());
  EXPECT_EQ(FSimulator.StartCalls, 0);
}

TEST_F(DocumentFilesTest, EveryModelOfALargeDocumentIsShownAndKept) {
  const std::string file = PathOf("large.vmgr");
  WriteFile(file, Models(150));
  TMainForm form({file});
  ASSERT_EQ(form.ModelForms().size(), 150u);
  EXPECT_EQ(form.ModelForms()[149]->GetFilename(), "m149.vm");
  EXPECT_EQ(form.ModelsSpinEdit->value(), 150);
  EXPECT_EQ(form.ModelsSpinEdit->maximum(), 150);
  // A save without edits keeps all of them.
  form.Document().SetDirty(true);
  form.FileSaveAction->trigger();
  EXPECT_EQ(ReadFile(file), Models(150));
  // One step down removes one model, the one the user removed; the box can
  // still go back up to the document's size.
  form.ModelsSpinEdit->stepDown();
  form.FileSaveAction->trigger();
  EXPECT_EQ(ReadFile(file), Models(149));
  EXPECT_EQ(form.ModelsSpinEdit->maximum(), 150);
  form.ModelsSpinEdit->setValue(150);
  EXPECT_EQ(form.ModelForms().size(), 150u);
  EXPECT_EQ(form.ModelForms()[149]->GetFilename(), "m149.vm");
  // A new document has the usual range again.
  FBoxAnswers = {Platform::mrNo};
  form.FileNewAction->trigger();
  EXPECT_EQ(form.ModelsSpinEdit->maximum(), 99);
}

TEST_F(DocumentFilesTest, SectionsNotReadAreNamedAndASaveOverThemIsRefused) {
  const std::string file = PathOf("gaps.vmgr");
  const std::string content = "[Model0]\nFilename=a.vm\n[Model2]\nFilename=c.vm\n[Model5]\nFilename=f.vm\n";
  WriteFile(file, content);
  TMainForm form({file});
  EXPECT_NE(Memo(form).find(" - Warn: \"" + file + "\" holds model sections that were not read: [Model2], [Model5] "
                            "(the models are [Model0], [Model1], ... without a gap); they are kept as they are when "
                            "the document is saved"),
            std::string::npos)
      << Memo(form);
  ASSERT_EQ(form.ModelForms().size(), 1u);
  form.ModelsSpinEdit->setValue(3);
  form.FileSaveAction->trigger();
  ASSERT_EQ(ErrorBoxes(), 1u);
  EXPECT_EQ(FBoxes.back().Text, "\"" + file + "\" holds model sections that were not read ([Model2]); saving the "
                                "document into it would overwrite them. Use Save As to save it to another file");
  EXPECT_EQ(ReadFile(file), content);
  EXPECT_TRUE(form.Document().GetDirty());
  // Save As goes to another file; the first keeps what it held.
  FDialogAnswers = {PathOf("copy.vmgr")};
  form.FileSaveAsAction->trigger();
  EXPECT_EQ(ReadFile(PathOf("copy.vmgr")),
            "[Model0]\nFilename=a.vm\n[Model1]\nFilename=TestModel.vm\n[Model2]\nFilename=TestModel.vm\n");
  EXPECT_EQ(ReadFile(file), content);
}

TEST_F(DocumentFilesTest, ACutModelPathIsMarkedAndNotRun) {
  const std::string file = PathOf("long.vmgr");
  const std::string whole = PathOf(std::string(2100, 'p') + ".vm");
  const std::string content = "[Model0]\nFilename=short.vm\n[Model1]\nFilename=" + whole + "\n";
  WriteFile(file, content);
  TMainForm form({file});
  ASSERT_EQ(form.ModelForms().size(), 2u);
  EXPECT_FALSE(form.ModelForms()[0]->GetFilenameCut());
  EXPECT_TRUE(form.ModelForms()[1]->GetFilenameCut());
  EXPECT_EQ(form.ModelForms()[1]->GroupBox()->title(), "Model 2 - file name cut on reading");
  const std::string error = "Model 2: its file name in \"" + file + "\" is " + std::to_string(whole.size()) +
                            " characters long; only 2047 are read, which would name another file";
  EXPECT_NE(Memo(form).find(" - Error: " + error), std::string::npos) << Memo(form);
  form.SimulateStartAction->trigger();
  EXPECT_EQ(FSimulator.StartCalls, 0);
  EXPECT_NE(Memo(form).find("Simulation failed"), std::string::npos);
  EXPECT_NE(Memo(form).find(error), std::string::npos);
  // A save writes the whole path back, not the cut one.
  form.Document().SetDirty(true);
  form.FileSaveAction->trigger();
  EXPECT_EQ(ReadFile(file), content);
  // Chosen again, the name is the user's and the mark goes.
  form.ModelForms()[1]->SetFilename(PathOf("m.vm"));
  form.ControlsToDocument();
  form.DocumentToControls();
  EXPECT_FALSE(form.ModelForms()[1]->GetFilenameCut());
  form.SimulateStartAction->trigger();
  EXPECT_EQ(FSimulator.StartCalls, 1);
}

}  // namespace
