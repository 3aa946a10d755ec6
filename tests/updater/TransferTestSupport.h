#pragma once
// Shared pieces of the reception and transfer tests: the temporary file of
// a download and the stand-in update program.

#include <windows.h>

#include <string>

#include "support/Files.h"
#include "support/SuiteSettings.h"

// Where the body of a 200 response waits for its completion: in a dialog
// fed directly, and in one that started the transfer and so holds the
// destination's lock (where a transfer cut short stays).
std::string TempPathOf(const std::string& strDestPath);
std::string PartPathOf(const std::string& strDestPath);

// The stand-in update program (it writes "<its path>.mark" when started).
std::string MarkProgramBytes();
// Whether the program stored at strPath was started within nMs.
bool WaitForMark(const std::string& strPath, DWORD nMs);
