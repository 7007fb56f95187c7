#include "diagnostics/Logging.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "diagnostics/DebugOutput.h"
#include "diagnostics/IniText.h"
#include "platform/Clock.h"
#include "platform/Locale.h"
#include "platform/MessageBox.h"

const char* const EVENT_TYPES[6] = {"Debug", "Error", "Exception", "Info", "Log", "Warn"};

namespace {
std::unique_ptr<TLogger> TheLogger;
const char* const SEPARATOR_LINE = "--------------------";
}  // namespace

TLogger& Logger() {
  if (!TheLogger) TheLogger = std::make_unique<TLogger>();
  return *TheLogger;
}

void FinalizeLogger() {
  if (TheLogger) TheLogger->Flush();
  TheLogger.reset();
}

std::string ExceptionClassName(const std::exception& e) {
  if (auto* own = dynamic_cast<const ::Exception*>(&e)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  return "Exception";
}

std::string ExceptionMessage(const std::exception& e) {
  if (auto* own = dynamic_cast<const ::Exception*>(&e)) return own->Message();
  return e.what();
}

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

std::string EscapeControlCharacters(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && !IsControl(static_cast<unsigned char>(text[at]))) ++at;
  if (at == text.size()) return std::string(text);
  static constexpr char HEX[] = "0123456789abcdef";
  std::string escaped(text.substr(0, at));
  escaped.reserve(text.size() + 8);
  for (; at < text.size(); ++at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (!IsControl(c)) {
      escaped += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\r': escaped += "\\r"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      default:
        escaped += "\\x";
        escaped += HEX[c >> 4];
        escaped += HEX[c & 15];
    }
  }
  return escaped;
}

std::string TLogger::FormatSafely(std::string_view fmt, FmtArgs args) { return IniText::SafeFormat(fmt, args); }

std::string TLogger::FormatMessage(TEventType eventType, const std::string& rawMsg) {
  const Platform::TLocalDateTime now = Platform::LocalNow();
  const char sep = Platform::RegionalSettings().TimeSeparator;
  char stamp[64];
  const auto inRange = [](int v, int last) { return v >= 0 && v <= last; };
  if (inRange(now.Year, 9999) && inRange(now.Month, 99) && inRange(now.Day, 99) && inRange(now.Hour, 99) &&
      inRange(now.Minute, 99) && inRange(now.Second, 99)) {
    // The usual case without printf's parsing: "YYYY-MM-DD hh:mm:ss".
    const auto two = [](char* at, int v) {
      at[0] = static_cast<char>('0' + v / 10);
      at[1] = static_cast<char>('0' + v % 10);
    };
    two(stamp, now.Year / 100);
    two(stamp + 2, now.Year % 100);
    stamp[4] = '-';
    two(stamp + 5, now.Month);
    stamp[7] = '-';
    two(stamp + 8, now.Day);
    stamp[10] = ' ';
    two(stamp + 11, now.Hour);
    stamp[13] = sep;
    two(stamp + 14, now.Minute);
    stamp[16] = sep;
    two(stamp + 17, now.Second);
    stamp[19] = '\0';
  } else {
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d%c%02d%c%02d", now.Year, now.Month, now.Day, now.Hour, sep,
                  now.Minute, sep, now.Second);
  }
  // "%s - %s: %s", put together directly: every line logged passes here.
  const std::string_view kind = EVENT_TYPES[eventType];
  std::string line;
  line.reserve(std::strlen(stamp) + kind.size() + rawMsg.size() + 5);
  line.append(stamp).append(" - ").append(kind).append(": ").append(rawMsg);
  return line;
}

bool TLogger::CallHandler(const TLogEvent& event) {
  bool handled = false;
  if (FLogHandler) FLogHandler(event, handled);
  return handled;
}

void TLogger::Report(TEventType kind, const std::string& msg) {
  TLogEvent event;
  event.EventType = kind;
  // One event is one line: a line end inside the text (a request quoted in
  // an error, say) must not start a line of its own with a stamp of the
  // sender's choosing, nor an escape sequence reach a terminal.
  event.RawMessage = EscapeControlCharacters(msg);
  event.Message = FormatMessage(kind, event.RawMessage);
  if (CallHandler(event)) return;
  switch (kind) {
    case etDebug:
    case etLog: DebugOutput::ODS(msg); break;
    case etError: Platform::ShowMessageBox(Platform::mbError, msg); break;
    case etInfo: Platform::ShowMessageBox(Platform::mbInformation, msg); break;
    case etWarn: Platform::ShowMessageBox(Platform::mbWarning, msg); break;
    case etException: Platform::ShowMessageBox(Platform::mbPlain, msg); break;
  }
}

void TLogger::Log() { Report(etLog, SEPARATOR_LINE); }
void TLogger::Log(const std::string& msg) { Report(etLog, msg); }
void TLogger::Debug() {
  if (DebugWanted()) Report(etDebug, SEPARATOR_LINE);
}
void TLogger::Debug(const std::string& msg) {
  if (DebugWanted()) Report(etDebug, msg);
}
void TLogger::Info(const std::string& msg) { Report(etInfo, msg); }
void TLogger::Warn(const std::string& msg) { Report(etWarn, msg); }
void TLogger::Error(const std::string& msg) { Report(etError, msg); }

void TLogger::Exception(const std::exception& e) { Exception(ExceptionDescription(e), e, false); }

void TLogger::Exception(const std::string& msg, const std::exception& e, bool msgOnly) {
  TLogEvent event;
  event.EventType = etException;
  event.RawMessage = EscapeControlCharacters(msg);
  event.Message = FormatMessage(etException, event.RawMessage);
  if (!msgOnly) {
    const std::string suffix = " (" + EscapeControlCharacters(ExceptionDescription(e)) + ")";
    event.RawMessage += suffix;
    event.Message += suffix;
  }
  event.TheException = &e;
  if (!CallHandler(event)) Platform::ShowMessageBox(Platform::mbPlain, msg);
}

void TLogger::Exception(std::string_view fmt, std::initializer_list<FmtArg> args, const std::exception& e,
                        bool msgOnly) {
  Exception(IniText::SafeFormat(fmt, FmtArgs(args.begin(), args.size())), e, msgOnly);
}

std::string TLogger::ExceptionDescription(const std::exception& e) {
  std::string r = IniText::SafeFormat("%s: %s", ExceptionClassName(e), ExceptionMessage(e));
  static constexpr std::string_view prefix = "exception";
  bool starts = r.size() >= prefix.size();
  for (size_t i = 0; starts && i < prefix.size(); ++i)
    starts = std::tolower(static_cast<unsigned char>(r[i])) == prefix[i];
  if (!starts) r = "Exception " + r;
  return r;
}
