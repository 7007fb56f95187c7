#pragma once
// The bridge to the external processor: the process, its standard input
// and output, the bytes read ahead of the reply being read, and whether it
// has failed. Every engine call of a processor run goes to it as one line;
// its answer line is the engine's reply.
#include <cstdint>
#include <string>
#include <string_view>

#include "Shared/JSON.h"
#include "platform/Process.h"

// What the bridge knows of a request besides its text: enough to name it in
// the log and to check that the processor's answer replies to it.
struct TProcessorRequest {
  std::string Method;
  int64_t ClientID = -1;  // -1: the request names none
  bool HasId = false;     // the request has an "id" member (it may be null)
  IJsonValue Id;
};

class TRunInsight;
struct TRunSettings;

class TProcessorBridge {
 public:
  // cancel is the run's flag: a failing processor sets it, and a read gives
  // up once it is set. insight times each exchange.
  TProcessorBridge(bool& cancel, TRunInsight& insight) : FCancel(cancel), FInsight(insight) {}
  ~TProcessorBridge();
  TProcessorBridge(const TProcessorBridge&) = delete;
  TProcessorBridge& operator=(const TProcessorBridge&) = delete;

  // Starts the processor with the run's program, parameters and
  // environment, its standard error going to errorOutput; forgets the
  // failure of the previous one. Raises when it cannot be started.
  void Start(const TRunSettings& settings, int errorOutput);
  // Writes the close command (unless it failed; the settings' command as it
  // is at the stop), closes its pipes, and ends
  // a processor that failed (SIGTERM, then SIGKILL after a grace period).
  void Stop();
  // Uses pipes made elsewhere instead of a process of its own (tests and
  // benchmarks); Detach lets go of them without closing them.
  void Attach(int writePipe, int readPipe);
  void Detach();

  bool Running() const { return FRunning; }
  // Whether the processor has failed in the current run (or the last one);
  // cleared when one is started.
  bool Failed() const { return FFailed; }
  // What the failure was, as its log line says it ("" when none).
  const std::string& FailureReason() const { return FFailureReason; }
  const Platform::TProcessInformation& ProcInfo() const { return FProcInfo; }
  // Our end of its standard input; -1 once stopped.
  int WritePipe() const { return FWritePipe; }
  // Closes its standard input, so that it reads the end of it.
  void CloseInput();
  // Lets go of a processor still attached when the module shuts down: our
  // ends of its pipes and its process handles are closed, and it is left
  // running, as the engines are.
  void Release();

  // Writes one request line to the processor and reads its reply line.
  // Once the processor has failed (no answer in time, a line not taken in,
  // its output closed, an answer that is not the reply to its request),
  // nothing more is written to it in the run: this answers empty at once.
  std::string Exchange(const TProcessorRequest& request, std::string_view rpc);

 private:
  void MarkFailed(const std::string& reason);
  bool TakeLine(std::string& result, size_t from = 0);
  std::string ReadReply();
  int WriteRequestLine(std::string_view rpc, uint32_t timeoutMs);
  int SendRequestLine(std::string_view rpc, bool& flushing);

  bool& FCancel;
  TRunInsight& FInsight;
  Platform::TProcessInformation FProcInfo;
  bool FRunning = false;
  int FWritePipe = -1;
  int FReadPipe = -1;
  // Bytes the processor wrote after the end of the reply being read: they
  // start its next reply. Emptied when the processor is started or stopped.
  std::string FPending;
  // The last flush saw the processor's answer come: it can be read at once.
  bool FAnswerReady = false;
  // The processor has failed in this run: nothing more is written to it.
  bool FFailed = false;
  std::string FFailureReason;
};
