#include "framework/WinApp.h"

#include <gtest/gtest.h>

TEST(Arguments, ProgramPathAndTheBlanksBehindItAreCutOff)
{
    struct {
        const char* pszCommandLine;
        const char* pszArguments;
    } const cases[] = {
        {"Updater.exe", ""},
        {"Updater.exe /run", "/run"},
        {"Updater.exe    /RUN", "/RUN"},
        {"Updater.exe\t\x01 /Run", "/Run"},
        {"Updater.exe /run ", "/run "},
        {"Updater.exe /run now", "/run now"},
        {"Updater.exe \"/run\"", "\"/run\""},
        {"Updater.exe -run", "-run"},
        {"\"C:\\Program Files\\Quillbrook\\Updater.exe\" /run", "/run"},
        {"\"C:\\Program Files\\Quillbrook\\Updater.exe\"/run", "/run"},
        {"\"C:\\Program Files\\Quillbrook\\Updater.exe", ""},
        {"C:\\Quillbrook\\Updater.exe\x1f/run", "/run"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszCommandLine);
        EXPECT_STREQ(AfxArgumentsOf(c.pszCommandLine), c.pszArguments);
    }
}
