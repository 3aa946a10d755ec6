#pragma once
// The records that the event-log library writes to its file, one JSON line
// each.

#include <string>
#include <vector>

struct LogRecord {
    int level = -1;
    int line = -1; // the report site, a LOG_LINE_* of the program
    std::string module;
    std::string text;
};

// In order; none when the file does not exist. A field that a record lacks
// keeps its -1 or empty value.
std::vector<LogRecord> ReadLogRecords(const std::string& strPath);
std::vector<int> LinesOf(const std::vector<LogRecord>& records);
