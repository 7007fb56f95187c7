// The results file's rows: RFC 4180 fields written and read back, the
// timestamps and seconds, and a whole row.
#include <gtest/gtest.h>

#include "ui/Batch.h"
#include "ui/RunRecord.h"

namespace {

TEST(RunRecordTest, FieldsAreQuotedOnlyWhenTheyMustBe) {
  const struct {
    const char* Value;
    const char* Written;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"with blank", "with blank"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"line\n", "\"line\n\""},
      {"runs/north,\"2\".vmgr", "\"runs/north,\"\"2\"\".vmgr\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CsvField(c.Value), c.Written) << c.Value;
    const auto back = ParseCsv(CsvRow({c.Value, "x"}));
    ASSERT_TRUE(back) << c.Value;
    EXPECT_EQ(*back, (std::vector<std::vector<std::string>>{{c.Value, "x"}})) << c.Value;
  }
}

TEST(RunRecordTest, TextsAreReadAsRecordsOrRefused) {
  using TRecords = std::vector<std::vector<std::string>>;
  const struct {
    const char* Text;
    std::optional<TRecords> Records;
  } cases[] = {
      {"", TRecords{}},
      {"a,b\r\nc,d\r\n", TRecords{{"a", "b"}, {"c", "d"}}},
      {"a,b\nc,d", TRecords{{"a", "b"}, {"c", "d"}}},  // LF line ends, no final one
      {"a,,\r\n", TRecords{{"a", "", ""}}},
      {"a,", TRecords{{"a", ""}}},
      {"\"x\r\ny\",z\r\n", TRecords{{"x\r\ny", "z"}}},
      {"\"\",\"\"\"\"\r\n", TRecords{{"", "\""}}},
      {"\r\n", TRecords{{""}}},
      {"a\"b,c\r\n", std::nullopt},      // a quote inside an unquoted field
      {"\"ab\"c,d\r\n", std::nullopt},   // text after the closing quote
      {"\"never closed,d\r\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCsv(c.Text), c.Records) << c.Text;
}

TEST(RunRecordTest, TimestampsAndSeconds) {
  const Platform::TLocalDateTime t{2026, 12, 9, 7, 5, 3, 45};
  EXPECT_EQ(FormatTimestamp(t), "2026-12-09 07:05:03.045");
  const auto back = ParseTimestamp("2026-12-09 07:05:03.045");
  ASSERT_TRUE(back);
  EXPECT_EQ(FormatTimestamp(*back), "2026-12-09 07:05:03.045");
  for (const char* bad : {"", "2026-12-09 07:05:03", "2026-12-09T07:05:03.045", "2026-12-09 07:05:03.045x"})
    EXPECT_FALSE(ParseTimestamp(bad)) << bad;

  const struct {
    uint64_t Ms;
    const char* Text;
  } seconds[] = {{0, "0.000"}, {7, "0.007"}, {1000, "1.000"}, {61234, "61.234"}, {3600000, "3600.000"}};
  for (const auto& s : seconds) EXPECT_EQ(FormatSeconds(s.Ms), s.Text) << s.Ms;
}

TEST(RunRecordTest, ARowIsWrittenAndReadBackWhole) {
  TRunRecord r;
  r.Document = "runs/harvest, 20%.vmgr";
  r.Outcome = OUTCOME_CANCELLED;
  r.Start = Platform::TLocalDateTime{2026, 1, 2, 3, 4, 5, 6};
  r.End = Platform::TLocalDateTime{2026, 1, 2, 3, 4, 9, 7};
  r.ElapsedMs = 4001;
  r.Steps = 12;
  r.Engines = 3;
  r.LogFile = "runs/harvest, 20%.log";
  r.Fingerprint = "00112233445566778899aabbccddeeff";
  r.StatesFile = "runs/harvest, 20%.states.csv";
  const std::string row = FormatResultRow(r);
  EXPECT_EQ(row,
            "\"runs/harvest, 20%.vmgr\",cancelled,2026-01-02 03:04:05.006,2026-01-02 03:04:09.007,4.001,12,3,"
            "\"runs/harvest, 20%.log\",00112233445566778899aabbccddeeff,\"runs/harvest, 20%.states.csv\"\r\n");
  const auto fields = ParseCsv(row);
  ASSERT_TRUE(fields && fields->size() == 1);
  const auto back = RecordFromFields(fields->front());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Document, r.Document);
  EXPECT_EQ(back->Outcome, r.Outcome);
  ASSERT_TRUE(back->Start && back->End);
  EXPECT_EQ(FormatTimestamp(*back->Start), "2026-01-02 03:04:05.006");
  EXPECT_EQ(FormatTimestamp(*back->End), "2026-01-02 03:04:09.007");
  EXPECT_EQ(back->ElapsedMs, 4001u);
  EXPECT_EQ(back->Steps, 12u);
  EXPECT_EQ(back->Engines, 3u);
  EXPECT_EQ(back->LogFile, r.LogFile);
  EXPECT_EQ(back->Fingerprint, r.Fingerprint);
  EXPECT_EQ(back->StatesFile, r.StatesFile);

  // A run never started has no times.
  TRunRecord never;
  never.Document = "a.vmgr";
  never.Outcome = OUTCOME_NOT_STARTED;
  never.Engines = 2;
  never.LogFile = "a.log";
  EXPECT_EQ(FormatResultRow(never), "a.vmgr,not started,,,0.000,0,2,a.log,,\r\n");
  const auto neverBack = RecordFromFields(ParseCsv(FormatResultRow(never))->front());
  ASSERT_TRUE(neverBack);
  EXPECT_FALSE(neverBack->Start || neverBack->End);
  EXPECT_EQ(FormatResultRow(*neverBack), FormatResultRow(never));

  // Not a results row.
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"a.vmgr", "completed", "", "", "1.000", "1", "1"},
           {"a.vmgr", "completed", "yesterday", "", "1.000", "1", "1", "a.log"},
           {"a.vmgr", "completed", "", "", "1.5", "1", "1", "a.log"},
           {"a.vmgr", "completed", "", "", "1.000", "-1", "1", "a.log"},
           {"a.vmgr", "completed", "", "", "1.000", "1", "many", "a.log"}})
    EXPECT_FALSE(RecordFromFields(bad)) << bad[2] << " " << bad[4] << " " << bad[5] << " " << bad[6];
}

TEST(RunRecordTest, DefaultJobsAndRunPipeNamespaces) {
  const struct {
    unsigned Processors, Engines, Jobs;
  } cases[] = {{2, 1, 2}, {2, 2, 1}, {2, 3, 1}, {16, 3, 5}, {16, 4, 4}, {8, 0, 8}, {1, 1, 1}};
  for (const auto& c : cases) EXPECT_EQ(DefaultJobs(c.Processors, c.Engines), c.Jobs) << c.Processors << "/" << c.Engines;

  EXPECT_EQ(RunPipeNamespace("", 4321, 1, "0f3a9c2e"), "b4321-0f3a9c2e-r1-");
  EXPECT_EQ(RunPipeNamespace("ci-7-", 4321, 12, "77aa01b2"), "ci-7-b4321-77aa01b2-r12-");
}

}  // namespace
