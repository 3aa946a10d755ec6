#pragma once
// The application object: starts the socket layer and the event log, picks
// the mode from the command line and runs the update dialog once.

#include "framework/WinApp.h"

enum { ID_HELP = 0xE146 };

class CUpdaterApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;
    BOOL OnCmdMsg(UINT nID) override;
};
