// The port and connection lists. Nodes and their address blocks are always
// allocated and freed together, the address block first.
#include "socketlist.h"

#include <string.h>

SocketNode* ListAppend(SocketNode*& head, SocketHandle socket, int32_t port, const void* address,
                       size_t byteCount)
{
    void* block = BlockAlloc(byteCount, false);
    if (block == NULL)
        return NULL;
    SocketNode* node = (SocketNode*)BlockAlloc(sizeof(SocketNode), true);
    if (node == NULL) {
        BlockFree(block);
        return NULL;
    }
    node->socket = socket;
    node->port = port;
    node->warned = 0;
    node->received = 0;
    node->opened = 0;
    node->address = block;
    node->next = NULL;
    CopyWords(block, address, byteCount);

    SocketNode** link = &head;
    while (*link != NULL)
        link = &(*link)->next;
    *link = node;
    return node;
}

static void Unlink(SocketNode** link)
{
    SocketNode* node = *link;
    *link = node->next;
    BlockFree(node->address);
    BlockFree(node);
}

void ListRemoveBySocket(SocketNode*& head, SocketHandle socket)
{
    for (SocketNode** link = &head; *link != NULL; link = &(*link)->next) {
        if ((*link)->socket == socket) {
            Unlink(link);
            return;
        }
    }
}

void ListRemoveByPort(SocketNode*& head, int32_t port)
{
    for (SocketNode** link = &head; *link != NULL; link = &(*link)->next) {
        if ((*link)->port == port) {
            Unlink(link);
            return;
        }
    }
}

SocketNode* ListFindBySocket(SocketNode* first, SocketHandle socket)
{
    SocketNode* node = first;
    while (node != NULL && node->socket != socket)
        node = node->next;
    return node;
}

size_t ListCount(const SocketNode* first)
{
    size_t count = 0;
    for (const SocketNode* node = first; node != NULL; node = node->next)
        ++count;
    return count;
}

void ListFreeAll(SocketNode*& head)
{
    SocketNode* node = head;
    while (node != NULL) {
        SocketNode* next = node->next;
        BlockFree(node->address);
        BlockFree(node);
        node = next;
    }
    head = NULL;
}

void CopyWords(void* dst, const void* src, size_t byteCount)
{
    uint16_t* to = (uint16_t*)dst;
    const uint16_t* from = (const uint16_t*)src;
    for (size_t i = 0; i < byteCount / 2; ++i) {
        uint16_t unit;
        memcpy(&unit, from + i, sizeof unit);
        memcpy(to + i, &unit, sizeof unit);
    }
}

void FillDwords(void* buf, size_t byteCount, uint32_t value)
{
    unsigned char* out = (unsigned char*)buf;
    unsigned char pattern[32];
    for (size_t i = 0; i < sizeof pattern; i += 4)
        memcpy(pattern + i, &value, 4);
    size_t blocks = byteCount / 32;
    for (size_t b = 0; b < blocks; ++b, out += 32)
        memcpy(out, pattern, 32);
    // The tail takes the first bytes of the pattern as it lies in memory.
    memcpy(out, pattern, byteCount % 32);
}
