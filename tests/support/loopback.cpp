// Loopback sockets of the tests: picking and holding ports, and the caller
// whose waits pump messages.
#include "support/loopback.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

namespace support {

namespace {

sockaddr_in Address(u_long host, int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons((u_short)port);
    return address;
}

int BoundPort(SOCKET s)
{
    sockaddr_in6 address = {}; // the port sits at the same place for both families
    int length = sizeof address;
    if (getsockname(s, (sockaddr*)&address, &length) != 0)
        return 0;
    return ntohs(address.sin6_port);
}

} // namespace

WinsockUser::WinsockUser()
{
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockUser::~WinsockUser()
{
    if (started_)
        WSACleanup();
}

// ---- Ports -----------------------------------------------------------------

std::vector<int> FreePorts(size_t count)
{
    WinsockUser winsock;
    std::vector<SOCKET> held;
    std::vector<int> ports;
    for (size_t i = 0; i < count; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = Address(INADDR_ANY, 0);
        int port = 0;
        if (s == INVALID_SOCKET || bind(s, (sockaddr*)&address, sizeof address) != 0 ||
            (port = BoundPort(s)) == 0) {
            ADD_FAILURE() << "cannot pick a free port";
            if (s != INVALID_SOCKET)
                closesocket(s);
            break;
        }
        held.push_back(s);
        ports.push_back(port);
    }
    for (SOCKET s : held)
        closesocket(s);
    return ports;
}

int FreePort()
{
    std::vector<int> ports = FreePorts(1);
    return ports.empty() ? 0 : ports[0];
}

PortHolder::~PortHolder()
{
    Release();
}

bool PortHolder::Hold(int port)
{
    Release();
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET)
        return false;
    sockaddr_in address = Address(INADDR_ANY, port);
    if (bind(socket_, (sockaddr*)&address, sizeof address) != 0 || listen(socket_, 5) != 0 ||
        (port_ = BoundPort(socket_)) == 0) {
        Release();
        return false;
    }
    return true;
}

void PortHolder::Release()
{
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

// ---- Caller ----------------------------------------------------------------

Caller::~Caller()
{
    Close();
}

bool Caller::Open()
{
    if (socket_ == INVALID_SOCKET)
        socket_ = socket(v6_ ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return socket_ != INVALID_SOCKET;
}

bool Caller::ConnectV6(int port, DWORD timeoutMs)
{
    if (used_)
        Close();
    v6_ = true;
    bool ok = ConnectFrom(NULL, port, timeoutMs);
    v6_ = false;
    return ok;
}

bool Caller::Connect(int port, DWORD timeoutMs)
{
    return ConnectFrom(NULL, port, timeoutMs);
}

bool Caller::ConnectFrom(const char* from, int port, DWORD timeoutMs)
{
    // A caller connects once; another Connect starts a new connection.
    if (used_)
        Close();
    used_ = true;
    received_.clear();
    handedOut_ = 0;
    peerClosed_ = false;
    localPort_ = 0;
    if (!Open())
        return false;
    if (from != NULL) {
        sockaddr_in own = {};
        own.sin_family = AF_INET;
        own.sin_addr.s_addr = inet_addr(from);
        if (bind(socket_, (sockaddr*)&own, sizeof own) != 0) {
            Close();
            return false;
        }
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    // The backlog completes the connection without the program's help, so
    // waiting in select is fine even when the program runs on this thread.
    sockaddr_in address = Address(INADDR_LOOPBACK, port);
    sockaddr_in6 address6 = {};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons((u_short)port);
    address6.sin6_addr.s6_addr[15] = 1; // ::1
    bool ok = v6_ ? connect(socket_, (sockaddr*)&address6, sizeof address6) == 0
                  : connect(socket_, (sockaddr*)&address, sizeof address) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket_, &writable);
        FD_SET(socket_, &failed);
        timeval tv = {(long)(timeoutMs / 1000), (long)((timeoutMs % 1000) * 1000)};
        ok = select(0, NULL, &writable, &failed, &tv) > 0 && FD_ISSET(socket_, &writable);
    }
    if (!ok) {
        Close();
        return false;
    }
    localPort_ = BoundPort(socket_);
    return true;
}

bool Caller::Send(const std::string& bytes)
{
    size_t sent = 0;
    ULONGLONG deadline = GetTickCount64() + kDeadlineMs;
    while (sent < bytes.size()) {
        int n = send(socket_, bytes.data() + sent, (int)(bytes.size() - sent), 0);
        if (n > 0) {
            sent += (size_t)n;
            deadline = GetTickCount64() + kDeadlineMs;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK || GetTickCount64() >= deadline) {
            return false;
        } else {
            PumpUntil([] { return false; }, 5); // the program reads meanwhile
        }
    }
    return true;
}

bool Caller::Poll()
{
    if (socket_ == INVALID_SOCKET || peerClosed_)
        return false;
    bool changed = false;
    for (;;) {
        char buffer[4096];
        int n = recv(socket_, buffer, sizeof buffer, 0);
        if (n > 0) {
            received_.append(buffer, (size_t)n);
            changed = true;
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            peerClosed_ = true; // end of stream, or reset
            changed = true;
        }
        return changed;
    }
}

bool Caller::WaitClosed(DWORD timeoutMs)
{
    return PumpUntil(
        [this] {
            Poll();
            return peerClosed_;
        },
        timeoutMs);
}

bool Caller::WaitReceived(size_t n, DWORD timeoutMs)
{
    return PumpUntil(
        [this, n] {
            Poll();
            return received_.size() >= n;
        },
        timeoutMs);
}

std::string Caller::ReceiveAll(DWORD timeoutMs, bool* ended)
{
    *ended = socket_ != INVALID_SOCKET && WaitClosed(timeoutMs);
    std::string got = received_.substr(handedOut_);
    handedOut_ = received_.size();
    return got;
}

std::string Caller::ReceiveSome(DWORD timeoutMs, bool* ended)
{
    *ended = false;
    if (socket_ == INVALID_SOCKET)
        return std::string();
    PumpUntil(
        [this] {
            Poll();
            return received_.size() > handedOut_ || peerClosed_;
        },
        timeoutMs);
    // Bytes first, as a read hands them out; the end comes with the next call.
    if (received_.size() > handedOut_) {
        std::string got = received_.substr(handedOut_);
        handedOut_ = received_.size();
        return got;
    }
    *ended = peerClosed_;
    return std::string();
}

std::string Caller::ReceiveAtLeast(size_t count, bool* ended, DWORD timeoutMs)
{
    *ended = false;
    if (socket_ == INVALID_SOCKET)
        return std::string();
    PumpUntil(
        [this, count] {
            Poll();
            return received_.size() - handedOut_ >= count || peerClosed_;
        },
        timeoutMs);
    std::string got = received_.substr(handedOut_);
    handedOut_ = received_.size();
    *ended = got.size() < count && peerClosed_;
    return got;
}

void Caller::HalfClose()
{
    if (socket_ != INVALID_SOCKET)
        shutdown(socket_, SD_SEND);
}

void Caller::Reset()
{
    if (socket_ == INVALID_SOCKET)
        return;
    linger l = {1, 0};
    setsockopt(socket_, SOL_SOCKET, SO_LINGER, (const char*)&l, sizeof l);
    Close();
}

void Caller::Close()
{
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

} // namespace support
