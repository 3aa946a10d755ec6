#pragma once
// Reading the fields of a response's header block (the block without its
// terminating blank line). The status code and the Content-Length that
// moves the progress bar are plain, case-sensitive text searches with
// numbers as atoi reads them; the length that may end a response early is
// read strictly, as are the fields the connection itself reads.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/CString.h"

// The status code of the status line; 0 when the block has no line after
// the status line, or the status line lacks its two spaces.
int StatusCodeOf(const CString& strHeaders);

// The value of the first "Content-Length: " anywhere in the block; -1 when
// there is none.
int ContentLengthOf(const CString& strHeaders);

// The body length that the block announces beyond doubt: every header line
// named Content-Length (any letter case) holds decimal digits alone between
// optional blanks, and all such lines agree. false when there is no such
// line, or one of them is not of that form, or they differ.
bool AnnouncedLengthOf(const CString& strHeaders, uint64_t* pnLength);

// The values of every header line with the name (any letter case), in
// their order, blanks around them removed.
std::vector<std::string> HeaderValuesOf(const CString& strHeaders, const char* pszName);

// What a transfer cut short needs to go on later. The validator that
// If-Range can carry: the ETag unless it is weak ("W/"), else the
// Last-Modified date; empty when the block has neither. One value of each
// is read; repeated lines must agree.
std::string StrongValidatorOf(const CString& strHeaders);
// Whether "Accept-Ranges" lists "bytes" (any letter case).
bool AcceptsByteRanges(const CString& strHeaders);
// The range of a 206 answer, "Content-Range: bytes FIRST-LAST/TOTAL" with
// FIRST <= LAST < TOTAL; false for any other form, "*" included.
struct ByteRange {
    uint64_t nFirst = 0;
    uint64_t nLast = 0;
    uint64_t nTotal = 0;
};
bool ContentRangeOf(const CString& strHeaders, ByteRange* pRange);

// The status code of a response's status line as the transport reads it
// (a proxy's answer, a redirect): the three digits after the version and
// one blank; 0 when the response has no readable status line or no end of
// its header block. What the user is told of reads the status by the
// dialog's own rule.
int StatusOfResponse(const std::string& response);
