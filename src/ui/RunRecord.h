#pragma once
// One run's record as a row of a results file (--results): comma-separated
// values as RFC 4180 lays them out (CR LF line ends, a field quoted when it
// holds a comma, a double quote or a line break, its quotes doubled), so a
// spreadsheet or R reads the file as it is. A headless run appends its row;
// a batch reads its runs' rows back to report them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"

// The outcomes a row can name.
inline constexpr const char* OUTCOME_COMPLETED = "completed";
inline constexpr const char* OUTCOME_FAILED = "failed";        // did not start, or ended before completing
inline constexpr const char* OUTCOME_CANCELLED = "cancelled";  // stopped by SIGINT or SIGTERM
inline constexpr const char* OUTCOME_NOT_STARTED = "not started";  // a batch stopped before its turn

// The first line of every results file.
inline constexpr const char* RESULTS_HEADER = "document,outcome,start,end,elapsed_s,steps,engines,log_file,fingerprint,states_file\r\n";

struct TRunRecord {
  std::string Document;  // as the command line named it
  std::string Outcome;   // one of the OUTCOME_ texts
  std::optional<Platform::TLocalDateTime> Start, End;  // local time; none for a run never started
  uint64_t ElapsedMs = 0;
  // Time steps the run got through: the highest step any of its engines
  // completed.
  uint32_t Steps = 0;
  uint32_t Engines = 0;  // models of the document
  std::string LogFile;
  // The run's fingerprint (32 hexadecimal digits); empty when it reached no
  // step.
  std::string Fingerprint;
  // The run's states file; empty when it wrote none (an untitled document).
  std::string StatesFile;
};

// "2026-12-10 00:12:03.045": local time to the millisecond, a form both
// spreadsheets and R's as.POSIXct read as a time.
std::string FormatTimestamp(const Platform::TLocalDateTime& t);
std::optional<Platform::TLocalDateTime> ParseTimestamp(const std::string& text);

// Elapsed seconds with three decimals and a full stop, whatever the locale.
std::string FormatSeconds(uint64_t ms);

// A field as RFC 4180 writes it: quoted (quotes doubled) only when it must be.
std::string CsvField(const std::string& value);
// The fields as one row, ending with CR LF.
std::string CsvRow(const std::vector<std::string>& fields);
// Reads the records of an RFC 4180 text (CR LF or LF line ends; a final
// line end may be missing). None for a text that breaks the rules: a quote
// inside an unquoted field, text after a closing quote, an open quote at
// the end.
std::optional<std::vector<std::vector<std::string>>> ParseCsv(const std::string& text);

std::string FormatResultRow(const TRunRecord& record);
// The record of a row's fields; none when they are not a results row.
std::optional<TRunRecord> RecordFromFields(const std::vector<std::string>& fields);

// Appends the row to the results file (the header first when the file is
// new or empty); other processes may append to the same file at the same
// time. Returns 0 or an errno value.
int AppendResult(const std::string& path, const TRunRecord& record);
// Makes sure the results file takes rows before any run: creates it with
// its header when new or empty. Returns 0 or an errno value.
int PrepareResultsFile(const std::string& path);
