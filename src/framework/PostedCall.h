#pragma once
// A call made later by this thread's message loop, from a message of its
// own: for work that must not run inside the handler that asks for it,
// such as deleting the object whose notification is being handled.

#include <functional>

class CPostedCall {
public:
    explicit CPostedCall(std::function<void()> call);
    // A call still due is dropped.
    ~CPostedCall();
    CPostedCall(const CPostedCall&) = delete;
    CPostedCall& operator=(const CPostedCall&) = delete;

    // Makes the call due once more; the next message loop makes it.
    void Post();

private:
    friend class CPostedCallRunner;
    std::function<void()> m_call;
    unsigned m_nId;
};
