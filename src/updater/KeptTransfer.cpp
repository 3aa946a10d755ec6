#include "KeptTransfer.h"

#include <map>

namespace {

const char* const kFields[] = {"Source", "Url", "Validator", "Length", "Kept"};

bool ParseNumber(const std::string& text, uint64_t* pnValue)
{
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t nValue = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        nValue = nValue * 10 + static_cast<uint64_t>(ch - '0');
    }
    *pnValue = nValue;
    return true;
}

} // namespace

std::string KeptTransferText(const KeptTransfer& kept)
{
    return "Source: " + kept.sourceUrl + "\r\nUrl: " + kept.url + "\r\nValidator: " + kept.validator +
           "\r\nLength: " + std::to_string(kept.nLength) + "\r\nKept: " + std::to_string(kept.nKeptAt) + "\r\n";
}

bool ParseKeptTransfer(const std::string& text, KeptTransfer* pKept)
{
    std::map<std::string, std::string> fields;
    size_t nStart = 0;
    while (nStart < text.size()) {
        const size_t nEnd = text.find("\r\n", nStart);
        if (nEnd == std::string::npos)
            return false;
        const std::string line = text.substr(nStart, nEnd - nStart);
        const size_t nColon = line.find(": ");
        if (nColon == std::string::npos || line.find_first_of("\r\n") != std::string::npos)
            return false;
        if (!fields.emplace(line.substr(0, nColon), line.substr(nColon + 2)).second)
            return false;
        nStart = nEnd + 2;
    }
    if (fields.size() != sizeof(kFields) / sizeof(kFields[0]))
        return false;
    for (const char* pszField : kFields) {
        const auto it = fields.find(pszField);
        if (it == fields.end() || it->second.empty())
            return false;
    }
    KeptTransfer kept;
    kept.sourceUrl = fields["Source"];
    kept.url = fields["Url"];
    kept.validator = fields["Validator"];
    if (!ParseNumber(fields["Length"], &kept.nLength) || kept.nLength == 0 ||
        !ParseNumber(fields["Kept"], &kept.nKeptAt))
        return false;
    *pKept = kept;
    return true;
}
