#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/DebugOutput.h"
#include "diagnostics/IniText.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "platform/Clock.h"
#include "platform/DebugOut.h"
#include "platform/Locale.h"
#include "platform/MessageBox.h"

VELMAR_DECLARE_EXCEPTION(ERPCLike, Exception, "ERPC");
VELMAR_DECLARE_EXCEPTION(ELowerCaseName, Exception, "exceptionallyNamed");

namespace {

struct Captured {
  std::vector<TLogEvent> events;
  std::vector<std::pair<Platform::TMsgBoxKind, std::string>> boxes;
  std::vector<std::string> debug;
};

// Installs capturing hooks and a manual clock at 2014-03-05 14:07:09.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform::SetRegionalSettings({'.', ',', ':'});
    Platform::SetMessageBoxHook([this](Platform::TMsgBoxKind k, const std::string& t, Platform::TMsgBoxButtons) {
      cap.boxes.emplace_back(k, t);
      return Platform::mrOk;
    });
    Platform::SetDebugSink([this](const std::string& line) { cap.debug.push_back(line); });
  }
  void TearDown() override {
    Logger().SetLogHandler(nullptr);
    Platform::SetMessageBoxHook(nullptr);
    Platform::SetDebugSink(nullptr);
  }
  void Handle(bool handled) {
    Logger().SetLogHandler([this, handled](const TLogEvent& e, bool& h) {
      cap.events.push_back(e);
      h = handled;
    });
  }
  Platform::TManualClock clock;
  Platform::TClockGuard guard{clock};
  Captured cap;
};

TEST_F(LoggerTest, AHandlersFilterDropsDebugLinesOnlyAndGoesWithTheHandler) {
  bool wanted = false;
  int asked = 0;
  auto keep = [this](const TLogEvent& e, bool& handled) {
    cap.events.push_back(e);
    handled = true;
  };
  Logger().SetLogHandler(keep, [&] {
    ++asked;
    return wanted;
  });
  Logger().Debug("dropped %d", 1);
  Logger().Debug(std::string("dropped too"));
  Logger().Log("kept");
  EXPECT_EQ(Logger().DebugWanted(), false);
  wanted = true;
  Logger().Debug("shown %d", 2);
  ASSERT_EQ(cap.events.size(), 2u);
  EXPECT_EQ(cap.events[0].RawMessage, "kept");
  EXPECT_EQ(cap.events[1].RawMessage, "shown 2");
  EXPECT_EQ(asked, 4);
  // A handler installed without a filter is offered every debug line.
  wanted = false;
  Logger().SetLogHandler(keep);
  Logger().Debug("offered %d", 3);
  EXPECT_EQ(cap.events.back().RawMessage, "offered 3");
  EXPECT_EQ(asked, 4);
}

TEST_F(LoggerTest, LineFormatUsesClockAndKindName) {
  Handle(true);
  Logger().Info("M");
  Logger().Warn("w %d", 3);
  Logger().Log();
  ASSERT_EQ(cap.events.size(), 3u);
  EXPECT_EQ(cap.events[0].Message, "2014-03-05 14:07:09 - Info: M");
  EXPECT_EQ(cap.events[0].RawMessage, "M");
  EXPECT_EQ(cap.events[0].EventType, etInfo);
  EXPECT_EQ(cap.events[1].Message, "2014-03-05 14:07:09 - Warn: w 3");
  EXPECT_EQ(cap.events[2].Message, "2014-03-05 14:07:09 - Log: --------------------");
  EXPECT_TRUE(cap.boxes.empty());
  EXPECT_TRUE(cap.debug.empty());
}

TEST_F(LoggerTest, TimeSeparatorFollowsRegionalSettings) {
  Platform::SetRegionalSettings({',', ';', '.'});
  Handle(true);
  clock.Advance(61000);
  Logger().Error("E");
  EXPECT_EQ(cap.events.at(0).Message, "2014-03-05 14.08.10 - Error: E");
}

TEST_F(LoggerTest, FallbackWithoutHandlerOrWhenDeclined) {
  Logger().Info("shown");
  Logger().Log("to debugger");
  Logger().Debug();
  ASSERT_EQ(cap.boxes.size(), 1u);
  EXPECT_EQ(cap.boxes[0].first, Platform::mbInformation);
  EXPECT_EQ(cap.boxes[0].second, "shown");
  EXPECT_EQ(cap.debug, (std::vector<std::string>{"  to debugger", "  --------------------"}));

  Handle(false);
  Logger().Error("err");
  Logger().Warn("warn");
  ASSERT_EQ(cap.events.size(), 2u);
  ASSERT_EQ(cap.boxes.size(), 3u);
  EXPECT_EQ(cap.boxes[1], std::make_pair(Platform::mbError, std::string("err")));
  EXPECT_EQ(cap.boxes[2], std::make_pair(Platform::mbWarning, std::string("warn")));
}

TEST_F(LoggerTest, ExceptionMessagesAndDescriptions) {
  Handle(true);
  ERPCLike rpc("M");
  EXPECT_EQ(Logger().ExceptionDescription(rpc), "Exception ERPC: M");
  EXPECT_EQ(Logger().ExceptionDescription(Exception("M")), "Exception: M");
  EXPECT_EQ(Logger().ExceptionDescription(ELowerCaseName("x")), "exceptionallyNamed: x");

  Logger().Exception(rpc);
  Logger().Exception("text", rpc, true);
  Logger().Exception("text", rpc, false);
  Logger().Exception("client %d", {4}, rpc, false);
  ASSERT_EQ(cap.events.size(), 4u);
  EXPECT_EQ(cap.events[0].RawMessage, "Exception ERPC: M (Exception ERPC: M)");
  EXPECT_EQ(cap.events[0].Message, "2014-03-05 14:07:09 - Exception: Exception ERPC: M (Exception ERPC: M)");
  EXPECT_EQ(cap.events[0].TheException, &rpc);
  EXPECT_EQ(cap.events[1].RawMessage, "text");
  EXPECT_EQ(cap.events[2].RawMessage, "text (Exception ERPC: M)");
  EXPECT_EQ(cap.events[2].Message, "2014-03-05 14:07:09 - Exception: text (Exception ERPC: M)");
  EXPECT_EQ(cap.events[3].RawMessage, "client 4 (Exception ERPC: M)");

  // The fallback box shows the caller's text without the description.
  Handle(false);
  Logger().Exception("plain", rpc, false);
  ASSERT_EQ(cap.boxes.size(), 1u);
  EXPECT_EQ(cap.boxes[0], std::make_pair(Platform::mbPlain, std::string("plain")));
}

TEST_F(LoggerTest, BadFormatShowsBoxAndLogsEmptyText) {
  Handle(true);
  Logger().Debug("value %d", "text");
  ASSERT_EQ(cap.boxes.size(), 1u);
  EXPECT_EQ(cap.boxes[0].first, Platform::mbError);
  EXPECT_EQ(cap.boxes[0].second,
            "Could not create message from format \"value %d\" because: Format '%d' invalid or incompatible with "
            "argument (EConvertError)");
  ASSERT_EQ(cap.events.size(), 1u);
  EXPECT_EQ(cap.events[0].RawMessage, "");
  EXPECT_EQ(cap.events[0].Message, "2014-03-05 14:07:09 - Debug: ");
}

TEST_F(LoggerTest, ThreeSafeFormatVariants) {
  const std::string failure =
      "Could not create message from format \"%s %s\" because: No argument for format '%s' (EConvertError)";
  EXPECT_EQ(TextUtils::SafeFormat("%s %s", "a"), failure);
  EXPECT_EQ(IniText::SafeFormat("%s %s", "a"), "");
  EXPECT_EQ(cap.boxes.size(), 2u);
  try {
    DebugOutput::SafeFormat("%s %s", "a");
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), failure);
  }
  EXPECT_EQ(cap.boxes.size(), 2u);
  EXPECT_EQ(TextUtils::SafeFormat("%s=%d", "a", 5), "a=5");
}

TEST_F(LoggerTest, HandlerErrorsReachTheCaller) {
  Logger().SetLogHandler([](const TLogEvent&, bool&) { throw Exception("from handler"); });
  EXPECT_THROW(Logger().Info("x"), Exception);
}

}  // namespace
