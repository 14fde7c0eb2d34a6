// The pump: PeekMessage until the queue is empty, then MsgWaitForMultipleObjects
// for a short slice, until the condition holds or the deadline passes.
#include "support/pump.h"

namespace support {

namespace {

// A short slice, so that conditions polling sockets or other processes are
// looked at again even when no message arrives.
const DWORD kSliceMs = 10;

void TranslateAndDispatch(MSG& msg)
{
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

MessageHandler handler = TranslateAndDispatch;

} // namespace

void SetMessageHandler(MessageHandler newHandler)
{
    handler = newHandler != NULL ? newHandler : TranslateAndDispatch;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            handler(msg);
            if (done())
                return true;
        }
        if (done())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        const ULONGLONG left = deadline - now;
        MsgWaitForMultipleObjects(0, NULL, FALSE, left < kSliceMs ? (DWORD)left : kSliceMs,
                                  QS_ALLINPUT);
    }
}

void PumpPending()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        handler(msg);
}

} // namespace support
