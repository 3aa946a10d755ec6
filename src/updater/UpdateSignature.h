#pragma once
// The Authenticode check of a fetched update program against the machine's
// signature policy, before it replaces the old program and is started.

#include "framework/Win32.h"
#include "framework/CString.h"

// The check reads the program through hFile, the open file itself, so
// that what is checked is what stays held; strPath names it.
// ERROR_SUCCESS when the program may be started; otherwise why not: the
// verification result (TRUST_E_BAD_DIGEST, ...), TRUST_E_NOSIGNATURE for an
// unsigned program that the policy refuses, TRUST_E_SUBJECT_NOT_TRUSTED for
// a signer that is not pinned. strThumbprints is the pin: SHA-1 thumbprints
// of the accepted signing certificates, hex in any case, blanks ignored,
// separated by ';'; empty for none.
LONG CheckUpdateSignature(HANDLE hFile, const CString& strPath, bool bRequireSignature,
                          const CString& strThumbprints);
