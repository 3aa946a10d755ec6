#pragma once
// Reading the two fields the updater needs from a response's header block
// (the block without its terminating blank line). Plain, case-sensitive
// text searches; numbers as atoi reads them.

#include "framework/CString.h"

// The status code of the status line; 0 when the block has no line after
// the status line, or the status line lacks its two spaces.
int StatusCodeOf(const CString& strHeaders);

// The value of the first "Content-Length: " anywhere in the block; -1 when
// there is none.
int ContentLengthOf(const CString& strHeaders);
