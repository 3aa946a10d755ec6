#include "PostedCall.h"

#include <map>

#include "Window.h"

namespace {

const UINT WM_POSTED_CALL = WM_APP + 1;

// The calls of this thread by their ids. An id is never used twice, so
// that a message still queued for a call that is gone reaches no other.
struct PostedCallState {
    HWND hWnd = nullptr;
    std::map<unsigned, CPostedCall*> calls;
    unsigned nNextId = 1;
};
thread_local PostedCallState t_calls;

} // namespace

class CPostedCallRunner {
public:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message != WM_POSTED_CALL)
            return ::DefWindowProcA(hWnd, message, wParam, lParam);
        const auto it = t_calls.calls.find(static_cast<unsigned>(wParam));
        if (it != t_calls.calls.end())
            it->second->m_call();
        return 0;
    }
};

CPostedCall::CPostedCall(std::function<void()> call) : m_call(std::move(call)), m_nId(t_calls.nNextId++)
{
    t_calls.calls.emplace(m_nId, this);
}

CPostedCall::~CPostedCall()
{
    t_calls.calls.erase(m_nId);
}

void CPostedCall::Post()
{
    if (!t_calls.hWnd)
        t_calls.hWnd = CreateMessageWindow("PostedCallWindow", CPostedCallRunner::WndProc);
    ::PostMessageA(t_calls.hWnd, WM_POSTED_CALL, m_nId, 0);
}
