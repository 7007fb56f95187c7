#include "documents/SettingsUnit.h"

#include <sys/stat.h>

#include <vector>

#include "diagnostics/Logging.h"
#include "documents/DocsTestSupport.h"
#include "documents/IniFiles.h"

namespace {

class SettingsTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    std::filesystem::create_directories(std::filesystem::path(SettingsFile()).parent_path());
    Logger().SetLogHandler([this](const TLogEvent& event, bool& handled) {
      FEvents.push_back(event);
      handled = true;
    });
  }
  void TearDown() override {
    Logger().SetLogHandler(nullptr);
    TempFolderTest::TearDown();
  }

  std::string SettingsFile() const {
    return FFolder + "/config/Corvane/VelmarManager/VelmarManager.settings";
  }

  std::vector<TLogEvent> FEvents;
};

void ExpectDefaults() {
  EXPECT_EQ(TSettings::GetActivePageIndex(), 0);
  EXPECT_TRUE(TSettings::GetDebugMessages());
  EXPECT_EQ(TSettings::GetVelmarFilename(), "");
  EXPECT_EQ(TSettings::GetVelmarOptions(), "");
  EXPECT_FALSE(TSettings::GetVelmarSpecifiedOptionsOnly());
  EXPECT_EQ(TSettings::GetVelmarStartTimeout(), 60u);
  EXPECT_EQ(TSettings::GetVelmarTimeStepTimeout(), 60u);
  EXPECT_TRUE(TSettings::GetUseExternalProcessor());
  EXPECT_EQ(TSettings::GetExternalProcessorFilename(), "");
  EXPECT_EQ(TSettings::GetExternalProcessorParameters(), "");
  EXPECT_EQ(TSettings::GetExternalProcessorCloseCommand(), "");
  EXPECT_EQ(TSettings::GetExternalProcessorEnvironment(), "");
}

TEST_F(SettingsTest, EveryGetterGivesItsDefaultWithoutAFile) {
  std::filesystem::remove_all(FFolder + "/config");
  ExpectDefaults();
  EXPECT_EQ(TSettings::GetSettingsPathname(), SettingsFile());
  EXPECT_EQ(TSettings::GetIniFilename(), SettingsFile());
  EXPECT_TRUE(std::filesystem::is_directory(FFolder + "/config/Corvane/VelmarManager"));
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
  EXPECT_TRUE(FEvents.empty());
}

TEST_F(SettingsTest, ValuesRoundTripUnderTheirSectionsAndKeys) {
  TSettings::SetVelmarFilename("/opt/velmar/bin/velmar");
  TSettings::SetVelmarOptions("/quiet /log=\"x y\"");
  TSettings::SetVelmarSpecifiedOptionsOnly(true);
  TSettings::SetVelmarStartTimeout(90);
  TSettings::SetVelmarTimeStepTimeout(15);
  TSettings::SetUseExternalProcessor(false);
  TSettings::SetExternalProcessorFilename("/usr/bin/dispersal");
  TSettings::SetExternalProcessorParameters("-v");
  TSettings::SetExternalProcessorCloseCommand("quit\\now");
  TSettings::SetExternalProcessorEnvironment("A=1\r\nB=C:\\x");
  TSettings::SetDebugMessages(false);
  TSettings::SetActivePageIndex(3);

  EXPECT_EQ(Content(SettingsFile()),
            "[Velmar]\n"
            "Filename=/opt/velmar/bin/velmar\n"
            "Options=/quiet /log=\"x y\"\n"
            "SpecifiedOptionsOnly=1\n"
            "StartTimeout=90\n"
            "TimeStepTimeout=15\n"
            "[ExternalProcessor]\n"
            "UseExternalProcessor=0\n"
            "Filename=/usr/bin/dispersal\n"
            "Parameters=-v\n"
            "CloseCommand=quit\\now\n"
            "Environment=A=1\\r\\nB=C:\\\\x\n"
            "[Main]\n"
            "DebugMessages=0\n"
            "ActivePage=3\n");

  EXPECT_EQ(TSettings::GetVelmarFilename(), "/opt/velmar/bin/velmar");
  EXPECT_EQ(TSettings::GetVelmarOptions(), "/quiet /log=\"x y\"");
  EXPECT_TRUE(TSettings::GetVelmarSpecifiedOptionsOnly());
  EXPECT_EQ(TSettings::GetVelmarStartTimeout(), 90u);
  EXPECT_EQ(TSettings::GetVelmarTimeStepTimeout(), 15u);
  EXPECT_FALSE(TSettings::GetUseExternalProcessor());
  EXPECT_EQ(TSettings::GetExternalProcessorFilename(), "/usr/bin/dispersal");
  EXPECT_EQ(TSettings::GetExternalProcessorParameters(), "-v");
  EXPECT_EQ(TSettings::GetExternalProcessorCloseCommand(), "quit\\now");
  EXPECT_EQ(TSettings::GetExternalProcessorEnvironment(), "A=1\r\nB=C:\\x");
  EXPECT_FALSE(TSettings::GetDebugMessages());
  EXPECT_EQ(TSettings::GetActivePageIndex(), 3);

  TSettings::SetVelmarStartTimeout(0xFFFFFFFFu);
  EXPECT_NE(Content(SettingsFile()).find("StartTimeout=-1\n"), std::string::npos);
  EXPECT_EQ(TSettings::GetVelmarStartTimeout(), 4294967295u);
}

TEST_F(SettingsTest, StoredTextIsConvertedOrFallsBackToTheDefault) {
  struct Case {
    const char* stored;
    uint32_t timeout;
    bool debug;
  };
  const Case cases[] = {
      {"0x1E", 30, true}, {"0X1e", 30, true}, {"$1E", 30, true},  {"  42  ", 42, true},
      {"12abc", 60, true}, {"", 60, true},    {"0", 0, false},    {"2", 2, true},
      {"-2", 4294967294u, true}, {"0x", 60, true}, {"4294967296", 60, true}, {"0xFFFFFFFF", 4294967295u, true},
  };
  for (const Case& c : cases) {
    Put(SettingsFile(), std::string("[Velmar]\nTimeStepTimeout=") + c.stored + "\n[Main]\nDebugMessages=" +
                            c.stored + "\n");
    EXPECT_EQ(TSettings::GetVelmarTimeStepTimeout(), c.timeout) << c.stored;
    EXPECT_EQ(TSettings::GetDebugMessages(), c.debug) << c.stored;
  }
}

// Writing a setting its stored value leaves the file alone (the window
// writes them all before a run); a changed one replaces it.
TEST_F(SettingsTest, OnlyChangedValuesAreWritten) {
  TSettings::SetVelmarFilename("/opt/velmar");
  TSettings::SetVelmarTimeStepTimeout(30);
  TSettings::SetUseExternalProcessor(true);
  struct stat before {};
  ASSERT_EQ(::stat(SettingsFile().c_str(), &before), 0);
  TSettings::SetVelmarFilename("/opt/velmar");
  TSettings::SetVelmarTimeStepTimeout(30);
  TSettings::SetUseExternalProcessor(true);
  struct stat after {};
  ASSERT_EQ(::stat(SettingsFile().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // a write replaces the file
  TSettings::SetVelmarTimeStepTimeout(31);
  ASSERT_EQ(::stat(SettingsFile().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(TSettings::GetVelmarTimeStepTimeout(), 31);
  // An empty value is written when the key is missing, not taken for it.
  TSettings::SetVelmarOptions("");
  std::ifstream in(SettingsFile());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Options=\n"), std::string::npos) << text;
}

TEST_F(SettingsTest, NothingIsCached) {
  TSettings::SetVelmarOptions("first");
  Put(SettingsFile(), "[velmar]\noptions = second\n");  // another instance wrote it
  EXPECT_EQ(TSettings::GetVelmarOptions(), "second");
}

TEST_F(SettingsTest, WritesKeepCommentsAndUnknownKeys) {
  const std::string handWritten =
      "; tuned by hand\n"
      "[Velmar]\n"
      "Filename=/old/velmar\n"
      "Colour=blue\n"
      "\n"
      "# keep this\n"
      "[Unknown]\n"
      "x = 1\n";
  Put(SettingsFile(), handWritten);
  for (int i = 0; i < 5; ++i) {
    TSettings::SetVelmarFilename("/new/velmar" + std::to_string(i));
    TSettings::SetDebugMessages(i % 2 == 0);
  }
  EXPECT_EQ(Content(SettingsFile()),
            "; tuned by hand\n"
            "[Velmar]\n"
            "Filename=/new/velmar4\n"
            "Colour=blue\n"
            "\n"
            "# keep this\n"
            "[Unknown]\n"
            "x = 1\n"
            "[Main]\n"
            "DebugMessages=1\n");
}

TEST_F(SettingsTest, AnotherFileCanBeChosen) {
  const std::string other = PathOf("other.settings");
  TSettings::SetSettingsPathname(other);
  TSettings::SetVelmarOptions("elsewhere");
  EXPECT_EQ(TSettings::GetIniFilename(), other);
  EXPECT_EQ(Content(other), "[Velmar]\nOptions=elsewhere\n");
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));

  TSettings::SetSettingsPathname("");
  EXPECT_EQ(TSettings::GetIniFilename(), SettingsFile());
  EXPECT_EQ(TSettings::GetVelmarOptions(), "");
}

TEST_F(SettingsTest, ReadOnlyFileRefusesWrites) {
  Put(SettingsFile(), "[Velmar]\nOptions=fixed\n");
  ::chmod(SettingsFile().c_str(), 0444);
  try {
    TSettings::SetVelmarOptions("changed");
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + SettingsFile());
  }
  EXPECT_THROW(TSettings::SetVelmarStartTimeout(5), EIniFileException);
  EXPECT_EQ(Content(SettingsFile()), "[Velmar]\nOptions=fixed\n");
  EXPECT_EQ(TSettings::GetVelmarOptions(), "fixed");
}

TEST_F(SettingsTest, UncreatableFolderIsLoggedOnceAndGivesDefaults) {
  // A regular file where a folder should be stops even a privileged user.
  Put(PathOf("blocker"), "");
  ::setenv("XDG_CONFIG_HOME", PathOf("blocker").c_str(), 1);
  TSettings::Initialize();
  ExpectDefaults();
  EXPECT_THROW(TSettings::SetDebugMessages(false), EIniFileException);

  ASSERT_EQ(FEvents.size(), 1u);
  EXPECT_EQ(FEvents[0].EventType, etError);
  EXPECT_EQ(FEvents[0].RawMessage, "Could not create directories for storing settings (\"" +
                                       PathOf("blocker") + "/Corvane/VelmarManager\")");
}

TEST(IniFileTest, IntegerTextConversion) {
  EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(TryStrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(TryStrToInt("2147483648"), std::nullopt);
  EXPECT_EQ(TryStrToInt("-2147483649"), std::nullopt);
  EXPECT_EQ(TryStrToInt("+7"), 7);
  EXPECT_EQ(TryStrToInt("-$10"), -16);
  EXPECT_EQ(TryStrToInt("0x1FFFFFFFF"), std::nullopt);
  EXPECT_EQ(TryStrToInt("0x00000000FF"), 255);
  EXPECT_EQ(TryStrToInt("1 2"), std::nullopt);
  EXPECT_EQ(TryStrToInt("-"), std::nullopt);
  EXPECT_EQ(TryStrToInt("$g"), std::nullopt);
}

}  // namespace
