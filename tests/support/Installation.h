#pragma once
// A fresh folder holding a copy of Updater.exe with QbLog.dll beside it, and
// the suite's installation root with its ContentCache and templates.

#include <string>

#include "Files.h"

class Installation {
public:
    Installation(const std::string& strTag, const std::string& strUpdater, const std::string& strQbLog);

    const std::string& Folder() const { return m_folder.Path(); }
    std::string ProgramFolder() const { return m_folder / "program files"; }
    std::string Exe() const { return ProgramFolder() + "\\Updater.exe"; }
    std::string Log() const { return ProgramFolder() + "\\QbLog.log"; }
    std::string Root() const { return m_folder / "suite root"; }
    // Where each mode stores its download when the channel names no other place.
    std::string DestFolder(bool bRunMode) const { return Root() + (bRunMode ? "\\ContentCache" : "\\templates"); }
    std::string Dest(bool bRunMode) const
    {
        return DestFolder(bRunMode) + (bRunMode ? "\\Update.exe" : "\\upgrade_info.html");
    }
    void Keep() { m_folder.Keep(); }

private:
    TempFolder m_folder;
};
