// The two singly linked lists of the port monitor: configured ports with
// their listening sockets, and accepted connections. No index, count or tail:
// every operation walks from the head.
#ifndef HARBINEL_SOCKETLIST_H
#define HARBINEL_SOCKETLIST_H

#include <stddef.h>
#include <stdint.h>

// The platform's socket handle type, pointer-sized as on Windows.
typedef uintptr_t SocketHandle;
const SocketHandle kInvalidSocket = ~(SocketHandle)0;

struct SocketNode {
    SocketHandle socket; // listener, or accepted socket; kInvalidSocket when none
    void* address;       // owned socket address block
    uint32_t warned;     // connection: warning step done or data received
    uint32_t received;   // connection: bytes the caller sent so far
    uint32_t opened;     // connection: tick count of its accept
    int32_t port;        // configured port, or the port that accepted
    SocketNode* next;
};

// Heap blocks for list nodes and their addresses. The program takes them
// from the platform's global heap; native tests supply their own.
void* BlockAlloc(size_t bytes, bool zeroFill);
void BlockFree(void* block);

// Appends a node holding a copy of address (byteCount bytes, even). Returns
// the new node, or null with the list unchanged when memory ran out.
SocketNode* ListAppend(SocketNode*& head, SocketHandle socket, int32_t port, const void* address,
                       size_t byteCount);
// Remove the first node, from the head, whose socket or port matches.
void ListRemoveBySocket(SocketNode*& head, SocketHandle socket);
void ListRemoveByPort(SocketNode*& head, int32_t port);
SocketNode* ListFindBySocket(SocketNode* first, SocketHandle socket);
size_t ListCount(const SocketNode* first);
// Frees every node and its address; closes no sockets.
void ListFreeAll(SocketNode*& head);

// Copies byteCount / 2 16-bit units, in ascending order.
void CopyWords(void* dst, const void* src, size_t byteCount);
// Writes value repeatedly over exactly byteCount bytes of buf.
void FillDwords(void* buf, size_t byteCount, uint32_t value);

#endif
