// Benchmark-only what-if: linked into a copy of the program (never the
// product), it answers the routing-interface query of each scan's address
// line with the accepted socket's own local address (getsockname) instead of
// asking the platform's routing table. Everything else goes to the real
// WSAIoctl. Under Wine that query walks the route and address tables through
// another process for every scan; this copy shows what the rest of the
// program costs without it.
//
// It works by defining the import pointer that the program's calls go
// through, so the linker never takes ws2_32's own from the import library.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace {

typedef int(WSAAPI* IoctlFunction)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                   LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);

int WSAAPI LocalAddressIoctl(SOCKET s, DWORD code, LPVOID in, DWORD inBytes, LPVOID out,
                             DWORD outBytes, LPDWORD bytes, LPWSAOVERLAPPED overlapped,
                             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (code == SIO_ROUTING_INTERFACE_QUERY && overlapped == NULL &&
        outBytes >= sizeof(sockaddr_in)) {
        int length = (int)outBytes;
        int result = getsockname(s, (sockaddr*)out, &length);
        if (bytes != NULL)
            *bytes = (DWORD)length;
        return result;
    }
    static IoctlFunction real =
        (IoctlFunction)(void*)GetProcAddress(LoadLibraryA("ws2_32.dll"), "WSAIoctl");
    return real(s, code, in, inBytes, out, outBytes, bytes, overlapped, routine);
}

} // namespace

extern "C" {
IoctlFunction __imp_WSAIoctl = LocalAddressIoctl;
}
