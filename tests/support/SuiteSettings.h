#pragma once
// The suite's machine-wide settings in the test prefix. Whatever the prefix
// held is kept aside at the start of a test program and put back at its end
// (Backup/Restore); in between each test writes its own values.

#include <windows.h>

#include <string>

namespace SuiteSettings {

extern const char kUpdatesKey[];
extern const char kSuiteKey[];
extern const char kChannelKey[];
// The same keys in the 32-bit view of the registry, where a 32-bit
// installer writes them on 64-bit Windows.
extern const char kUpdatesKey32[];
extern const char kSuiteKey32[];
extern const char kChannelKey32[];

void Backup();
void Restore();
// Removes the whole suite tree, in both views.
void Clear();
// Removes one key and everything below it.
void Delete(const char* pszKey);
// Raw data of any type, stored exactly as given.
void SetValue(const char* pszKey, const char* pszName, DWORD nType, const std::string& data);
// A text value stored with its terminating NUL, as installers write it.
void Set(const char* pszKey, const char* pszName, const std::string& strValue);

} // namespace SuiteSettings
