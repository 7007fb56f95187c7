// velmar-manager: the window, or a headless run of one document.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QSocketNotifier>

#include "diagnostics/Logging.h"
#include "diagnostics/VersionInfo.h"
#include "platform/Files.h"
#include "platform/LocalSocket.h"
#include "platform/MessageBox.h"
#include "platform/Signals.h"
#include "ui/Batch.h"
#include "ui/Headless.h"
#include "ui/Main.h"
#include "ui/QtMessageBox.h"
#include "ui/QtMessagePump.h"
#include "ui/Startup.h"

namespace {

const char* const USAGE =
    "Usage: velmar-manager [--settings FILE] [--trace FILE] [DOCUMENT [-r|/r]]\n"
    "       velmar-manager [--settings FILE] [--trace FILE] --headless DOCUMENT\n"
    "       velmar-manager [--settings FILE] --headless [--jobs N] [--results FILE] DOCUMENT...\n"
    "       velmar-manager [--settings FILE] [--results FILE] --slurm-script DOCUMENT...\n"
    "       velmar-manager -v | --version | -h | --help\n"
    "\n"
    "Runs several Velmar engines side by side, one per model of DOCUMENT, and\n"
    "keeps them in step.\n"
    "\n"
    "  DOCUMENT          a Velmar Manager document (.vmgr) to open\n"
    "  -r, /r            run DOCUMENT at once and close when the run completes\n"
    "  --headless DOC    run DOC without a window; the log goes to standard output.\n"
    "                    Exit status 0 when the run completes, 1 when it fails or is\n"
    "                    cancelled (SIGINT and SIGTERM stop it), 2 for a usage error\n"
    "  --headless DOC... run the documents, each by a manager process of its own,\n"
    "                    at most N at once (--jobs; default: the processors divided\n"
    "                    by the engines of the largest document); a line per run as\n"
    "                    it ends and a summary. Exit status 0 when every run\n"
    "                    completed, 1 otherwise; SIGINT and SIGTERM stop every run\n"
    "  --results FILE    append a row per run to the CSV file FILE\n"
    "  --slurm-script DOC...\n"
    "                    print a Slurm batch script running the documents as a job\n"
    "                    array, one document per task\n"
    "  --trace FILE      write each run as a trace to FILE (emptied at every run's\n"
    "                    start) for Perfetto or speedscope: one track per\n"
    "                    engine with its computing, held and processor times;\n"
    "                    not with several documents\n"
    "  --settings FILE   use FILE instead of the per-user settings file\n"
    "  -v, --version     print the program's version\n"
    "  -h, --help        print this text\n"
    "\n"
    "The document and settings files: man 5 velmar-manager, or docs/files.md.\n";

struct TCommandLine {
  std::string SettingsFile;
  std::string TraceFile;
  std::string HeadlessDocument;
  bool Headless = false;
  bool Version = false;
  bool Help = false;
  std::vector<std::string> Arguments;  // what the window gets: document, /r
  TManyRunsArguments ManyRuns;          // --jobs, --results, --slurm-script
};

// Raises a message for a usage error.
TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* option) {
      if (i + 1 >= argc) throw Exception(std::string(option) + " needs a value");
      return std::string(argv[++i]);
    };
    if (arg == "--settings") {
      line.SettingsFile = value("--settings");
    } else if (arg == "--trace") {
      line.TraceFile = value("--trace");
      if (line.TraceFile.empty()) throw Exception("--trace needs a file name");
    } else if (arg == "--headless") {
      line.Headless = true;
      line.HeadlessDocument = value("--headless");
    } else if (arg == "--version" || arg == "-v") {
      line.Version = true;
    } else if (arg == "--help" || arg == "-h") {
      line.Help = true;
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      throw Exception("unknown option " + arg);
    } else {
      line.Arguments.push_back(arg);
    }
  }
  return line;
}

int RunHeadlessDocument(const TCommandLine& line, THeadlessRun& run, bool& traceFailed) {
  if (!Platform::PathExists(line.HeadlessDocument)) {
    std::cerr << "velmar-manager: no document at \"" << line.HeadlessDocument << "\"" << std::endl;
    return THeadlessRun::EXIT_USAGE;
  }
  run.SetProgressLines(Platform::StderrIsTerminal());
  try {
    StartupModules(line.SettingsFile);
    SimulationModule().SetTraceFile(line.TraceFile);
  } catch (const std::exception& e) {
    std::cerr << "velmar-manager: " << ExceptionMessage(e) << std::endl;
    return THeadlessRun::EXIT_FAILED;
  }
  const int status = run.Run();
  traceFailed = !line.TraceFile.empty() && SimulationModule().Insight().TraceFailed();
  ShutdownModules();
  return status;
}

int RunHeadless(const TCommandLine& line) {
  const int channel = TakeBatchChannel();
  const std::string& results = line.ManyRuns.ResultsFile;
  // A row that cannot be written would be lost after the whole run.
  if (Platform::FileExists(line.HeadlessDocument) && CheckResultsFile(results, std::cerr) != 0)
    return THeadlessRun::EXIT_USAGE;
  // Before any thread starts, so that SIGINT, SIGTERM and SIGHUP reach the run.
  THeadlessRun run(line.HeadlessDocument, std::cout, std::cerr);
  run.SetBatchChannel(channel);
  bool traceFailed = false;
  const int status = ReportHeadlessResult(results, run, RunHeadlessDocument(line, run, traceFailed), std::cerr);
  // The run may have completed, but the trace asked for is not whole.
  return status == THeadlessRun::EXIT_COMPLETE && traceFailed ? THeadlessRun::EXIT_FAILED : status;
}

int RunWindow(int argc, char** argv, const TCommandLine& line) {
  // Before Qt starts a thread: SIGTERM, SIGINT and SIGHUP stop the run and
  // close the window instead of ending the program with its engines left.
  Platform::TStopSignals stopSignals;
  // Qt sees only the program name; the arguments are ours.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  (void)argc;
  QApplication application(qtArgc, qtArgv);
  QApplication::setApplicationName("VelmarManager");
  // Ties the window to its menu entry (task bar icon and grouping).
  QGuiApplication::setDesktopFileName("velmar-manager");
  InstallQtMessageBoxHook();
  try {
    StartupModules(line.SettingsFile);
    SimulationModule().SetTraceFile(line.TraceFile);
  } catch (const std::exception& e) {
    // Most likely another manager holds the pipe name.
    Platform::ShowMessageBox(Platform::mbError, ExceptionMessage(e));
    return 1;
  }
  int status = 0;
  {
    TQtMessagePump pump;
    auto form = std::make_unique<TMainForm>(line.Arguments);
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (stopSignals.Fd() >= 0) {
      signalNotifier = std::make_unique<QSocketNotifier>(stopSignals.Fd(), QSocketNotifier::Read);
      QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, form.get(), [&stopSignals, &form] {
        if (stopSignals.Take() && form) form->StopAndCloseOnSignal();
      });
    }
    form->show();
    status = QApplication::exec();
    ShutdownModules();
    form.reset();  // writes the settings from the controls, after the rest is down
  }
  Platform::SetMessageBoxHook(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: the pipe's namespace, when none is given, is one of
  // this user's own, and the children find it in the environment.
  Platform::EnsurePipeNamespace();
  TCommandLine line;
  try {
    // The options of many runs first; the rest is read as before.
    std::vector<char*> rest;
    const TManyRunsArguments manyRuns = TakeManyRunsArguments(argc, argv, rest);
    line = ParseCommandLine(static_cast<int>(rest.size()), rest.data());
    line.ManyRuns = manyRuns;
    CheckManyRunsArguments(line.ManyRuns, line.Headless, line.HeadlessDocument, line.Arguments);
    // One file for one run at a time: the runs of a batch would overwrite
    // each other's.
    if (!line.TraceFile.empty() && (line.ManyRuns.Batch || line.ManyRuns.SlurmScript))
      throw Exception("--trace goes with one document, not with several runs");
  } catch (const std::exception& e) {
    std::cerr << "velmar-manager: " << ExceptionMessage(e) << "\n\n" << USAGE;
    return THeadlessRun::EXIT_USAGE;
  }
  if (line.Help) {
    std::cout << USAGE;
    return 0;
  }
  if (line.Version) {
    std::cout << "velmar-manager " << ProgramVersion() << std::endl;
    return 0;
  }
  if (line.ManyRuns.SlurmScript || line.ManyRuns.Batch)
    return RunManyRuns(line.ManyRuns, line.SettingsFile, line.Arguments, std::cout, std::cerr);
  return line.Headless ? RunHeadless(line) : RunWindow(argc, argv, line);
}
