#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace Platform {
namespace {
std::mutex gMutex;
TMessageBoxHook gHook;
}  // namespace

const char* MsgBoxKindName(TMsgBoxKind kind) {
  switch (kind) {
    case mbError: return "Error";
    case mbInformation: return "Information";
    case mbWarning: return "Warning";
    case mbConfirmation: return "Confirmation";
    case mbPlain: break;
  }
  return "Message";
}

TMsgBoxResult ShowMessageBox(TMsgBoxKind kind, const std::string& text, TMsgBoxButtons buttons) {
  TMessageBoxHook hook;
  {
    std::lock_guard lock(gMutex);
    hook = gHook;
  }
  if (hook) return hook(kind, text, buttons);
  std::string line = std::string(MsgBoxKindName(kind)) + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  // Nobody can answer: the safe choice for a question is to cancel.
  return buttons == mbOK ? mrOk : mrCancel;
}

TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook) {
  std::lock_guard lock(gMutex);
  std::swap(gHook, hook);
  return hook;
}

}  // namespace Platform
