#pragma once
// What the next start needs to go on with a transfer that was cut short:
// the bookkeeping kept beside the part of the file that arrived. Text
// only, one "Name: value" line a field.

#include <cstdint>
#include <string>

struct KeptTransfer {
    std::string sourceUrl; // the setting's URL, which the next start must name again
    std::string url;       // of the hop that answered with the file
    std::string validator; // what If-Range sends
    uint64_t nLength = 0;  // of the whole file
    uint64_t nKeptAt = 0;  // when it was kept, UTC, in 100 ns units since 1601

    bool IsSet() const { return nLength != 0; }
};

std::string KeptTransferText(const KeptTransfer& kept);
// false when a field is missing, repeated, empty or not a number where one
// belongs, a value holds a line break, or a line is not a field: a file
// that was cut or changed is not trusted with a resumption.
bool ParseKeptTransfer(const std::string& text, KeptTransfer* pKept);
