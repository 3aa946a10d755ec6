#pragma once
// Binding of the suite's event-log library, QbLog.dll, loaded at run time.
// Without the library every LogEvent is a no-op returning 0.

// The record and the exports are those that the library's own header
// declares, so that a change of either fails to compile here.
#include "QbLog.h"

// Names the program and the source module of a record. The fourth text is
// always empty; the library's record layout has room for it.
using LogSource = QbLogSource;

// The record of one of the program's modules that log.
constexpr LogSource ModuleLogSource(const char* pszModule)
{
    return {"Updater.exe", "1.0", pszModule, ""};
}

int LoadLogLibrary();   // BOOL
int UnloadLogLibrary(); // BOOL: TRUE if a library was released
int LogEvent(const LogSource* pSource, int nLevel, const char* pszText, int nLine);
