// The syslog queue: fixed slots allocated once, so a collector that is away
// for hours costs no more memory than one that answers at once.
#include "syslogqueue.h"

#include <string.h>

#include "decimal.h"
#include "socketlist.h"
#include "text.h"

bool SyslogQueueInit(SyslogQueue* queue, uint32_t capacity)
{
    *queue = SyslogQueue();
    if (capacity == 0)
        return false;
    queue->slots = (char*)BlockAlloc((size_t)capacity * kSyslogSlotSize, false);
    queue->lengths = (uint16_t*)BlockAlloc((size_t)capacity * sizeof(uint16_t), true);
    if (queue->slots == NULL || queue->lengths == NULL) {
        SyslogQueueFree(queue);
        return false;
    }
    queue->capacity = capacity;
    return true;
}

void SyslogQueueFree(SyslogQueue* queue)
{
    BlockFree(queue->slots);
    BlockFree(queue->lengths);
    *queue = SyslogQueue();
}

void SyslogQueuePush(SyslogQueue* queue, const char* message, size_t length)
{
    if (queue->capacity == 0)
        return;
    if (queue->count == queue->capacity) {
        SyslogQueuePop(queue);
        ++queue->dropped;
    }
    uint32_t slot = (queue->head + queue->count) % queue->capacity;
    if (length > kSyslogSlotSize)
        length = kSyslogSlotSize;
    memcpy(queue->slots + (size_t)slot * kSyslogSlotSize, message, length);
    queue->lengths[slot] = (uint16_t)length;
    ++queue->count;
}

const char* SyslogQueueFront(const SyslogQueue* queue, size_t* length)
{
    if (queue->count == 0)
        return NULL;
    *length = queue->lengths[queue->head];
    return queue->slots + (size_t)queue->head * kSyslogSlotSize;
}

void SyslogQueuePop(SyslogQueue* queue)
{
    if (queue->count == 0)
        return;
    queue->head = (queue->head + 1) % queue->capacity;
    --queue->count;
}

uint32_t SyslogQueueTakeDropped(SyslogQueue* queue)
{
    uint32_t dropped = queue->dropped;
    queue->dropped = 0;
    return dropped;
}

void BuildDroppedTextN(uint32_t dropped, char* out, size_t size)
{
    if (size == 0)
        return;
    out[0] = '\0';
    AppendCountN(dropped, " message dropped", " messages dropped", out, size);
}

uint32_t SyslogQueueUndelivered(const SyslogQueue* queue)
{
    return queue->count + queue->dropped;
}

void BuildUndeliveredTextN(uint32_t lost, char* out, size_t size)
{
    TextCopyN(out, size, "Syslog: ");
    AppendCountN(lost, " message not delivered", " messages not delivered", out, size);
}
