#include "LogRecords.h"

#include <cstdlib>
#include <map>

#include "Files.h"

namespace {

// Where the value of a key starts in a record, or npos. Keys come before the
// free text in every record, so the first occurrence is the key itself.
size_t ValueAt(const std::string& record, const char* pszKey)
{
    const std::string marker = std::string("\"") + pszKey + "\":";
    const size_t nPos = record.find(marker);
    return nPos == std::string::npos ? nPos : nPos + marker.size();
}

int NumberOf(const std::string& record, const char* pszKey)
{
    const size_t nPos = ValueAt(record, pszKey);
    return nPos == std::string::npos ? -1 : atoi(record.c_str() + nPos);
}

// The unescaped string; empty when the value is missing or null.
std::string TextOf(const std::string& record, const char* pszKey)
{
    static const std::map<char, char> kEscapes = {{'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'b', '\b'}, {'f', '\f'}};
    std::string text;
    size_t i = ValueAt(record, pszKey);
    if (i == std::string::npos || i >= record.size() || record[i] != '"')
        return text;
    for (++i; i < record.size() && record[i] != '"'; ++i) {
        if (record[i] != '\\' || i + 1 == record.size()) {
            text += record[i];
        } else if (record[++i] == 'u') {
            text += static_cast<char>(strtol(record.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
        } else {
            const auto escape = kEscapes.find(record[i]);
            text += escape == kEscapes.end() ? record[i] : escape->second;
        }
    }
    return text;
}

} // namespace

std::vector<LogRecord> ReadLogRecords(const std::string& strPath)
{
    std::vector<LogRecord> records;
    const std::string bytes = ReadWholeFile(strPath);
    for (size_t nStart = 0, nEnd; nStart < bytes.size(); nStart = nEnd + 1) {
        nEnd = bytes.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = bytes.size();
        const std::string record = bytes.substr(nStart, nEnd - nStart);
        if (!record.empty())
            records.push_back({NumberOf(record, "level"), NumberOf(record, "line"), TextOf(record, "module"),
                               TextOf(record, "text")});
    }
    return records;
}

std::vector<int> LinesOf(const std::vector<LogRecord>& records)
{
    std::vector<int> lines;
    for (const LogRecord& record : records)
        lines.push_back(record.line);
    return lines;
}
