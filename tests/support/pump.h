// Waiting with a deadline while this thread's messages run: the one way the
// tests wait for anything, whether the program runs in this process or in
// another one.
#ifndef HARBINEL_TESTS_SUPPORT_PUMP_H
#define HARBINEL_TESTS_SUPPORT_PUMP_H

#include <winsock2.h>
#include <windows.h>

#include <functional>

namespace support {

// Default deadline for anything the program does in reaction to a message.
const DWORD kDeadlineMs = 5000;

// What the pump does with one message it took from the queue. The default
// translates and dispatches it; the in-process tests hand it on the way the
// program's own loop does. NULL restores the default.
using MessageHandler = void (*)(MSG& msg);
void SetMessageHandler(MessageHandler handler);

// Runs this thread's messages until done() holds or timeoutMs passes, and
// says whether it held. done() is looked at after every message and at least
// every 10 ms, so a condition that polls a socket or another process is
// seen even when no message comes.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kDeadlineMs);

// Runs the messages already queued, without waiting for more.
void PumpPending();

} // namespace support

#endif
