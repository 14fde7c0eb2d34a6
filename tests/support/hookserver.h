// A web hook server on 127.0.0.1 for the tests: it records each request's
// method, path, headers and body, and answers 200, a failure status for
// the first N requests, or nothing at all while the client waits.
#ifndef HARBINEL_TESTS_SUPPORT_HOOKSERVER_H
#define HARBINEL_TESTS_SUPPORT_HOOKSERVER_H

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace support {

struct HookRequest {
    std::string method, path, body;
    std::map<std::string, std::string> headers; // names in lower case
};

class HookServer {
  public:
    HookServer() = default;
    ~HookServer();
    HookServer(const HookServer&) = delete;
    HookServer& operator=(const HookServer&) = delete;

    // Listens on 127.0.0.1 (port 0 picks one); false when it cannot.
    bool Start(int port = 0);
    // Closes every connection and ends the threads.
    void Stop();
    int Port() const
    {
        return port_;
    }
    // "http://127.0.0.1:PORT" + path.
    std::string Url(const std::string& path = "/hook") const;
    // The next n requests get `status` instead of 200.
    void FailNext(int n, int status = 500);
    // While on, requests are read and recorded but never answered.
    void NeverAnswer(bool on);
    // While on, each answer is sent one byte a second.
    void Trickle(bool on);

    std::vector<HookRequest> Requests();
    size_t Count();
    // Pumps this thread's messages until n requests came in all.
    bool WaitForRequests(size_t n, DWORD timeoutMs = kDeadlineMs);

  private:
    void AcceptLoop();
    void Serve(SOCKET s);
    // The status for a request just recorded, or 0 for no answer.
    int NextStatus();

    WinsockUser winsock_;
    SOCKET listen_ = INVALID_SOCKET;
    int port_ = 0;
    std::mutex lock_;
    std::vector<HookRequest> requests_;
    std::vector<SOCKET> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
    int failLeft_ = 0, failStatus_ = 500;
    bool silent_ = false, stopping_ = false, trickle_ = false;
};

} // namespace support

#endif
