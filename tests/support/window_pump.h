// Running the calling thread's messages in a test until a condition holds.
// Each wait blocks in GetMessageW under a short thread timer, so nothing
// spins and a condition that never comes true ends in a clear false.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <vector>

namespace testsupport
{

// Handles the calling thread's sent, posted and timer messages until done()
// or ms pass; false on the time-out.
template <typename Pred> bool PumpUntil(Pred done, int ms = 3000)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        UINT_PTR bound = SetTimer(nullptr, 0, 10, nullptr); // bounds the wait
        MSG m;
        GetMessageW(&m, nullptr, 0, 0);
        KillTimer(nullptr, bound);
        if (m.message == WM_TIMER && m.hwnd == nullptr && m.wParam == bound)
            continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return true;
}

// Takes the calling thread's posted messages without dispatching them.
inline std::vector<MSG> DrainPosted()
{
    std::vector<MSG> out;
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
        out.push_back(m);
    return out;
}

} // namespace testsupport
