#pragma once
// The process-wide logger. Callers state a kind and a text; the logger
// stamps it and offers it to the one installed handler, falling back on the
// debugger output (debug, log) or a message box (the other kinds).
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "diagnostics/Exception.h"
#include "diagnostics/Format.h"

enum TEventType { etDebug, etError, etException, etInfo, etLog, etWarn };

extern const char* const EVENT_TYPES[6];

struct TLogEvent {
  TEventType EventType = etLog;
  std::string RawMessage;
  std::string Message;
  const std::exception* TheException = nullptr;  // not owned
};

using TLogHandler = std::function<void(const TLogEvent& event, bool& handled)>;

// The class name an error is reported under ("Exception" for the base class
// and for errors that are not the program's own).
std::string ExceptionClassName(const std::exception& e);
// The message an error carries.
std::string ExceptionMessage(const std::exception& e);

// text with its control characters (C0 and DEL) written as visible escapes:
// "\r", "\n", "\t", else "\x1b" and the like. Text without any is returned
// as it is.
std::string EscapeControlCharacters(std::string_view text);

class TLogger {
 public:
  void Log();
  void Log(const std::string& msg);
  template <class A0, class... A>
  void Log(std::string_view fmt, const A0& a0, const A&... args) { Log(Fmt(fmt, a0, args...)); }

  // A debug line the handler's filter refuses is dropped before it is
  // formatted.
  void Debug();
  void Debug(const std::string& msg);
  template <class A0, class... A>
  void Debug(std::string_view fmt, const A0& a0, const A&... args) {
    if (DebugWanted()) Report(etDebug, Fmt(fmt, a0, args...));
  }

  void Info(const std::string& msg);
  template <class A0, class... A>
  void Info(std::string_view fmt, const A0& a0, const A&... args) { Info(Fmt(fmt, a0, args...)); }

  void Warn(const std::string& msg);
  template <class A0, class... A>
  void Warn(std::string_view fmt, const A0& a0, const A&... args) { Warn(Fmt(fmt, a0, args...)); }

  void Error(const std::string& msg);
  template <class A0, class... A>
  void Error(std::string_view fmt, const A0& a0, const A&... args) { Error(Fmt(fmt, a0, args...)); }

  void Exception(const std::exception& e);
  void Exception(const std::string& msg, const std::exception& e, bool msgOnly);
  void Exception(std::string_view fmt, std::initializer_list<FmtArg> args, const std::exception& e, bool msgOnly);

  std::string ExceptionDescription(const std::exception& e);
  std::string FormatMessage(TEventType eventType, const std::string& rawMsg);
  bool CallHandler(const TLogEvent& event);

  const TLogHandler& GetLogHandler() const { return FLogHandler; }
  // debugWanted, when given, tells whether the handler would use a debug
  // line at all (a handler that drops them saves their formatting); a
  // handler installed without one is offered every line. flush, when given,
  // makes a handler that gathers lines show and write them at once.
  void SetLogHandler(TLogHandler handler, std::function<bool()> debugWanted = nullptr,
                     std::function<void()> flush = nullptr) {
    FLogHandler = std::move(handler);
    FDebugWanted = FLogHandler ? std::move(debugWanted) : nullptr;
    FFlush = FLogHandler ? std::move(flush) : nullptr;
  }
  // The installed handler with its filter and flush, to be put back whole.
  struct THandlerSet {
    TLogHandler Handler;
    std::function<bool()> DebugWanted;
    std::function<void()> Flush;
  };
  THandlerSet GetHandlerSet() const { return {FLogHandler, FDebugWanted, FFlush}; }
  void SetHandlerSet(THandlerSet set) {
    SetLogHandler(std::move(set.Handler), std::move(set.DebugWanted), std::move(set.Flush));
  }
  bool DebugWanted() const { return !FDebugWanted || FDebugWanted(); }
  // Every line logged so far reaches its destinations (before a modal box,
  // before the program ends).
  void Flush() {
    if (FFlush) FFlush();
  }

 private:
  void Report(TEventType kind, const std::string& msg);
  template <class... A>
  static std::string Fmt(std::string_view fmt, const A&... args) {
    const FmtArg list[] = {FmtArg(args)...};
    return FormatSafely(fmt, FmtArgs(list, sizeof...(A)));
  }
  static std::string FormatSafely(std::string_view fmt, FmtArgs args);

  TLogHandler FLogHandler;
  std::function<bool()> FDebugWanted;
  std::function<void()> FFlush;
};

// The single logger, created on first use.
TLogger& Logger();
// Destroys the logger (program end); a later Logger() creates a new one.
void FinalizeLogger();
