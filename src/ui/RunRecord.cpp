#include "ui/RunRecord.h"

#include "diagnostics/TextUtils.h"

#include <charconv>
#include <cstdio>

#include "platform/FileShare.h"

namespace {

const size_t RESULTS_FIELDS = 10;

bool ToNumber(const std::string& text, uint64_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

std::string FormatTimestamp(const Platform::TLocalDateTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                t.Second, t.Millisecond);
  return buf;
}

std::optional<Platform::TLocalDateTime> ParseTimestamp(const std::string& text) {
  Platform::TLocalDateTime t;
  int consumed = 0;
  if (text.size() != 23 || std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d%n", &t.Year, &t.Month, &t.Day,
                                       &t.Hour, &t.Minute, &t.Second, &t.Millisecond, &consumed) != 7 ||
      consumed != 23)
    return std::nullopt;
  return t;
}

std::string FormatSeconds(uint64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return buf;
}

std::string CsvField(const std::string& value) { return TextUtils::CsvField(value); }

std::string CsvRow(const std::vector<std::string>& fields) {
  std::string row;
  for (size_t i = 0; i < fields.size(); ++i) row += (i ? "," : "") + CsvField(fields[i]);
  return row + "\r\n";
}

std::optional<std::vector<std::vector<std::string>>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    // At the start of a field.
    if (text[i] == '"') {
      ++i;
      for (;;) {
        if (i >= n) return std::nullopt;  // the quote never closed
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += text[i++];
      }
      if (i < n && text[i] != ',' && text[i] != '\r' && text[i] != '\n') return std::nullopt;
    } else {
      while (i < n && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
        if (text[i] == '"') return std::nullopt;
        field += text[i++];
      }
    }
    record.push_back(std::move(field));
    field.clear();
    if (i < n && text[i] == ',') {
      ++i;
      if (i < n) continue;
      record.emplace_back();  // a last, empty field at the end of the text
    }
    // A line end (or the end of the text) closes the record.
    if (i < n && text[i] == '\r') ++i;
    if (i < n && text[i] == '\n') ++i;
    records.push_back(std::move(record));
    record.clear();
  }
  return records;
}

std::string FormatResultRow(const TRunRecord& r) {
  return CsvRow({r.Document, r.Outcome, r.Start ? FormatTimestamp(*r.Start) : "", r.End ? FormatTimestamp(*r.End) : "",
                 FormatSeconds(r.ElapsedMs), std::to_string(r.Steps), std::to_string(r.Engines), r.LogFile, r.Fingerprint, r.StatesFile});
}

std::optional<TRunRecord> RecordFromFields(const std::vector<std::string>& fields) {
  if (fields.size() != RESULTS_FIELDS) return std::nullopt;
  TRunRecord r;
  r.Document = fields[0];
  r.Outcome = fields[1];
  if (!fields[2].empty() && !(r.Start = ParseTimestamp(fields[2]))) return std::nullopt;
  if (!fields[3].empty() && !(r.End = ParseTimestamp(fields[3]))) return std::nullopt;
  const std::string& elapsed = fields[4];
  const size_t dot = elapsed.find('.');
  uint64_t seconds = 0, ms = 0, steps = 0, engines = 0;
  if (dot == std::string::npos || elapsed.size() - dot != 4 || !ToNumber(elapsed.substr(0, dot), seconds) ||
      !ToNumber(elapsed.substr(dot + 1), ms))
    return std::nullopt;
  r.ElapsedMs = seconds * 1000 + ms;
  if (!ToNumber(fields[5], steps) || !ToNumber(fields[6], engines) || steps > UINT32_MAX || engines > UINT32_MAX)
    return std::nullopt;
  r.Steps = static_cast<uint32_t>(steps);
  r.Engines = static_cast<uint32_t>(engines);
  r.LogFile = fields[7];
  r.Fingerprint = fields[8];
  r.StatesFile = fields[9];
  return r;
}

int AppendResult(const std::string& path, const TRunRecord& record) {
  return Platform::AppendShared(path, RESULTS_HEADER, FormatResultRow(record));
}

int PrepareResultsFile(const std::string& path) { return Platform::AppendShared(path, RESULTS_HEADER, ""); }
