#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "SimulatorTestSupport.h"

namespace {

class ProcessorBridge : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    Server->SetOnRPC(nullptr);
    Server->SetOnRPCRaw(&TRpcHandler::OnRPCRaw);
    TSettings::SetUseExternalProcessor(true);
    Input = (Dir / "input.txt").string();
  }
  void TearDown() override {
    if (ExternalProcessorRunning) StopExternalProcess();
    SimulatorTest::TearDown();
  }
  // Starts a shell script as the processor; it records what it reads.
  void StartProcessor(const std::string& body) {
    const std::string path = (Dir / "processor.sh").string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    TSettings::SetExternalProcessorFilename(path);
    TSettings::SetExternalProcessorParameters(Input);
    StartExternalProcessor();
  }
  std::string ProcessorInput() {
    std::ifstream in(Input, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Waits (really) for the processor to have written n lines of input.
  std::string ProcessorInputLines(size_t n) {
    for (int i = 0; i < 500; ++i) {
      const std::string text = ProcessorInput();
      if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= n) return text;
      usleep(10000);
    }
    return ProcessorInput();
  }
  // The error a call ends with (it must end with one).
  std::string FailureOf(const std::string& request) {
    try {
      Handle(request);
    } catch (const std::exception& e) {
      return e.what();
    }
    ADD_FAILURE() << "the call did not fail";
    return std::string();
  }
  std::string Input;
};

// Records each line and answers with a fixed text.
const char* kEcho = "while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; printf 'R:%s\\r\\n' \"${#l}\"; done";

TEST_F(ProcessorBridge, ReplyIsTheLineWithItsLineEndAndRequestGoesVerbatim) {
  Simulating(1);
  StartProcessor(kEcho);
  const std::string request = Call(1, "Echo", Client(0, ",\"Value\":5"));
  EXPECT_EQ(Handle(request), "R:" + std::to_string(request.size() + 1) + "\r\n");
  // The processor read the request followed by CR LF.
  EXPECT_EQ(ProcessorInputLines(1), request + "\r\n");
  EXPECT_TRUE(Logged("Debug: Writing [" + request + "] to external processor pipe"));
  EXPECT_TRUE(Logged("Debug: Read [R:" + std::to_string(request.size() + 1) + "] from external processor pipe"));
  EXPECT_TRUE(Logged("Debug: Back from external Echo"));
}

TEST_F(ProcessorBridge, TwoLinesAtOnceMakeTwoReplies) {
  Simulating(1);
  StartProcessor("while IFS= read -r l; do printf 'A\\nB\\n'; done");
  EXPECT_EQ(Handle(Call(1, "Echo", Client(0, ",\"Value\":1"))), "A\n");
  EXPECT_EQ(Handle(Call(2, "Echo", Client(0, ",\"Value\":1"))), "B\n");
  EXPECT_EQ(Handle(Call(3, "Echo", Client(0, ",\"Value\":1"))), "A\n");
}

TEST_F(ProcessorBridge, RequestWithoutMethodIsForwardedAsUnknown) {
  Simulating(1);
  StartProcessor(kEcho);
  EXPECT_EQ(Handle("{\"jsonrpc\":\"2.0\",\"id\":1,\"params\":{\"ClientID\":0}}").substr(0, 2), "R:");
  EXPECT_TRUE(Logged("Debug: Calling external unknown"));
  // Not even JSON: forwarded all the same.
  EXPECT_EQ(Handle("not json").substr(0, 2), "R:");
  EXPECT_TRUE(Logged("Error: RPC \"unknown\" is missing ClientID; cancelling process (null)"));
}

TEST_F(ProcessorBridge, CancelledCallsStillForwardedButAnsweredEmpty) {
  Simulating(1);
  StartProcessor(kEcho);
  Cancel = true;
  const std::string request = Call(4, "Finalize", Client(0));
  EXPECT_EQ(Handle(request), "");
  EXPECT_EQ(ProcessorInputLines(1), request + "\r\n");
}

TEST_F(ProcessorBridge, HeldStartTimeStepForwardedAfterTheCallsThatFreedIt) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(2);
  Processes[0].TimeStep = 1;
  Processes[1].TimeStep = 0;
  StartProcessor(kEcho);
  const std::string stop = Call(21, "StopTimeStep", Client(1, ",\"VelmarStateVarsPop\":[]"));
  const std::string start = Call(20, "StartTimeStep", Client(0));
  Queue(stop, 2);
  EXPECT_EQ(Handle(start, 1).substr(0, 2), "R:");
  EXPECT_EQ(ProcessorInputLines(2), stop + "\r\n" + start + "\r\n");
  EXPECT_FALSE(Cancel);
}

TEST_F(ProcessorBridge, ProcessorClosingItsOutputCancelsTheRun) {
  Simulating(1);
  StartProcessor("IFS= read -r l; printf 'partial'; exit 0");
  EXPECT_EQ(Handle(Call(1, "Echo", Client(0, ",\"Value\":1"))), "partial");
  EXPECT_TRUE(Cancel);
  EXPECT_TRUE(Logged("Error: External processor closed its output; cancelling simulation"));
  // Later calls reach a processor that is gone: logged, answered empty.
  EXPECT_EQ(Handle(Call(2, "Echo", Client(0, ",\"Value\":1"))), "");
}

TEST_F(ProcessorBridge, SilentProcessorTimesOut) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  TSettings::SetVelmarTimeStepTimeout(5);
  Simulating(1);
  StartProcessor("while IFS= read -r l; do :; done");
  EXPECT_EQ(Handle(Call(1, "Echo", Client(0, ",\"Value\":1"))), "");
  EXPECT_TRUE(Cancel);
  EXPECT_TRUE(Logged("Error: External processor did not answer within 7 seconds; cancelling simulation"));
  EXPECT_GE(clock.TickCount() - 1000000, 8000u);
}

TEST_F(ProcessorBridge, CloseCommandIsOneLineThenEndOfInput) {
  StartProcessor("while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; done; echo EOF >> \"$1\"");
  TSettings::SetExternalProcessorCloseCommand("QUIT");
  StopExternalProcess();
  EXPECT_FALSE(ExternalProcessorRunning);
  EXPECT_EQ(ExternalProcessorWritePipe, -1);
  EXPECT_EQ(ProcessorInputLines(2), "QUIT\r\nEOF\n");
}

TEST_F(ProcessorBridge, EmptyCloseCommandSendsNothing) {
  StartProcessor("while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; done; echo EOF >> \"$1\"");
  TSettings::SetExternalProcessorCloseCommand("");
  StopExternalProcess();
  EXPECT_EQ(ProcessorInputLines(1), "EOF\n");
}

TEST_F(ProcessorBridge, LargeReplyReadWhole) {
  Simulating(1);
  // A one-megabyte line.
  StartProcessor("IFS= read -r l; head -c 1048576 /dev/zero | tr '\\0' 'x'; printf '\\n'; cat > /dev/null");
  const std::string reply = Handle(Call(1, "Echo", Client(0, ",\"Value\":1")));
  EXPECT_EQ(reply.size(), 1048577u);
  EXPECT_EQ(reply.back(), '\n');
  EXPECT_FALSE(Cancel);
}

TEST_F(ProcessorBridge, LongRequestWithLineEndsGoesAsOneLine) {
  Simulating(1);
  StartProcessor("head -n 1 >> \"$1\"; printf 'OK\\n'; cat > /dev/null");
  // Line ends near the start and the end of a request of a few megabytes,
  // none in between.
  const std::string request =
      Call(1, "Echo", Client(0, ",\r\n\"Pad\":\"" + std::string(3 << 20, 'x') + "\",\r\n\"Value\":\n5"));
  EXPECT_EQ(Handle(request), "OK\n");
  std::string line = request;
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  EXPECT_EQ(ProcessorInputLines(1), line + "\r\n");
}

// A long request goes to the pipe by reference. When the processor has not
// read it in by the time-out, what it reads later is still the request as
// it was, although the request's memory has been written over since.
TEST_F(ProcessorBridge, RequestNotReadInTimeReachesTheProcessorUnchanged) {
  TSettings::SetVelmarTimeStepTimeout(0);  // the flush waits 2 seconds
  Simulating(1);
  StartProcessor("sleep 3; head -n 1 >> \"$1\"; cat > /dev/null");
  std::string request = Call(1, "Echo", Client(0, ",\"Pad\":\"" + std::string(100 * 1024, 'p') + "\",\"Value\":5"));
  const std::string original = request;
  const std::string failure = FailureOf(request);
  EXPECT_NE(failure.find("Could not flush external processor write pipe"), std::string::npos) << failure;
  EXPECT_TRUE(Cancel);
  std::fill(request.begin(), request.end(), 'Z');
  EXPECT_EQ(ProcessorInputLines(1), original + "\r\n");
}

// A processor may pass its input on by reference too (splicing it into a
// pipe of its own) and then never answer: what it reads from there later is
// still the request as it was, although the request's memory has been
// written over since.
TEST_F(ProcessorBridge, RequestPassedOnUnreadByASilentProcessorStaysAsItWas) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  TSettings::SetVelmarTimeStepTimeout(5);
  Simulating(1);
  std::string request = Call(1, "Echo", Client(0, ",\"Pad\":\"" + std::string(200 * 1024, 'q') + "\",\"Value\":5"));
  const std::string original = request;
  const std::string go = (Dir / "go").string();
  const std::string path = (Dir / "processor.py").string();
  std::ofstream(path) << R"(#!/usr/bin/env python3
import fcntl, os, sys, time
path, size, go = sys.argv[1], int(sys.argv[2]), sys.argv[3]
r, w = os.pipe()
fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 1 << 20)
moved = 0
while moved < size:
    n = os.splice(0, w, size - moved)
    if n == 0:
        break
    moved += n
while not os.path.exists(go):
    time.sleep(0.01)
data = b''
while len(data) < moved:
    data += os.read(r, moved - len(data))
with open(path, 'wb') as f:
    f.write(data)
)";
  ::chmod(path.c_str(), 0755);
  TSettings::SetExternalProcessorFilename(path);
  TSettings::SetExternalProcessorParameters(Input + " " + std::to_string(request.size() + 2) + " " + go);
  StartExternalProcessor();

  EXPECT_EQ(Handle(request), "");
  EXPECT_TRUE(Cancel);
  EXPECT_TRUE(Logged("Error: External processor did not answer within 7 seconds; cancelling simulation"));
  std::fill(request.begin(), request.end(), 'Z');
  std::ofstream(go) << "";
  EXPECT_EQ(ProcessorInputLines(1), original + "\r\n");
}

// A request longer than the pipe to a processor that has stopped reading:
// the write gives up after the time-out instead of waiting for ever, and
// what the processor reads later is still the request as it was.
TEST_F(ProcessorBridge, WriteToAProcessorThatStoppedReadingTimesOut) {
  TSettings::SetVelmarTimeStepTimeout(0);  // the write waits 2 seconds
  Simulating(1);
  StartProcessor("sleep 4; cat > \"$1.part\"; mv \"$1.part\" \"$1\"");
  std::string request = Call(1, "Echo", Client(0, ",\"Pad\":\"" + std::string(1 << 20, 'p') + "\",\"Value\":5"));
  const std::string original = request;
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = FailureOf(request);
  EXPECT_NE(failure.find("Could not write to external processor pipe"), std::string::npos) << failure;
  EXPECT_NE(failure.find("(error code " + std::to_string(ETIMEDOUT) + ")"), std::string::npos) << failure;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_TRUE(Cancel);
  std::fill(request.begin(), request.end(), 'Z');
  StopExternalProcess();  // the end of its input
  for (int i = 0; i < 1000 && !std::filesystem::exists(Input); ++i) usleep(10000);
  const std::string got = ProcessorInput();
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), original.size());
  EXPECT_EQ(got, original.substr(0, got.size()));
}

}  // namespace
