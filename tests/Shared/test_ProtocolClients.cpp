// Outside clients written from the engine protocol page (Python's socket
// module, socat) against the real JSON-RPC server on its pipe.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "DocsExamples.h"
#include "Shared/Componen/ThreadSync.h"
#include "Shared/JSON_RPC.h"
#include "diagnostics/Logging.h"
#include "platform/Messages.h"

namespace {

using DocsExamples::HaveProgram;

class ProtocolClients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-clients-" + std::to_string(getpid()) + "-").c_str(), 1);
    InitializeThreadSync();
  }
  void SetUp() override {
    Logger().SetLogHandler([](const TLogEvent&, bool& handled) { handled = true; });
    Server = TJsonRpcServer::Create("VelmarManager");
    Server->SetOnRPC([](uint32_t, const std::string& method, const IJsonValue& params) -> TVariant {
      if (method == "Echo") return TVariant(static_cast<int32_t>(JsonMemberAsInteger(params, "Value")));
      if (method == "Big") return TVariant(std::string(100000, 'z'));
      return TVariant();
    });
  }
  void TearDown() override {
    Server.reset();
    Logger().SetLogHandler(nullptr);
  }
  // Runs a shell command on another thread while this thread serves the
  // server's messages; returns its output.
  std::string Serve(const std::string& command, int& status) {
    std::string out;
    std::atomic<bool> done{false};
    std::thread client([&] {
      FILE* p = popen(command.c_str(), "r");
      if (p) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        status = pclose(p);
      } else {
        status = -1;
      }
      done = true;
    });
    for (int i = 0; i < 3000 && !done; ++i)
      if (!Platform::ProcessMessages()) Platform::WaitMessage(10);
    client.join();
    return out;
  }
  std::unique_ptr<TJsonRpcServer> Server;
};

TEST_F(ProtocolClients, PythonSocketClient) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not installed";
  const std::string code = DocsExamples::Block("python");
  ASSERT_FALSE(code.empty());
  char dir[] = "/tmp/velmar-pyclient-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::ofstream(std::string(dir) + "/engine.py") << code;
  const std::string driver = "import sys; sys.path.insert(0, '" + std::string(dir) +
                             "'); import engine\n"
                             "e = engine.Engine(client_id=3)\n"
                             "r = e.call('Echo', Value=42)\n"
                             "assert r['result'] == 42 and r['id'] == 1, r\n"
                             "r = e.call('Big', Pad='y' * 70000)\n"
                             "assert len(r['result']) == 100000 and r['id'] == 2, len(r['result'])\n"
                             "r = e.call('Nothing')\n"
                             "assert 'result' not in r and r['id'] == 3, r\n"
                             "print('ok')\n";
  int status = -1;
  const std::string out = Serve("python3 -c \"" + driver + "\" 2>&1", status);
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "ok\n");
}

TEST_F(ProtocolClients, SocatOneLiner) {
  if (!HaveProgram("socat")) GTEST_SKIP() << "socat not installed";
  const std::string command = DocsExamples::Block("sh");
  ASSERT_FALSE(command.empty());
  int status = -1;
  const std::string out = Serve(command, status);
  EXPECT_EQ(status, 0) << out;
  const IJsonValue reply = JsonParse(out);
  ASSERT_TRUE(reply != nullptr) << out;
  EXPECT_EQ(JsonMemberAsInteger(reply, "result"), 42);
  EXPECT_EQ(JsonMemberAsInteger(reply, "id"), 1);
}

}  // namespace
