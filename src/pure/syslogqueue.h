// Messages waiting for the syslog collector: a ring of fixed slots that never
// grows. When it is full the oldest message goes, and the count of those lost
// is kept so that one later message can tell the collector.
#ifndef HARBINEL_SYSLOGQUEUE_H
#define HARBINEL_SYSLOGQUEUE_H

#include <stddef.h>
#include <stdint.h>

// Room for one message: a scan with a 255-character host name fits whole.
const size_t kSyslogSlotSize = 1024;
const uint32_t kSyslogQueueLength = 1000;

struct SyslogQueue {
    char* slots;       // capacity slots of kSyslogSlotSize bytes
    uint16_t* lengths; // each slot's message length
    uint32_t capacity;
    uint32_t head; // oldest message
    uint32_t count;
    uint32_t dropped; // messages pushed out since the last TakeDropped
};

// Allocates the slots (through BlockAlloc); false, with nothing held, when
// memory is short or capacity is 0.
bool SyslogQueueInit(SyslogQueue* queue, uint32_t capacity);
void SyslogQueueFree(SyslogQueue* queue);
// Adds a copy of the message; one longer than a slot is cut to the slot.
// A full queue first loses its oldest message.
void SyslogQueuePush(SyslogQueue* queue, const char* message, size_t length);
// The oldest message and its length, or null when the queue is empty.
const char* SyslogQueueFront(const SyslogQueue* queue, size_t* length);
void SyslogQueuePop(SyslogQueue* queue);
// How many were lost since the last call; the count starts again at 0.
uint32_t SyslogQueueTakeDropped(SyslogQueue* queue);

// "1 message dropped", "25 messages dropped". Overwrites out.
void BuildDroppedTextN(uint32_t dropped, char* out, size_t size);
template <size_t N> inline void BuildDroppedText(uint32_t dropped, char (&out)[N])
{
    BuildDroppedTextN(dropped, out, N);
}

// Messages that never went: those still queued and those pushed out
// without a notice yet.
uint32_t SyslogQueueUndelivered(const SyslogQueue* queue);
// "Syslog: 1 message not delivered", "Syslog: 12 messages not delivered".
void BuildUndeliveredTextN(uint32_t lost, char* out, size_t size);
template <size_t N> inline void BuildUndeliveredText(uint32_t lost, char (&out)[N])
{
    BuildUndeliveredTextN(lost, out, N);
}

#endif
