#pragma once
// Modal message boxes. The window installs a hook that shows real boxes;
// without one the text goes to standard error with its kind, and the
// default answer is returned.
#include <functional>
#include <string>

namespace Platform {

enum TMsgBoxKind { mbError, mbInformation, mbWarning, mbPlain, mbConfirmation };
enum TMsgBoxButtons { mbOK, mbYesNoCancel, mbYesNo };
enum TMsgBoxResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

using TMessageBoxHook = std::function<TMsgBoxResult(TMsgBoxKind, const std::string& text, TMsgBoxButtons)>;

TMsgBoxResult ShowMessageBox(TMsgBoxKind kind, const std::string& text, TMsgBoxButtons buttons = mbOK);

// Installs a hook (nullptr restores standard error); returns the previous one.
TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook);

const char* MsgBoxKindName(TMsgBoxKind kind);

}  // namespace Platform
