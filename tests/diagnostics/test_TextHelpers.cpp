#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "diagnostics/Exception.h"
#include "diagnostics/IniText.h"
#include "diagnostics/TextUtils.h"
#include "diagnostics/VersionInfo.h"
#include "platform/Locale.h"
#include "platform/MessageBox.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(TextUtils, TrimAndIsSpace) {
  EXPECT_EQ(TextUtils::Trim(" \t\r\n "), "");
  EXPECT_EQ(TextUtils::Trim("\t a b \n"), "a b");
  EXPECT_EQ(TextUtils::Trim("\fx\f"), "\fx\f");
  EXPECT_EQ(TextUtils::Trim("\xC2\xA0x"), "\xC2\xA0x");
  EXPECT_FALSE(TextUtils::IsSpace('\f'));
  EXPECT_TRUE(TextUtils::IsSpace('\r'));
}

TEST(TextUtils, AppendLineToFile) {
  const fs::path dir = fs::temp_directory_path() / ("velmar-text-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string file = (dir / "log.txt").string();
  fs::remove(file);
  TextUtils::AppendLineToFile("a\r\n", file);
  TextUtils::AppendLineToFile("", file);
  TextUtils::AppendLineToFile("b\n", file);
  TextUtils::AppendToFile("c", file);
  EXPECT_EQ(ReadAll(file), "a\r\n\r\nb\n\r\nc");
  EXPECT_THROW(TextUtils::AppendToFile("x", (dir / "missing" / "f").string()), EInOutError);
  fs::remove_all(dir);
}

TEST(IniText, EncodeDecodeRoundTrip) {
  EXPECT_EQ(IniText::EncodeIni("A\r\nB"), "A\\r\\nB");
  EXPECT_EQ(IniText::DecodeIni("A\\r\\nB"), "A\r\nB");
  EXPECT_EQ(IniText::EncodeIni("\\n"), "\\\\n");
  EXPECT_EQ(IniText::DecodeIni("\\\\n"), "\\n");
  EXPECT_EQ(IniText::DecodeIni("\\t\\"), "\\t\\");
  for (const std::string t : {"C:\\new\\rate", "\\\\\r\r\n\\", "", "plain"})
    EXPECT_EQ(IniText::DecodeIni(IniText::EncodeIni(t)), t);
}

TEST(TextUtils, ListSeparatorCheck) {
  std::vector<std::string> boxes;
  Platform::SetMessageBoxHook([&](Platform::TMsgBoxKind, const std::string& t, Platform::TMsgBoxButtons) {
    boxes.push_back(t);
    return Platform::mrOk;
  });
  Platform::SetRegionalSettings({',', ',', ':'});
  TextUtils::CheckListSeparator();
  EXPECT_EQ(TextUtils::ListSeparator(), ';');
  Platform::SetRegionalSettings({'.', '.', ':'});
  TextUtils::CheckListSeparator();
  EXPECT_EQ(TextUtils::ListSeparator(), ',');
  Platform::SetRegionalSettings({'.', ',', ':'});
  TextUtils::CheckListSeparator();
  EXPECT_EQ(TextUtils::ListSeparator(), ',');
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0],
            "The regional list separator and decimal separator are configured to be the same character.  We will "
            "instead use \";\" as the list separator.");
  EXPECT_EQ(boxes[1].find("use \",\" as"), boxes[1].find("use \""));
  Platform::SetMessageBoxHook(nullptr);
}

TEST(VersionInfo, OwnProgramAndOtherFiles) {
  TVerInfo self(ProgramFileName());
  ASSERT_TRUE(self.GetHasVerInfo());
  ASSERT_EQ(self.GetTranslationCount(), 1);
  EXPECT_EQ(self.GetTranslation(0), "040904E4");
  const std::string version = self.GetString("040904E4", "FileVersion");
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
  EXPECT_EQ(self.GetString("040904E4", "NoSuchName"), "");
  EXPECT_THROW(self.GetTranslation(1), EAssertionFailed);

  TVerInfo other("/bin/sh");
  EXPECT_FALSE(other.GetHasVerInfo());
  EXPECT_EQ(other.GetTranslationCount(), 0);
}

}  // namespace
