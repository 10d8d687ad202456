// The report and the log both written from each event's record: every event of the table gives
// one log line that names what the record holds, and lands in the report's field its row names.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/report.h"
#include "hive/events.h"

namespace tarvos::app {
namespace {

TEST(Events, EveryRowHasItsLogLineAndItsReportField) {
  std::set<std::string> openings;
  for (const hive::EventRow& row : hive::kEventTable) {
    SCOPED_TRACE(row.name);
    hive::EventRecord e{row.event, 0x1230, 0x4560, 0x7890};
    e.count = 37;
    e.was = 41;
    e.text = "NAME";
    e.reason = "why";
    // The log: one line, apart from every other event's by its words before the first number.
    const std::string line = hive::EventLine(e);
    ASSERT_GE(line.size(), 12u);
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 2);
    EXPECT_TRUE(openings.insert(line.substr(0, line.find_first_of("0123456789"))).second) << line;
    // The report: the hive's object holds it in the field the row names.
    std::string written;
    RunReport report;
    report.SetWriter([&written](std::string_view text) {
      written += text;
      return true;
    });
    report.BeginHive("hive");
    report.Happened(e);
    report.EndHive(HiveEnd{}, std::nullopt);
    const std::string field = row.reportField;
    std::string expected;
    if (field == "logs.recovered") {
      expected = "\"recovered\":true";
    } else if (field.rfind("logs.", 0) == 0) {
      expected = "\"" + field.substr(5) + "\":[{\"name\":\"NAME\"";
    } else if (field == "events") {
      expected = "{\"event\":\"" + std::string(row.name) + "\"";
    } else {
      expected = "\"" + field + "\":[{\"key\":4656";
    }
    EXPECT_NE(written.find(expected), std::string::npos) << expected << "\n" << written;
    // What the line says of the record, the report says too.
    for (const char* part : {"37", "NAME", "why"}) {
      if (line.find(part) != std::string::npos) {
        EXPECT_NE(written.find(part), std::string::npos) << part;
      }
    }
  }
}

}  // namespace
}  // namespace tarvos::app
