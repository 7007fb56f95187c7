#include "coordination/TraceWriter.h"

#include <cerrno>
#include <charconv>
#include <cmath>

#include "diagnostics/TextUtils.h"
#include "diagnostics/Logging.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/TempFile.h"

namespace {

// Engine N's track; the manager's is 0.
uint64_t TrackOf(uint32_t engine) { return uint64_t{engine} + 1; }

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  out.append(digits, end);
}

void AppendNumber(std::string& out, int64_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  out.append(digits, end);
}

}  // namespace

std::string JsonQuoted(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += "\\u00";
      out += HEX[u >> 4];
      out += HEX[u & 15];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

TTraceWriter::~TTraceWriter() {
  if (FFd >= 0) {
    Flush();
    Platform::CloseFd(FFd);
  }
}

int TTraceWriter::Open(const std::string& path, uint64_t runStartUs) {
  if (FFd >= 0) Close(runStartUs);
  FBuffer.clear();
  FFailure = 0;
  FPath = path;
  if (const int error = Platform::CreateOutputFile(path, FFd); error != 0) return FFailure = error;
  FStartUs = runStartUs;
  FFlushedUs = runStartUs;
  FBuffer +=
      "[\n{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"tid\":0,\"args\":{\"name\":\"Velmar Manager run\"}},\n"
      "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":0,\"args\":{\"name\":\"Manager\"}},\n"
      "{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":1,\"tid\":0,\"args\":{\"sort_index\":0}},\n";
  ManagerEvent("run start", runStartUs);
  Flush();
  return 0;
}

void TTraceWriter::NameEngine(uint32_t engine, std::string_view modelFile) {
  if (FFd < 0) return;
  const std::string name = "Velmar #" + std::to_string(engine) + " (" + std::string(modelFile) + ")";
  FBuffer += "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":";
  AppendNumber(FBuffer, TrackOf(engine));
  FBuffer += ",\"args\":{\"name\":";
  FBuffer += JsonQuoted(name);
  FBuffer += "}},\n{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":1,\"tid\":";
  AppendNumber(FBuffer, TrackOf(engine));
  FBuffer += ",\"args\":{\"sort_index\":";
  AppendNumber(FBuffer, TrackOf(engine));
  FBuffer += "}},\n";
}

void TTraceWriter::Timestamp(std::string_view key, uint64_t us) {
  FBuffer += key;
  AppendNumber(FBuffer, us > FStartUs ? us - FStartUs : 0);
}

void TTraceWriter::EndEvent(uint64_t nowUs) {
  FBuffer += "},\n";
  if (FBuffer.size() >= FLUSH_BYTES || nowUs - FFlushedUs >= FLUSH_INTERVAL_US) {
    FFlushedUs = nowUs;
    Flush();
  }
}

void TTraceWriter::Span(uint32_t engine, std::string_view name, uint64_t startUs, uint64_t endUs, uint32_t step,
                        std::string_view call) {
  if (FFd < 0) return;
  FBuffer += "{\"name\":\"";
  FBuffer += name;
  FBuffer += "\",\"ph\":\"X\",\"pid\":1,\"tid\":";
  AppendNumber(FBuffer, TrackOf(engine));
  Timestamp(",\"ts\":", startUs);
  FBuffer += ",\"dur\":";
  AppendNumber(FBuffer, endUs > startUs ? endUs - startUs : 0);
  FBuffer += ",\"args\":{\"step\":";
  AppendNumber(FBuffer, uint64_t{step});
  if (!call.empty()) {
    FBuffer += ",\"call\":";
    FBuffer += JsonQuoted(call);
  }
  FBuffer += '}';
  EndEvent(endUs);
}

void TTraceWriter::Counter(uint32_t engine, std::string_view name, uint64_t atUs, double value) {
  if (FFd < 0) return;
  FBuffer += "{\"name\":";
  FBuffer += JsonQuoted(name);
  FBuffer += ",\"ph\":\"C\",\"pid\":1,\"tid\":";
  AppendNumber(FBuffer, TrackOf(engine));
  Timestamp(",\"ts\":", atUs);
  FBuffer += ",\"args\":{\"value\":";
  FBuffer += std::isfinite(value) ? TextUtils::SafeFormat("%.17g", value) : std::string("0");
  FBuffer += '}';
  EndEvent(atUs);
}

void TTraceWriter::ManagerEvent(std::string_view name, uint64_t atUs, int64_t engine, int64_t pid) {
  if (FFd < 0) return;
  FBuffer += "{\"name\":";
  FBuffer += JsonQuoted(name);
  FBuffer += ",\"ph\":\"i\",\"s\":\"t\",\"pid\":1,\"tid\":0";
  Timestamp(",\"ts\":", atUs);
  if (engine >= 0) {
    FBuffer += ",\"args\":{\"engine\":";
    AppendNumber(FBuffer, engine);
    if (pid >= 0) {
      FBuffer += ",\"pid\":";
      AppendNumber(FBuffer, pid);
    }
    FBuffer += '}';
  }
  EndEvent(atUs);
}

void TTraceWriter::Close(uint64_t atUs, std::string_view fingerprint) {
  if (FFd < 0) return;
  // The whole run as one span on the manager's track, so that a viewer that
  // shows spans only (speedscope) lists the track too.
  FBuffer += "{\"name\":\"Run\",\"ph\":\"X\",\"pid\":1,\"tid\":0,\"ts\":0,\"dur\":";
  AppendNumber(FBuffer, atUs > FStartUs ? atUs - FStartUs : 0);
  FBuffer += "},\n";
  // The last event has no comma after it: the closed file is plain JSON.
  FBuffer += "{\"name\":\"run end\",\"ph\":\"i\",\"s\":\"t\",\"pid\":1,\"tid\":0";
  Timestamp(",\"ts\":", atUs);
  // Hexadecimal digits only: nothing to escape.
  if (!fingerprint.empty()) {
    FBuffer += ",\"args\":{\"fingerprint\":\"";
    FBuffer += fingerprint;
    FBuffer += "\"}";
  }
  FBuffer += "}\n]\n";
  Flush();
  Platform::CloseFd(FFd);
  FFd = -1;
  FBuffer.clear();
  FBuffer.shrink_to_fit();
}

void TTraceWriter::Flush() {
  if (FFd < 0 || FBuffer.empty()) return;
  // Whole lines go out at once; a file that fills up loses the rest, the
  // viewers still open what is there, and the log says where it stops.
  errno = 0;
  const int64_t size = static_cast<int64_t>(FBuffer.size());
  const int64_t written = Platform::WriteFd(FFd, FBuffer.data(), size);
  const int error = errno ? errno : EIO;
  FBuffer.clear();
  if (written == size) return;
  FFailure = error;
  Platform::CloseFd(FFd);
  FFd = -1;
  Logger().Error("Could not write to the trace file \"%s\": %s; the trace stops here", FPath,
                 Platform::SysErrorMessage(error));
}
