#include "ui/Batch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>

#include "coordination/WinUtils.h"
#include "diagnostics/Exception.h"
#include "diagnostics/Logging.h"
#include "diagnostics/VersionInfo.h"
#include "documents/Documents.h"
#include "platform/Clock.h"
#include "platform/Events.h"
#include "platform/FdWait.h"
#include "platform/FileShare.h"
#include "platform/LocalSocket.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ProcessControl.h"
#include "ui/Headless.h"

namespace {

const char* const PIPE_NAMESPACE_VARIABLE = "VELMAR_PIPE_NAMESPACE";
// Tells a run of a batch which descriptor is its channel to the batch.
const char* const BATCH_CHANNEL_VARIABLE = "VELMAR_BATCH_CHANNEL";
// What a run's standard error is read in.
const size_t ERROR_READ_SIZE = 4096;

// Text in single quotes for the shell.
std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The engines a document runs; none when it cannot be read.
std::optional<uint32_t> EnginesOf(const std::string& path) {
  try {
    TDocument document;
    document.LoadFromFile(path);
    return document.ModelCount();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string LogFileOf(const std::string& document) { return Platform::ChangeFileExt(document, ".log"); }

std::string Plural(uint64_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

// The message for a document named twice, under whatever names: both runs
// would write the same log and engine output files at once. Empty when
// each is named once.
std::string DocumentNamedTwice(const std::vector<std::string>& documents) {
  std::map<std::string, const std::string*> seen;
  for (const std::string& path : documents) {
    std::error_code ec;
    std::string key = std::filesystem::weakly_canonical(path, ec).string();
    if (ec) key = Platform::AbsolutePath(path);
    const auto [at, fresh] = seen.emplace(key, &path);
    if (!fresh) return "\"" + path + "\" is the same document as \"" + *at->second + "\"; name each document once";
  }
  return {};
}

void ReportRowNotWritten(std::ostream& err, const std::string& resultsFile, int rc) {
  err << "velmar-manager: could not write to \"" << resultsFile << "\": " << Platform::SysErrorMessage(rc) << std::endl;
}

}  // namespace

unsigned DefaultJobs(unsigned processors, unsigned largestEngines) {
  return std::max(1u, largestEngines ? processors / largestEngines : processors);
}

std::string RunPipeNamespace(const std::string& batchNamespace, uint32_t batchId, size_t run,
                             const std::string& random) {
  // Short: the whole pipe name must fit in a socket address (107 bytes).
  return batchNamespace + "b" + std::to_string(batchId) + "-" + random + "-r" + std::to_string(run) + "-";
}

// One run in progress: its manager process and what it says on standard error.
struct TBatchRun::TRun {
  size_t Index = 0;
  Platform::TProcessInformation Process;
  int ErrorPipe = -1;
  std::string PendingError;  // a line not yet ended
  int Channel = -1;          // the run sends its row here as it ends
  Platform::TLocalDateTime Start;
  uint64_t StartTicks = 0;
};

TBatchRun::TBatchRun(TBatchOptions options, std::ostream& out, std::ostream& err)
    : FOptions(std::move(options)), FOut(out), FErr(err) {}

TBatchRun::~TBatchRun() {
  for (auto& run : FRunning) {
    Platform::CloseHandleClear(run->ErrorPipe);
    Platform::CloseHandleClear(run->Channel);
    Platform::CloseProcessHandle(run->Process.hProcess);
  }
}

bool TBatchRun::Prepare() {
  const size_t n = FOptions.Documents.size();
  uint32_t largest = 0;
  FRecords.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string& path = FOptions.Documents[i];
    if (!Platform::FileExists(path)) {
      FErr << "velmar-manager: no document at \"" << path << "\"" << std::endl;
      return false;
    }
    TRunRecord& r = FRecords[i];
    r.Document = path;
    r.Outcome = OUTCOME_NOT_STARTED;
    const std::optional<uint32_t> engines = EnginesOf(path);
    if (!engines || *engines == 0) {
      // As for one headless run: nothing to run is no run to complete.
      FErr << "velmar-manager: "
           << (engines ? "\"" + path + "\" has no models; there is nothing to run"
                       : "cannot read the document \"" + path + "\"")
           << std::endl;
      return false;
    }
    r.Engines = *engines;
    r.LogFile = LogFileOf(path);
    largest = std::max(largest, r.Engines);
  }
  if (const std::string twice = DocumentNamedTwice(FOptions.Documents); !twice.empty()) {
    FErr << "velmar-manager: " << twice << std::endl;
    return false;
  }
  // Rows that could not be written would be lost after all the work.
  if (!FOptions.ResultsFile.empty())
    if (const int rc = PrepareResultsFile(FOptions.ResultsFile)) {
      FErr << "velmar-manager: cannot write the results file \"" << FOptions.ResultsFile
           << "\": " << Platform::SysErrorMessage(rc) << "; nothing is run" << std::endl;
      return false;
    }
  if (FOptions.Jobs == 0) FOptions.Jobs = DefaultJobs(Platform::AvailableProcessors(), largest);
  const char* ns = std::getenv(PIPE_NAMESPACE_VARIABLE);
  FPipeNamespace = ns ? ns : "";
  return true;
}

void TBatchRun::Launch(size_t index) {
  auto run = std::make_unique<TRun>();
  run->Index = index;
  run->Start = Platform::LocalNow();
  run->StartTicks = Platform::GetTickCount64();

  Platform::TSpawnRequest request;
  request.CommandLine = "\"" + FOptions.ManagerProgram + "\"";
  if (!FOptions.SettingsFile.empty()) request.CommandLine += " --settings " + Platform::QuoteArgument(FOptions.SettingsFile);
  request.CommandLine += " --headless " + Platform::QuoteArgument(FOptions.Documents[index]);
  // The run writes its row to the results file itself, under the file's
  // lock, as it ends: it is not lost when the batch is.
  if (!FOptions.ResultsFile.empty()) request.CommandLine += " --results " + Platform::QuoteArgument(FOptions.ResultsFile);
  request.UseEnvironment = true;
  const std::string prefix = std::string(PIPE_NAMESPACE_VARIABLE) + "=";
  const std::string channelPrefix = std::string(BATCH_CHANNEL_VARIABLE) + "=";
  for (std::string& entry : WinUtils::MakeEnvironmentStringsBlock(WinUtils::GetEnvironmentStrings()))
    if (entry.compare(0, prefix.size(), prefix) != 0 && entry.compare(0, channelPrefix.size(), channelPrefix) != 0)
      request.Environment.push_back(std::move(entry));
  request.Environment.push_back(
      prefix + RunPipeNamespace(FPipeNamespace, Platform::CurrentProcessId(), index + 1, Platform::RandomHex(8)));
  // Its standard input is the channel: the run sends its row there, and
  // stops as on SIGTERM when the batch is gone.
  request.Environment.push_back(channelPrefix + "0");
  // Its own session: a Ctrl+C at the terminal reaches the batch only, which
  // stops every run once.
  request.NewSession = true;

  // The log lines also go to the log file beside the document; what the
  // run says on standard error is passed on with the run's number.
  int nullOutput = -1, errorWrite = -1, channel = -1;
  int rc = Platform::OpenNullOutput(nullOutput);
  if (!rc) rc = Platform::CreatePipe(run->ErrorPipe, errorWrite);
  if (!rc) rc = Platform::CreateRunChannel(run->Channel, channel);
  request.StdInput = channel;
  request.StdOutput = nullOutput;
  request.StdError = errorWrite;
  if (!rc) rc = Platform::SpawnProcess(request, run->Process);
  Platform::CloseHandleClear(nullOutput);
  Platform::CloseHandleClear(errorWrite);
  Platform::CloseHandleClear(channel);
  if (rc) {
    Platform::CloseHandleClear(run->ErrorPipe);
    Platform::CloseHandleClear(run->Channel);
    Report("[" + std::to_string(index + 1) + "/" + std::to_string(FRecords.size()) + "] could not start " +
           FOptions.ManagerProgram + ": " + Platform::SysErrorMessage(rc));
    TRunRecord& r = FRecords[index];
    r.Outcome = OUTCOME_FAILED;
    r.Start = r.End = run->Start;
    Finish(*run, 0);
    return;
  }
  FRunning.push_back(std::move(run));
}

void TBatchRun::ReadErrors(TRun& run, bool toTheEnd) {
  const std::string tag = "[" + std::to_string(run.Index + 1) + "/" + std::to_string(FRecords.size()) + "] ";
  while (run.ErrorPipe >= 0) {
    uint32_t waiting = 0;
    const int rc = Platform::PeekPipe(run.ErrorPipe, waiting);
    if (rc || waiting == 0) {
      // Gone, or nothing more for now. At the end of the run nothing more
      // is waited for (an engine may still hold the pipe open).
      if (rc || toTheEnd) Platform::CloseHandleClear(run.ErrorPipe);
      break;
    }
    char buffer[ERROR_READ_SIZE];
    size_t got = 0;
    if (Platform::ReadPipe(run.ErrorPipe, buffer, std::min<size_t>(waiting, sizeof buffer), got) || got == 0) {
      Platform::CloseHandleClear(run.ErrorPipe);
      break;
    }
    run.PendingError.append(buffer, got);
    size_t end;
    while ((end = run.PendingError.find('\n')) != std::string::npos) {
      if (FProgressShown) FErr << "\r\033[K";
      FErr << tag << run.PendingError.substr(0, end) << std::endl;
      FProgressShown = false;
      run.PendingError.erase(0, end + 1);
    }
  }
  if (toTheEnd && !run.PendingError.empty()) {
    if (FProgressShown) FErr << "\r\033[K";
    FErr << tag << run.PendingError << std::endl;
    FProgressShown = false;
    run.PendingError.clear();
  }
}

void TBatchRun::Finish(TRun& run, uint32_t exitCode) {
  ReadErrors(run, true);
  TRunRecord& r = FRecords[run.Index];
  std::optional<TRunRecord> reported;
  if (run.Channel >= 0)
    if (const auto rows = ParseCsv(Platform::ChannelReceive(run.Channel)); rows && rows->size() == 1)
      reported = RecordFromFields((*rows)[0]);
  Platform::CloseHandleClear(run.Channel);
  if (reported) {
    const uint32_t engines = r.Engines;
    r = *reported;
    if (r.Engines == 0) r.Engines = engines;  // a run that failed before reading its document
    // A run that completed ends with 0 unless its row could not be
    // written (it said so on its standard error, passed on above).
    if (exitCode != 0 && r.Outcome == OUTCOME_COMPLETED && !FOptions.ResultsFile.empty()) FRowsLost = true;
  } else if (run.Process.hProcess >= 0) {
    // The run ended without a word (killed, or it crashed): what the batch saw.
    r.Outcome = FStopping ? OUTCOME_CANCELLED : OUTCOME_FAILED;
    r.Start = run.Start;
    r.End = Platform::LocalNow();
    r.ElapsedMs = Platform::GetTickCount64() - run.StartTicks;
    FErr << "velmar-manager: the run of \"" << r.Document << "\" ended with exit status " << exitCode
         << " and no results" << std::endl;
  }
  Platform::CloseHandleClear(run.ErrorPipe);
  Platform::CloseProcessHandle(run.Process.hProcess);
  ++FDone;
  if (r.Outcome != OUTCOME_COMPLETED) ++FUnsuccessful;
  // The run wrote its own row; for one that could not, the batch does.
  if (!reported && !FOptions.ResultsFile.empty())
    if (const int rc = AppendResult(FOptions.ResultsFile, r)) {
      ReportRowNotWritten(FErr, FOptions.ResultsFile, rc);
      FRowsLost = true;
    }
  Report("[" + std::to_string(run.Index + 1) + "/" + std::to_string(FRecords.size()) + "] " + r.Document + ": " +
         r.Outcome + ", " + FormatSeconds(r.ElapsedMs) + " s, " + Plural(r.Steps, "step"));
}

void TBatchRun::StopAll() {
  for (auto& run : FRunning) Platform::RequestProcessStop(run->Process.hProcess);
}

void TBatchRun::Report(const std::string& text) {
  if (FProgressShown) FErr << "\r\033[K" << std::flush;
  FProgressShown = false;
  FOut << text << std::endl;
}

void TBatchRun::ShowProgress() {
  if (!FOptions.ProgressLine) return;
  const std::string text = std::to_string(FDone) + " of " + std::to_string(FRecords.size()) + " done, " +
                           std::to_string(FRunning.size()) + " running, " + std::to_string(FUnsuccessful) + " failed";
  // Only a change is drawn: the line is not rewritten at every wake.
  if (FProgressShown && text == FProgressText) return;
  FErr << "\r" << text << "\033[K" << std::flush;
  FProgressShown = true;
  FProgressText = text;
}

void TBatchRun::PrintSummary(uint64_t elapsedMs) {
  Report("");
  Report("Run  Outcome          Elapsed  Steps  Engines  Document");
  size_t counts[4] = {};
  const char* const outcomes[4] = {OUTCOME_COMPLETED, OUTCOME_FAILED, OUTCOME_CANCELLED, OUTCOME_NOT_STARTED};
  for (size_t i = 0; i < FRecords.size(); ++i) {
    const TRunRecord& r = FRecords[i];
    for (size_t k = 0; k < 4; ++k) counts[k] += r.Outcome == outcomes[k];
    char line[128];
    std::snprintf(line, sizeof line, "%3zu  %-11s  %9s s  %5u  %7u  ", i + 1, r.Outcome.c_str(),
                  FormatSeconds(r.ElapsedMs).c_str(), r.Steps, r.Engines);
    Report(line + r.Document);
  }
  Report(Plural(FRecords.size(), "run") + " in " + FormatSeconds(elapsedMs) + " s: " + std::to_string(counts[0]) +
         " completed, " + std::to_string(counts[1]) + " failed, " + std::to_string(counts[2]) + " cancelled, " +
         std::to_string(counts[3]) + " not started");
}

int TBatchRun::Run() {
  if (!Prepare()) return EXIT_USAGE;
  const uint64_t begin = Platform::GetTickCount64();
  Report("Running " + Plural(FRecords.size(), "document") + ", at most " + std::to_string(FOptions.Jobs) +
         " at once");
  for (;;) {
    while (!FStopping && FNext < FRecords.size() && FRunning.size() < FOptions.Jobs) Launch(FNext++);
    ShowProgress();
    if (FRunning.empty()) break;

    std::vector<Platform::TFdWait> waits;
    if (FSignals.Fd() >= 0) waits.push_back({FSignals.Fd(), POLLIN});
    for (const auto& run : FRunning) {
      waits.push_back({run->Process.hProcess, POLLIN});  // readable once it has ended
      if (run->ErrorPipe >= 0) waits.push_back({run->ErrorPipe, POLLIN});
    }
    Platform::WaitForFds(waits, Platform::INFINITE);

    if (FSignals.Take()) {
      // Every signal is passed on: a second one makes a run that is slow to
      // stop give up.
      FStopping = true;
      StopAll();
    }
    for (size_t i = 0; i < FRunning.size();) {
      TRun& run = *FRunning[i];
      ReadErrors(run, false);
      uint32_t code = Platform::STILL_ACTIVE;
      if (!Platform::GetExitCodeProcess(run.Process.hProcess, code) || code != Platform::STILL_ACTIVE) {
        Finish(run, code);
        FRunning.erase(FRunning.begin() + static_cast<ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  for (size_t i = FNext; i < FRecords.size(); ++i) {
    ++FUnsuccessful;
    if (!FOptions.ResultsFile.empty())
      if (const int rc = AppendResult(FOptions.ResultsFile, FRecords[i])) {
        ReportRowNotWritten(FErr, FOptions.ResultsFile, rc);
        FRowsLost = true;
      }
  }
  if (FProgressShown) FErr << "\r\033[K" << std::flush;
  FProgressShown = false;
  PrintSummary(Platform::GetTickCount64() - begin);
  return FUnsuccessful || FRowsLost ? EXIT_FAILED : EXIT_COMPLETE;
}

int ReportHeadlessResult(const std::string& resultsFile, const THeadlessRun& run, int status, std::ostream& err) {
  TRunRecord r;
  r.Document = run.DocumentPath();
  r.Outcome = status == THeadlessRun::EXIT_COMPLETE ? OUTCOME_COMPLETED
              : run.StopRequested()                 ? OUTCOME_CANCELLED
                                                    : OUTCOME_FAILED;
  r.Start = run.CreatedAt();
  r.End = Platform::LocalNow();
  r.ElapsedMs = Platform::GetTickCount64() - run.CreatedTicks();
  r.Steps = run.StepsDone();
  r.Engines = run.ModelCount();
  r.LogFile = LogFileOf(run.DocumentPath());
  r.Fingerprint = run.Fingerprint();
  r.StatesFile = run.StatesFile();
  // The batch this run belongs to learns of the row from the run itself; a
  // batch that has gone learns nothing, the results file still has it.
  if (run.BatchChannel() >= 0) (void)Platform::ChannelSend(run.BatchChannel(), FormatResultRow(r));
  if (resultsFile.empty()) return status;
  if (const int rc = AppendResult(resultsFile, r)) {
    ReportRowNotWritten(err, resultsFile, rc);
    return THeadlessRun::EXIT_FAILED;
  }
  return status;
}

int TakeBatchChannel() {
  const char* value = std::getenv(BATCH_CHANNEL_VARIABLE);
  const bool given = value && std::string(value) == "0";
  // Not for the engines: they have no batch.
  ::unsetenv(BATCH_CHANNEL_VARIABLE);
  return given ? Platform::TakeStdInput() : -1;
}

int CheckResultsFile(const std::string& resultsFile, std::ostream& err) {
  if (resultsFile.empty()) return 0;
  const int rc = PrepareResultsFile(resultsFile);
  if (rc)
    err << "velmar-manager: cannot write the results file \"" << resultsFile << "\": " << Platform::SysErrorMessage(rc)
        << "; nothing is run" << std::endl;
  return rc;
}

std::string SlurmScript(const TSlurmScriptOptions& options) {
  std::string documents;
  uint32_t largest = 1;
  if (const std::string twice = DocumentNamedTwice(options.Documents); !twice.empty()) throw Exception(twice);
  for (const std::string& path : options.Documents) {
    const std::optional<uint32_t> engines = Platform::FileExists(path) ? EnginesOf(path) : std::nullopt;
    if (!engines) throw Exception("cannot read the document \"" + path + "\"");
    if (*engines == 0) throw Exception("\"" + path + "\" has no models; there is nothing to run");
    largest = std::max(largest, *engines);
    documents += "  " + ShellQuote(Platform::AbsolutePath(path)) + "  # " + Plural(*engines, "engine") + "\n";
  }
  const size_t n = options.Documents.size();
  std::string s;
  s += "#!/bin/bash\n";
  s += "# " + Plural(n, "Velmar Manager document") + " as a Slurm job array, one document per task.\n";
  s += "# Submit with: sbatch THIS_FILE. Each task appends its row to the results\n";
  s += "# file named below; its log lines go to velmar-JOB_TASK.out.\n";
  s += "#SBATCH --job-name=velmar\n";
  s += "#SBATCH --array=0-" + std::to_string(n - 1) + "\n";
  s += "#SBATCH --ntasks=1\n";
  s += "# One processor per engine of the largest document.\n";
  s += "#SBATCH --cpus-per-task=" + std::to_string(largest) + "\n";
  s += "#SBATCH --output=velmar-%A_%a.out\n";
  s += "set -eu\n";
  s += "documents=(\n" + documents + ")\n";
  if (options.ResultsFile.empty())
    s += "results=\"${SLURM_SUBMIT_DIR:-$PWD}/velmar-results-${SLURM_ARRAY_JOB_ID}.csv\"\n";
  else
    s += "results=" + ShellQuote(Platform::AbsolutePath(options.ResultsFile)) + "\n";
  s += ": \"${SLURM_ARRAY_TASK_ID:?is not set: submit this script with sbatch}\"\n";
  s += "document=${documents[$SLURM_ARRAY_TASK_ID]}\n";
  s += "# A pipe of the task's own, so that tasks sharing a node never meet: without a\n";
  s += "# namespace the manager draws one nobody can guess; a given one is extended.\n";
  s += "if [ -n \"${VELMAR_PIPE_NAMESPACE:-}\" ]; then\n";
  s += "  export VELMAR_PIPE_NAMESPACE=\"${VELMAR_PIPE_NAMESPACE}slurm-${SLURM_ARRAY_JOB_ID}-${SLURM_ARRAY_TASK_ID}-\"\n";
  s += "fi\n";
  s += "exec " + ShellQuote(options.ManagerProgram);
  if (!options.SettingsFile.empty()) s += " --settings " + ShellQuote(Platform::AbsolutePath(options.SettingsFile));
  s += " --headless \"$document\" --results \"$results\"\n";
  return s;
}

TManyRunsArguments TakeManyRunsArguments(int argc, char** argv, std::vector<char*>& rest) {
  TManyRunsArguments runs;
  rest.assign(argv, argv + (argc > 0 ? 1 : 0));
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* option) {
      if (i + 1 >= argc) throw Exception(std::string(option) + " needs a value");
      return std::string(argv[++i]);
    };
    if (arg == "--jobs") {
      const std::string jobs = value("--jobs");
      if (jobs.empty() || jobs.size() > 4 || jobs.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(jobs) == 0)
        throw Exception("--jobs needs a number from 1 to 9999");
      runs.Jobs = static_cast<unsigned>(std::stoul(jobs));
    } else if (arg == "--results") {
      runs.ResultsFile = value("--results");
    } else if (arg == "--slurm-script") {
      runs.SlurmScript = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  return runs;
}

void CheckManyRunsArguments(TManyRunsArguments& runs, bool headless, std::string& headlessDocument,
                            std::vector<std::string>& arguments) {
  if (runs.SlurmScript && headless) throw Exception("--headless and --slurm-script do not go together");
  if (runs.SlurmScript && arguments.empty()) throw Exception("--slurm-script needs a document");
  if (runs.Jobs && !headless) throw Exception("--jobs goes with --headless");
  if (!runs.ResultsFile.empty() && !headless && !runs.SlurmScript)
    throw Exception("--results goes with --headless or --slurm-script");
  runs.Batch = headless && (runs.Jobs || !arguments.empty());
  if (runs.Batch) {
    arguments.insert(arguments.begin(), headlessDocument);
    headlessDocument.clear();
  } else if (headless && !arguments.empty()) {
    throw Exception("--headless takes one document and nothing else");
  }
}

int RunManyRuns(const TManyRunsArguments& runs, const std::string& settingsFile,
                const std::vector<std::string>& documents, std::ostream& out, std::ostream& err) {
  if (runs.SlurmScript) {
    try {
      out << SlurmScript({documents, runs.ResultsFile, settingsFile, ProgramFileName()});
    } catch (const std::exception& e) {
      err << "velmar-manager: " << ExceptionMessage(e) << std::endl;
      return TBatchRun::EXIT_USAGE;
    }
    return 0;
  }
  TBatchOptions options{documents, runs.Jobs, runs.ResultsFile, settingsFile, ProgramFileName(),
                        Platform::StderrIsTerminal()};
  // Before any thread starts, so that SIGINT and SIGTERM reach the batch.
  TBatchRun batch(std::move(options), out, err);
  return batch.Run();
}
