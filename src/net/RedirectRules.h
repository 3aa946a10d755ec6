#pragma once
// Which answers send the request elsewhere, and where to: the statuses that
// are followed, the Location that names the next URL, and that URL made
// absolute against the one that was asked for. Text only.

#include <string>

#include "framework/CString.h"

// 301, 302, 303, 307 and 308.
bool IsRedirectStatus(int nStatus);

// The value of the header block's Location lines (the name in any letter
// case), blanks around it removed; empty when there is none, or when the
// lines name different locations.
std::string LocationOf(const CString& strHeaders);

// The absolute URL that a location names in answer to strBaseUrl (an
// absolute http:// or https:// URL with a path): an http:// or https://
// URL as it stands (the scheme in any letter case); //host[:port]/path with
// the base's scheme; /path on the base's server; any other text relative
// to the folder of the base's path. A fragment is not part of it. Empty
// when the location names another scheme or no host, or holds a blank or a
// control character, which a request line cannot carry.
std::string ResolvedLocation(const std::string& strBaseUrl, const std::string& strLocation);
