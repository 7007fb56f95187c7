#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QApplication>

#include "UiTestSupport.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"

namespace {

// One application object for the whole test program, made before the
// first test runs and kept to the end.
class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    FApplication = new QApplication(argc, argv);
  }
  void TearDown() override {
    delete FApplication;
    FApplication = nullptr;
  }

 private:
  QApplication* FApplication = nullptr;
};

[[maybe_unused]] ::testing::Environment* const TheQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

int TFakeSimulator::ModelCountOf(TDocument& document) { return static_cast<int>(document.ModelCount()); }

void UiTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmar-ui-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  FDir = pattern;
  // A settings file there already, as after the first start (a window
  // opened without one is the first start and opens on the Settings tab).
  WriteFile(PathOf("VelmarManager.settings"), "");
  TSettings::SetSettingsPathname(PathOf("VelmarManager.settings"));
  Platform::SetMessageBoxHook([this](Platform::TMsgBoxKind kind, const std::string& text, Platform::TMsgBoxButtons b) {
    FBoxes.push_back({kind, text, b});
    if (FBoxAnswers.empty()) return b == Platform::mbOK ? Platform::mrOk : Platform::mrCancel;
    const Platform::TMsgBoxResult answer = FBoxAnswers.front();
    FBoxAnswers.pop_front();
    return answer;
  });
  SetFileDialogHook([this](TFileDialogKind kind, const std::string& fileName) -> std::optional<std::string> {
    FDialogs.push_back({kind, fileName});
    if (FDialogAnswers.empty()) return std::nullopt;
    std::optional<std::string> answer = FDialogAnswers.front();
    FDialogAnswers.pop_front();
    return answer;
  });
  FPreviousSimulator = SetSimulator(&FSimulator);
}

void UiTest::TearDown() {
  SetSimulator(FPreviousSimulator);
  SetFileDialogHook(nullptr);
  Platform::SetMessageBoxHook(nullptr);
  Logger().SetLogHandler(nullptr);
  TSettings::SetSettingsPathname("");
  std::error_code ec;
  std::filesystem::permissions(FDir, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(FDir, ec);
}

void UiTest::WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string UiTest::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool UiTest::Exists(const std::string& path) { return std::filesystem::exists(path); }
