#include "coordination/WinUtils.h"

#include "diagnostics/DebugOutput.h"
#include "platform/Events.h"
#include "platform/Files.h"

extern char** environ;

namespace WinUtils {
namespace {
TExecResult ExecFailed(int error, TExecFailure failure = TExecFailure::Launch) { return {failure, error}; }
}  // namespace

std::string QuotedCommandLine(const std::string& filename, const std::string& params) {
  // The program's name cannot carry a double quote on a command line: one in
  // the path is left out here, and the spawn request names the program
  // whole (TSpawnRequest::Program).
  std::string program = filename;
  std::erase(program, '"');
  return "\"" + program + "\" " + params;
}

std::string ExtractFilePath(const std::string& filename) {
  const size_t slash = filename.rfind('/');
  return slash == std::string::npos ? std::string() : filename.substr(0, slash + 1);
}

TExecResult ExecNoWait(const std::string& filename, const std::string& params,
                       TProcessInformation& procInfo, int output) {
  Platform::TSpawnRequest request;
  request.CommandLine = QuotedCommandLine(filename, params);
  request.Program = filename;
  request.WorkingDirectory = ExtractFilePath(filename);
  request.NewSession = true;
  request.StdOutput = output;
  request.StdError = output;
  TProcessInformation created;
  if (const int error = Platform::SpawnProcess(request, created); error != 0) return ExecFailed(error);
  procInfo = created;
  return {};
}

void PrepareChildInputPipe(int writeEnd) {
  Platform::SetPipeCapacity(writeEnd, CHILD_INPUT_PIPE_CAPACITY);  // best effort
  // Our end does not block: a write to a child that stops reading can end
  // after a time-out instead of never.
  Platform::SetPipeNonBlocking(writeEnd);
}

TExecResult ExecNoWait(const std::string& filename, const std::string& params,
                       TProcessInformation& procInfo, int& readPipe, int& writePipe,
                       const std::string& addEnvironment, int errorOutput) {
  const std::string commandLine = QuotedCommandLine(filename, params);

  int childStdInRead = -1, childStdInWrite = -1;
  int childStdOutRead = -1, childStdOutWrite = -1;
  if (const int error = Platform::CreatePipe(childStdInRead, childStdInWrite); error != 0) return ExecFailed(error);
  if (const int error = Platform::CreatePipe(childStdOutRead, childStdOutWrite); error != 0) {
    Platform::CloseHandleClear(childStdInRead);
    Platform::CloseHandleClear(childStdInWrite);
    return ExecFailed(error);
  }
  PrepareChildInputPipe(childStdInWrite);
  DebugOutput::ODS("childStdInPipeRead=%d, childStdInPipeWrite=%d", childStdInRead, childStdInWrite);
  DebugOutput::ODS("childStdOutPipeRead=%d, childStdOutPipeWrite=%d", childStdOutRead, childStdOutWrite);

  // Our ends must not reach the child, or it would never see end of input.
  int error = Platform::SetHandleInheritable(childStdOutRead, false);
  if (!error) error = Platform::SetHandleInheritable(childStdInWrite, false);
  if (error) {
    for (int* fd : {&childStdInRead, &childStdInWrite, &childStdOutRead, &childStdOutWrite})
      Platform::CloseHandleClear(*fd);
    return ExecFailed(error, TExecFailure::PipeEnds);
  }
  readPipe = childStdOutRead;
  writePipe = childStdInWrite;

  Platform::TSpawnRequest request;
  request.CommandLine = commandLine;
  request.Program = filename;
  request.StdInput = childStdInRead;
  request.StdOutput = childStdOutWrite;
  request.StdError = errorOutput;
  request.NewSession = true;
  DebugOutput::ODS("startupInfo.hStdInput=%d, startupInfo.hStdOutput=%d, startupInfo.hStdError=%d", request.StdInput,
                   request.StdOutput, errorOutput >= 0 ? errorOutput : Platform::StdErrorHandle());

  if (!addEnvironment.empty()) {
    // Our entries are taken whole rather than through the CR LF text, so a
    // value holding a line break (an exported shell function, say) reaches
    // the child intact; otherwise this is the block of the text form.
    request.UseEnvironment = true;
    for (char** e = environ; e && *e && **e; ++e) request.Environment.emplace_back(*e);
    for (auto& line : MakeEnvironmentStringsBlock(addEnvironment)) request.Environment.push_back(std::move(line));
  }

  procInfo = TProcessInformation{};
  const int spawnError = Platform::SpawnProcess(request, procInfo);

  // The child holds the only copies of its ends now.
  Platform::CloseHandleClear(childStdInRead);
  Platform::CloseHandleClear(childStdOutWrite);
  return spawnError != 0 ? ExecFailed(spawnError) : TExecResult{};
}

std::string GetEnvironmentStrings() {
  // No environment at all (environ is null after clearenv) reads as empty.
  std::string text;
  // An empty entry would end a Windows block, so it ends the walk here too.
  for (char** e = environ; e && *e && **e; ++e) {
    text += *e;
    text += "\r\n";
  }
  return text;
}

std::vector<std::string> MakeEnvironmentStringsBlock(const std::string& environmentVariables) {
  std::vector<std::string> block;
  std::string line;
  for (size_t i = 0; i < environmentVariables.size(); ++i) {
    const char c = environmentVariables[i];
    if (c == '\r' || c == '\n') {
      if (!line.empty()) block.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < environmentVariables.size() && environmentVariables[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) block.push_back(std::move(line));
  return block;
}

}  // namespace WinUtils
