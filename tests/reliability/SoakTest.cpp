// Hundreds of transfers of the update dialog in one process, against a local
// server: every one stores its body, and the process's handles and private
// bytes stay level across them.
//
//   soak_test [--count N]

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "Harness.h"
#include "framework/Socket.h"
#include "framework/WinApp.h"
#include "support/ScriptedServer.h"
#include "updater/UpdaterDlg.h"

namespace {

CWinApp g_app("SoakTest");

// Handles and memory settle after the first transfers (the socket layer,
// the dialog classes, the heap); from then on they must stay within these.
const int kWarmUp = 20;
const int kHandleGrowth = 2;
const SIZE_T kPrivateGrowth = 512 * 1024;

} // namespace

int main(int argc, char** argv)
{
    int nCount = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (!std::strcmp(argv[i], "--count"))
            nCount = std::atoi(argv[i + 1]);
    if (nCount <= kWarmUp) {
        std::printf("FAIL: --count must exceed %d\n", kWarmUp);
        return 2;
    }

    AfxSocketInit();
    const ProxySettings noProxy(0, "");
    SuiteSettings::Backup();
    Install install("soak-in-process");
    const std::string strDest = install.Dest(false);
    int nFailures = 0;
    int nHandlesAfterWarmUp = 0;
    SIZE_T nPrivateAfterWarmUp = 0;
    int nMaxHandles = 0;
    SIZE_T nMaxPrivate = 0;
    for (int i = 0; i < nCount; ++i) {
        const std::string body =
            "page " + std::to_string(i) + std::string(static_cast<size_t>(20000 + i * 37 % 30000), 'p');
        int nOutcome;
        {
            ScriptedServer server(Answering(OkResponse(body)));
            ServeBothModesFrom(server.Port(), "/page.html", install.Root());
            CUpdaterDlg dlg;
            dlg.m_bRunMode = FALSE;
            g_app.m_pMainWnd = &dlg;
            dlg.DoModal();
            g_app.m_pMainWnd = nullptr;
            nOutcome = dlg.m_nOutcome;
        }
        if (nOutcome != OUTCOME_COMPLETED || ReadWholeFile(strDest) != body ||
            ListFiles(install.DestFolder(false)).size() != 1) {
            ++nFailures;
            std::printf("FAIL transfer %d: outcome %d, %zu files beside the destination\n", i, nOutcome,
                        ListFiles(install.DestFolder(false)).size());
        }
        const int nHandles = CountHandles(GetCurrentProcessId());
        const SIZE_T nPrivate = PrivateBytes(GetCurrentProcess());
        if (nHandles <= 0 || nPrivate == 0) {
            std::printf("FAIL: the handles or the private bytes of this process cannot be read\n");
            return 1;
        }
        if (i + 1 == kWarmUp) {
            nHandlesAfterWarmUp = nHandles;
            nPrivateAfterWarmUp = nPrivate;
        } else if (i + 1 > kWarmUp) {
            nMaxHandles = std::max(nMaxHandles, nHandles);
            nMaxPrivate = std::max(nMaxPrivate, nPrivate);
        }
    }
    SuiteSettings::Restore();

    std::printf("soak_test: %d transfers in one process; after %d: %d handles, %.0f KB private; afterwards at most "
                "%d handles, %.0f KB private\n",
                nCount, kWarmUp, nHandlesAfterWarmUp, nPrivateAfterWarmUp / 1024.0, nMaxHandles, nMaxPrivate / 1024.0);
    if (nMaxHandles > nHandlesAfterWarmUp + kHandleGrowth) {
        ++nFailures;
        std::printf("FAIL: handles grow across transfers\n");
    }
    if (nMaxPrivate > nPrivateAfterWarmUp + kPrivateGrowth) {
        ++nFailures;
        std::printf("FAIL: private bytes grow across transfers\n");
    }
    std::printf("%s: %d failures\n", nFailures ? "FAILED" : "PASSED", nFailures);
    return nFailures ? 1 : 0;
}
