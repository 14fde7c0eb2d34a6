// The tests' web hook server: blocking sockets, one thread to accept and one
// per connection, each reading requests one after another (keep-alive).
#include "support/hookserver.h"

#include <stdlib.h>

#include <algorithm>

#include "support/pump.h"

namespace support {

HookServer::~HookServer()
{
    Stop();
}

bool HookServer::Start(int port)
{
    listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((u_short)port);
    int length = sizeof address;
    if (listen_ == INVALID_SOCKET || bind(listen_, (sockaddr*)&address, sizeof address) != 0 ||
        listen(listen_, 64) != 0 || getsockname(listen_, (sockaddr*)&address, &length) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread(&HookServer::AcceptLoop, this);
    return true;
}

void HookServer::Stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        for (SOCKET s : connections_)
            shutdown(s, SD_BOTH);
    }
    if (listen_ != INVALID_SOCKET)
        closesocket(listen_);
    listen_ = INVALID_SOCKET;
    if (acceptor_.joinable())
        acceptor_.join();
    for (std::thread& t : threads_)
        t.join();
    threads_.clear();
    for (SOCKET s : connections_)
        closesocket(s);
    connections_.clear();
}

std::string HookServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HookServer::FailNext(int n, int status)
{
    std::lock_guard<std::mutex> hold(lock_);
    failLeft_ = n;
    failStatus_ = status;
}

void HookServer::NeverAnswer(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    silent_ = on;
}

void HookServer::Trickle(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    trickle_ = on;
}

std::vector<HookRequest> HookServer::Requests()
{
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

size_t HookServer::Count()
{
    std::lock_guard<std::mutex> hold(lock_);
    return requests_.size();
}

bool HookServer::WaitForRequests(size_t n, DWORD timeoutMs)
{
    return PumpUntil([&] { return Count() >= n; }, timeoutMs);
}

void HookServer::AcceptLoop()
{
    for (;;) {
        SOCKET s = accept(listen_, NULL, NULL);
        if (s == INVALID_SOCKET)
            return;
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) {
            closesocket(s);
            return;
        }
        connections_.push_back(s);
        threads_.emplace_back(&HookServer::Serve, this, s);
    }
}

int HookServer::NextStatus()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (silent_)
        return 0;
    if (failLeft_ > 0) {
        --failLeft_;
        return failStatus_;
    }
    return 200;
}

void HookServer::Serve(SOCKET s)
{
    std::string data;
    char chunk[4096];
    for (;;) {
        size_t end = data.find("\r\n\r\n");
        size_t bodyLength = 0;
        HookRequest r;
        if (end != std::string::npos) {
            size_t line = data.find("\r\n");
            std::string first = data.substr(0, line);
            r.method = first.substr(0, first.find(' '));
            r.path = first.substr(r.method.size() + 1, first.rfind(' ') - r.method.size() - 1);
            for (size_t at = line + 2; at < end;) {
                size_t next = data.find("\r\n", at);
                std::string header = data.substr(at, next - at);
                std::string name = header.substr(0, header.find(':'));
                std::transform(name.begin(), name.end(), name.begin(), ::tolower);
                size_t value = header.find_first_not_of(' ', name.size() + 1);
                r.headers[name] = value == std::string::npos ? "" : header.substr(value);
                at = next + 2;
            }
            bodyLength = strtoul(r.headers["content-length"].c_str(), NULL, 10);
        }
        if (end == std::string::npos || data.size() < end + 4 + bodyLength) {
            // Wine's recv does not wake for a shutdown from another thread,
            // so the wait looks at Stop every 50 ms.
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s, &readable);
            timeval wait = {0, 50000};
            if (select(0, &readable, NULL, NULL, &wait) == 0) {
                std::lock_guard<std::mutex> hold(lock_);
                if (stopping_)
                    return;
                continue;
            }
            int n = recv(s, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            data.append(chunk, (size_t)n);
            continue;
        }
        r.body = data.substr(end + 4, bodyLength);
        data.erase(0, end + 4 + bodyLength);
        {
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(r);
        }
        int status = NextStatus();
        if (status == 0)
            continue;
        std::string answer = "HTTP/1.1 " + std::to_string(status) +
                             " Answer\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
        bool trickle;
        {
            std::lock_guard<std::mutex> hold(lock_);
            trickle = trickle_;
        }
        for (size_t at = 0; trickle && at < answer.size(); ++at) {
            send(s, answer.data() + at, 1, 0);
            // The pause is the behaviour under test, not a wait for one.
            Sleep(1000);
            std::lock_guard<std::mutex> hold(lock_);
            if (stopping_)
                return;
        }
        if (!trickle)
            send(s, answer.data(), (int)answer.size(), 0);
    }
}

} // namespace support
