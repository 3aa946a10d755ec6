#include "Installation.h"

#include <windows.h>

#include <gtest/gtest.h>

Installation::Installation(const std::string& strTag, const std::string& strUpdater, const std::string& strQbLog)
    : m_folder(strTag, {"program files", "suite root", "suite root\\ContentCache", "suite root\\templates"})
{
    EXPECT_TRUE(CopyFileA(strUpdater.c_str(), Exe().c_str(), FALSE)) << strUpdater;
    EXPECT_TRUE(CopyFileA(strQbLog.c_str(), (ProgramFolder() + "\\QbLog.dll").c_str(), FALSE)) << strQbLog;
}
