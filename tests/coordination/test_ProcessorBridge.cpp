#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "SimulatorTestSupport.h"

namespace {

class ProcessorBridge : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    Server->SetOnRPC(nullptr);
    Server->SetOnRPCRaw([this](uint32_t pipe, std::string_view rpc) { return Sim.OnRPCRaw(pipe, rpc); });
    TSettings::SetUseExternalProcessor(true);
    Input = (Dir / "input.txt").string();
  }
  void TearDown() override {
    if (Sim.ExternalProcessorRunning()) Sim.StopExternalProcess();
    SimulatorTest::TearDown();
  }
  // Starts a shell script as the processor; it records what it reads.
  void StartProcessor(const std::string& body) {
    const std::string path = (Dir / "processor.sh").string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    TSettings::SetExternalProcessorFilename(path);
    TSettings::SetExternalProcessorParameters(Input);
    Sim.StartExternalProcessor(TRunSettings::Read());
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

// Records each line and answers with a reply that carries the request's id
// and the line's length.
const char* kEcho =
    "while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; "
    "id=$(printf '%s' \"$l\" | sed -n 's/^{\"jsonrpc\":\"2.0\",\"id\":\\([^,]*\\),.*/\\1/p'); "
    "printf '{\"id\":%s,\"R\":%s}\\r\\n' \"${id:-null}\" \"${#l}\"; done";
// What kEcho answers to a request.
std::string EchoReply(int id, const std::string& request) {
  return "{\"id\":" + std::to_string(id) + ",\"R\":" + std::to_string(request.size() + 1) + "}";
}

TEST_F(ProcessorBridge, ReplyIsTheLineWithItsLineEndAndRequestGoesVerbatim) {
  Simulating(1);
  StartProcessor(kEcho);
  const std::string request = Call(1, "Echo", Client(0, ",\"Value\":5"));
  EXPECT_EQ(Handle(request), EchoReply(1, request) + "\r\n");
  // The processor read the request followed by CR LF.
  EXPECT_EQ(ProcessorInputLines(1), request + "\r\n");
  EXPECT_TRUE(Logged("Debug: Writing [" + request + "] to external processor pipe"));
  EXPECT_TRUE(Logged("Debug: Read [" + EchoReply(1, request) + "] from external processor pipe"));
  EXPECT_TRUE(Logged("Debug: Back from external Echo"));
}

// A second line for one request would be taken for the reply to the next
// one, and every later answer would go to the wrong call: the first answer
// that is not the reply to its request ends the processor's part in the run.
TEST_F(ProcessorBridge, AnswerThatIsNotTheReplyToItsRequestCancelsTheRun) {
  Simulating(1);
  StartProcessor("while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; printf '{\"id\":1}\\n{\"id\":1}\\n'; done");
  EXPECT_EQ(Handle(Call(1, "Echo", Client(0, ",\"Value\":1"))), "{\"id\":1}\n");
  EXPECT_EQ(Handle(Call(2, "Echo", Client(0, ",\"Value\":1"))), "");
  EXPECT_TRUE(Sim.Cancel);
  EXPECT_TRUE(Logged("Error: External processor's answer to Echo for ClientID 0 is not its reply (its \"id\" is 1, "
                     "not 2): {\"id\":1}; cancelling simulation"));
  // Nothing more is written to it: the third call is answered at once.
  EXPECT_EQ(Handle(Call(3, "Echo", Client(0, ",\"Value\":1"))), "");
  EXPECT_EQ(ProcessorInputLines(2).find("\"id\":3"), std::string::npos);
}

// The ids are compared as the manager echoes them: a digit string is its
// number. An answer must be a JSON object.
TEST_F(ProcessorBridge, AnswersAreCheckedAgainstTheRequestsId) {
  struct TCase {
    std::string RequestId, Answer;
    bool Accepted;
  };
  const TCase cases[] = {
      {"7", "{\"result\":true,\"id\":7}", true},
      {"\"7\"", "{\"id\":7}", true},
      {"7", "{\"id\":\"7\"}", true},
      {"\"a\"", "{\"id\":\"a\"}", true},
      {"null", "{\"id\":null}", true},
      {"7", "{\"id\":8}", false},
      {"7", "{\"result\":true}", false},
      {"7", "[7]", false},
      {"7", "true", false},
      {"\"a\"", "{\"id\":\"b\"}", false},
      // An id nested deeper than a call's outline is compared whole.
      {"[1,[2,{\"k\":[3]}]]", "{\"id\":[1,[2,{\"k\":[3]}]]}", true},
      {"[1,[2,{\"k\":[3]}]]", "{\"id\":[1,[2,{\"k\":[]}]]}", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.RequestId + " -> " + c.Answer);
    Sim.Cancel = false;
    Simulating(1);
    const std::string answer = (Dir / "answer.txt").string();
    std::ofstream(answer) << c.Answer << "\n";
    StartProcessor("while IFS= read -r l; do cat \"" + answer + "\"; done");
    const std::string request = "{\"jsonrpc\":\"2.0\",\"id\":" + c.RequestId +
                                ",\"method\":\"Echo\",\"params\":{\"ClientID\":0,\"Value\":1}}";
    EXPECT_EQ(Handle(request), c.Accepted ? c.Answer + "\n" : "");
    EXPECT_EQ(Sim.Cancel, !c.Accepted);
    Sim.StopExternalProcess();
  }
  // A request that is not JSON has no id to compare: any object will do.
  Sim.Cancel = false;
  StartProcessor(kEcho);
  EXPECT_EQ(Handle("not json"), "{\"id\":null,\"R\":9}\r\n");
}

TEST_F(ProcessorBridge, RequestWithoutMethodIsForwardedAsUnknown) {
  Simulating(1);
  StartProcessor(kEcho);
  EXPECT_EQ(Handle("{\"jsonrpc\":\"2.0\",\"id\":1,\"params\":{\"ClientID\":0}}").substr(0, 7), "{\"id\":1");
  EXPECT_TRUE(Logged("Debug: Calling external unknown"));
  // Not even JSON: forwarded all the same.
  EXPECT_EQ(Handle("not json").substr(0, 10), "{\"id\":null");
  EXPECT_TRUE(Logged("Error: RPC \"unknown\" is missing ClientID; cancelling process (null)"));
}

TEST_F(ProcessorBridge, CancelledCallsStillForwardedButAnsweredEmpty) {
  Simulating(1);
  StartProcessor(kEcho);
  Sim.Cancel = true;
  const std::string request = Call(4, "Finalize", Client(0));
  EXPECT_EQ(Handle(request), "");
  EXPECT_EQ(ProcessorInputLines(1), request + "\r\n");
}

TEST_F(ProcessorBridge, HeldStartTimeStepForwardedAfterTheCallsThatFreedIt) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(2);
  Sim.Processes[0].TimeStep = 1;
  Sim.Processes[1].TimeStep = 0;
  StartProcessor(kEcho);
  const std::string stop = Call(21, "StopTimeStep", Client(1, ",\"VelmarStateVarsPop\":[]"));
  const std::string start = Call(20, "StartTimeStep", Client(0));
  Queue(stop, 2);
  EXPECT_EQ(Handle(start, 1), EchoReply(20, start) + "\r\n");
  EXPECT_EQ(ProcessorInputLines(2), stop + "\r\n" + start + "\r\n");
  EXPECT_FALSE(Sim.Cancel);
}

TEST_F(ProcessorBridge, ProcessorClosingItsOutputCancelsTheRun) {
  Simulating(1);
  StartProcessor("IFS= read -r l; printf 'partial'; exit 0");
  // What came before the end is no reply and is not passed on.
  EXPECT_EQ(Handle(Call(1, "Echo", Client(0, ",\"Value\":1"))), "");
  EXPECT_TRUE(Sim.Cancel);
  EXPECT_TRUE(Logged("Error: External processor closed its output; cancelling simulation"));
  // Later calls are not written to a processor that is gone: answered empty.
  EXPECT_EQ(Handle(Call(2, "Echo", Client(0, ",\"Value\":1"))), "");
  EXPECT_TRUE(Logged("Debug: Not calling external Echo: the external processor has failed or stopped"));
}

TEST_F(ProcessorBridge, SilentProcessorTimesOut) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  TSettings::SetVelmarTimeStepTimeout(5);
  Simulating(1);
  StartProcessor("while IFS= read -r l; do :; done");
  EXPECT_EQ(Handle(Call(1, "Echo", Client(0, ",\"Value\":1"))), "");
  EXPECT_TRUE(Sim.Cancel);
  EXPECT_TRUE(Logged("Error: External processor did not answer within 7 seconds; cancelling simulation"));
  EXPECT_GE(clock.TickCount() - 1000000, 8000u);
}

TEST_F(ProcessorBridge, CloseCommandIsOneLineThenEndOfInput) {
  StartProcessor("while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; done; echo EOF >> \"$1\"");
  TSettings::SetExternalProcessorCloseCommand("QUIT");
  Sim.StopExternalProcess();
  EXPECT_FALSE(Sim.ExternalProcessorRunning());
  EXPECT_EQ(Sim.Processor().WritePipe(), -1);
  EXPECT_EQ(ProcessorInputLines(2), "QUIT\r\nEOF\n");
}

// Entries that are not name=value reach no processor: they are named in a
// warning, and the good ones pass.
TEST_F(ProcessorBridge, MalformedEnvironmentEntriesAreNamedAndLeftOut) {
  TSettings::SetExternalProcessorEnvironment("NOEQUALS\r\n=x\r\nVELMAR_GOOD=1\r\nVELMAR_EMPTY=\r\n");
  StartProcessor("env > \"$1.env\"; echo done >> \"$1\"; cat > /dev/null");
  ProcessorInputLines(1);
  std::ifstream in(Input + ".env");
  std::set<std::string> entries;
  for (std::string line; std::getline(in, line);) entries.insert(line);
  EXPECT_TRUE(entries.contains("VELMAR_GOOD=1"));
  EXPECT_TRUE(entries.contains("VELMAR_EMPTY="));
  EXPECT_FALSE(entries.contains("NOEQUALS"));
  EXPECT_FALSE(entries.contains("=x"));
  EXPECT_TRUE(Logged("Warn: The external processor's environment entries \"NOEQUALS\", \"=x\" are not of the form "
                     "name=value; they are left out"));
}

TEST_F(ProcessorBridge, EmptyCloseCommandSendsNothing) {
  StartProcessor("while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; done; echo EOF >> \"$1\"");
  TSettings::SetExternalProcessorCloseCommand("");
  Sim.StopExternalProcess();
  EXPECT_EQ(ProcessorInputLines(1), "EOF\n");
}

TEST_F(ProcessorBridge, LargeReplyReadWhole) {
  Simulating(1);
  // A one-megabyte line.
  StartProcessor(
      "IFS= read -r l; printf '{\"id\":1,\"r\":\"'; head -c 1048576 /dev/zero | tr '\\0' 'x'; printf '\"}\\n'; "
      "cat > /dev/null");
  const std::string reply = Handle(Call(1, "Echo", Client(0, ",\"Value\":1")));
  EXPECT_EQ(reply.size(), 1048576u + 16);
  EXPECT_EQ(reply.back(), '\n');
  EXPECT_FALSE(Sim.Cancel);
}

TEST_F(ProcessorBridge, LongRequestWithLineEndsGoesAsOneLine) {
  Simulating(1);
  StartProcessor("head -n 1 >> \"$1\"; printf '{\"id\":1}\\n'; cat > /dev/null");
  // Line ends near the start and the end of a request of a few megabytes,
  // none in between.
  const std::string request =
      Call(1, "Echo", Client(0, ",\r\n\"Pad\":\"" + std::string(3 << 20, 'x') + "\",\r\n\"Value\":\n5"));
  EXPECT_EQ(Handle(request), "{\"id\":1}\n");
  std::string line = request;
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  EXPECT_EQ(ProcessorInputLines(1), line + "\r\n");
}

// The line is written a megabyte at a time: a CR ending one piece and a LF
// starting the next are both blanked, and no piece is lost or doubled.
TEST_F(ProcessorBridge, LineEndsAcrossAWritePieceBoundaryAreBlanked) {
  Simulating(1);
  StartProcessor("head -n 1 >> \"$1\"; printf '{\"id\":1}\\n'; cat > /dev/null");
  // The CR and LF stand between two members, the CR last in the first piece.
  const size_t piece = 1 << 20;
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"Echo","params":{"ClientID":0,"Pad":")";
  const std::string request = head + std::string(piece - 2 - head.size(), 'y') + "\"\r\n,\"More\":\"" +
                              std::string(piece, 'z') + "\",\"Value\":5}}";
  ASSERT_EQ(request.substr(piece - 1, 2), "\r\n");
  EXPECT_EQ(Handle(request), "{\"id\":1}\n");
  std::string line = request;
  line[piece - 1] = line[piece] = ' ';
  EXPECT_EQ(ProcessorInputLines(1), line + "\r\n");
}

// A request that was not read in by the time-out: when the processor reads
// it later, it is still the request as it was, although the request's
// memory has been written over since.
TEST_F(ProcessorBridge, RequestNotReadInTimeReachesTheProcessorUnchanged) {
  TSettings::SetVelmarTimeStepTimeout(0);  // the flush waits 2 seconds
  Simulating(1);
  StartProcessor("sleep 3; head -n 1 >> \"$1\"; cat > /dev/null");
  std::string request = Call(1, "Echo", Client(0, ",\"Pad\":\"" + std::string(100 * 1024, 'p') + "\",\"Value\":5"));
  const std::string original = request;
  const std::string failure = FailureOf(request);
  EXPECT_NE(failure.find("Could not flush external processor write pipe"), std::string::npos) << failure;
  EXPECT_TRUE(Sim.Cancel);
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
  Sim.StartExternalProcessor(TRunSettings::Read());

  EXPECT_EQ(Handle(request), "");
  EXPECT_TRUE(Sim.Cancel);
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
  EXPECT_TRUE(Sim.Cancel);
  std::fill(request.begin(), request.end(), 'Z');
  // The end of its input. (Stopping it would end it: it has failed.)
  Sim.Processor().CloseInput();
  for (int i = 0; i < 1000 && !std::filesystem::exists(Input); ++i) usleep(10000);
  const std::string got = ProcessorInput();
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), original.size());
  EXPECT_EQ(got, original.substr(0, got.size()));
}

}  // namespace
