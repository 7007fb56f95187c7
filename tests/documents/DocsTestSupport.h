#pragma once
// A private temporary folder per test, with XDG_CONFIG_HOME pointing into it
// so the settings store never touches the real user's files.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "documents/SettingsUnit.h"

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velmar-docs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    FFolder = tmpl;
    ::setenv("XDG_CONFIG_HOME", (FFolder + "/config").c_str(), 1);
    TSettings::Finalize();
  }
  void TearDown() override {
    TSettings::Finalize();
    std::error_code ec;
    std::filesystem::remove_all(FFolder, ec);
  }

  std::string PathOf(const std::string& name) const { return FFolder + "/" + name; }

  static void Put(const std::string& file, const std::string& content) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string Content(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string FFolder;
};
