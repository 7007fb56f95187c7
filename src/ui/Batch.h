#pragma once
// Many documents run headless, each by a manager process of its own, at most
// a given number at once; and the Slurm batch script that runs the same
// documents as a job array on a cluster.
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Signals.h"
#include "ui/RunRecord.h"

class THeadlessRun;

// The command-line options of many runs.
struct TManyRunsArguments {
  bool SlurmScript = false;  // --slurm-script
  unsigned Jobs = 0;         // --jobs N; 0: not given
  std::string ResultsFile;   // --results FILE
  bool Batch = false;        // --headless with several documents, or with --jobs
};

// Takes --jobs N, --results FILE and --slurm-script out of the command line;
// rest receives the other arguments (argv[0] first). Raises an error with a
// message for a usage error.
TManyRunsArguments TakeManyRunsArguments(int argc, char** argv, std::vector<char*>& rest);

// Checks the options of many runs against the rest of the command line
// (--headless and its first document, the other arguments) and sets Batch;
// for a batch the first document joins the others. Raises an error with a
// message for a usage error.
void CheckManyRunsArguments(TManyRunsArguments& runs, bool headless, std::string& headlessDocument,
                            std::vector<std::string>& arguments);

// Runs the batch, or prints the Slurm script, of these documents; returns
// the exit status.
int RunManyRuns(const TManyRunsArguments& runs, const std::string& settingsFile,
                const std::vector<std::string>& documents, std::ostream& out, std::ostream& err);

struct TBatchOptions {
  std::vector<std::string> Documents;
  unsigned Jobs = 0;  // at most this many runs at once; 0: DefaultJobs
  std::string ResultsFile;   // "": no results file
  std::string SettingsFile;  // "": the per-user settings file
  std::string ManagerProgram;  // the program each run is a process of
  // A progress line ("7 of 20 done, 3 running, 1 failed") kept up to date
  // on err (for a terminal: the caller decides).
  bool ProgressLine = false;
};

// Runs at once by default: the processors this program may use divided by
// the engines of the largest document, at least 1.
unsigned DefaultJobs(unsigned processors, unsigned largestEngines);

// The value of VELMAR_PIPE_NAMESPACE for run number `run` (1-based) of the
// batch process `batchId`: the batch's own value extended, so that no two
// runs (nor two batches) listen on the same pipe, with a random part drawn
// for the run (`random`), so that nobody can take its name first.
std::string RunPipeNamespace(const std::string& batchNamespace, uint32_t batchId, size_t run,
                             const std::string& random);

class TBatchRun {
 public:
  // Exit statuses, as for one headless run.
  static constexpr int EXIT_COMPLETE = 0;  // every run completed
  static constexpr int EXIT_FAILED = 1;    // some run failed, was cancelled or never started
  static constexpr int EXIT_USAGE = 2;

  // Create before any thread is started: SIGINT, SIGTERM and SIGHUP then
  // stop the batch (every run is sent SIGTERM, the Stop command of a
  // headless run; runs not yet started are not started) instead of ending
  // it. Each run writes its own row to the results file and sends it to the
  // batch on its standard input, a socket whose end of file tells it that
  // the batch has gone.
  TBatchRun(TBatchOptions options, std::ostream& out, std::ostream& err);
  ~TBatchRun();
  TBatchRun(const TBatchRun&) = delete;
  TBatchRun& operator=(const TBatchRun&) = delete;

  // Runs the batch to its end, prints the summary; returns the exit status.
  int Run();

  // The records of the runs, in the documents' order (after Run).
  const std::vector<TRunRecord>& Records() const { return FRecords; }

 private:
  struct TRun;

  bool Prepare();
  void Launch(size_t index);
  void ReadErrors(TRun& run, bool toTheEnd);
  void Finish(TRun& run, uint32_t exitCode);
  void StopAll();
  void Report(const std::string& text);  // a line to out, around the progress line
  void ShowProgress();
  void PrintSummary(uint64_t elapsedMs);

  TBatchOptions FOptions;
  std::ostream& FOut;
  std::ostream& FErr;
  Platform::TStopSignals FSignals;
  std::vector<TRunRecord> FRecords;
  std::vector<std::unique_ptr<TRun>> FRunning;
  std::string FPipeNamespace;
  size_t FNext = 0;
  size_t FDone = 0;
  size_t FUnsuccessful = 0;
  bool FStopping = false;
  bool FRowsLost = false;  // a row could not be written to the results file
  bool FProgressShown = false;
  std::string FProgressText;
};

// Appends the row of a finished headless run to the results file (none:
// "") and sends it to the run's batch, if any. Returns the run's exit
// status, or EXIT_FAILED when the row could not be written.
int ReportHeadlessResult(const std::string& resultsFile, const THeadlessRun& run, int status, std::ostream& err);

// The channel to the batch this process is a run of (its standard input,
// as the batch's environment says), or -1; the variable is removed and
// standard input becomes /dev/null, so that the engines hold neither.
int TakeBatchChannel();

// Before a run with --results: 0 when the results file takes rows (it then
// has its header), else the errno value, said on err.
int CheckResultsFile(const std::string& resultsFile, std::ostream& err);

struct TSlurmScriptOptions {
  std::vector<std::string> Documents;
  std::string ResultsFile;   // "": velmar-results-JOBID.csv in the folder sbatch was run from
  std::string SettingsFile;  // "": the per-user settings file of the user on the node
  std::string ManagerProgram;
};

// The Slurm batch script: a job array with one task per document, each task
// a headless run of its document with a pipe namespace made from the job and
// task ids, asking for as many processors as the largest document has
// engines, every task appending its row to one results file. Paths are made
// absolute. Raises an error for a document that cannot be read.
std::string SlurmScript(const TSlurmScriptOptions& options);
