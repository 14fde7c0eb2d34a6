// TCP on loopback as the tests use it: ports free right now, a port held the
// way another program would hold it, and a caller of the program. Traffic
// goes only to 127.0.0.0/8.
#ifndef HARBINEL_TESTS_SUPPORT_LOOPBACK_H
#define HARBINEL_TESTS_SUPPORT_LOOPBACK_H

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/pump.h"

namespace support {

// A reference on Winsock for as long as it lives. The in-process tests share
// Winsock with the program, so each helper holds its own reference and gives
// it back, and the program's cleanup at Exit stays the last one.
class WinsockUser {
  public:
    WinsockUser();
    ~WinsockUser();
    WinsockUser(const WinsockUser&) = delete;
    WinsockUser& operator=(const WinsockUser&) = delete;

  private:
    bool started_ = false;
};

// Ports free right now on all local addresses: bound to port 0 together (so
// they differ), read back with getsockname and released. A port that cannot
// be picked is a test failure, and the list comes back shorter.
std::vector<int> FreePorts(size_t count);
// One such port, or 0.
int FreePort();

// Holds a TCP port bound on all local addresses and listening, as another
// program would, so that the program's bind fails with "Port in use".
class PortHolder {
  public:
    PortHolder() = default;
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    // Binds the port (0 picks one) and listens; returns whether it worked.
    bool Hold(int port = 0);
    void Release();
    int Port() const
    {
        return port_;
    }

  private:
    WinsockUser winsock_;
    SOCKET socket_ = INVALID_SOCKET;
    int port_ = 0;
};

// A scanner's connection to 127.0.0.1. Its socket is non-blocking and every
// wait pumps this thread's messages, so the program answers whether it runs
// in this process or in another. What comes in is kept whole (Received());
// ReceiveSome and ReceiveAll hand out what came since they last did.
class Caller {
  public:
    Caller() = default;
    ~Caller();
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    // Makes the socket now, ahead of Connect (which otherwise makes it), so
    // that it takes its handle value at this point.
    bool Open();
    // Connects with a deadline; false on failure.
    bool Connect(int port, DWORD timeoutMs = kDeadlineMs);
    // Connects from the loopback address `from` (e.g. "127.0.0.2"), so that
    // callers can differ by address too; NULL lets the system choose.
    bool ConnectFrom(const char* from, int port, DWORD timeoutMs = kDeadlineMs);
    // Connects from ::1 to [::1]:port over IPv6.
    bool ConnectV6(int port, DWORD timeoutMs = kDeadlineMs);
    // Sends all bytes, pumping while the socket's buffer is full; false when
    // sending fails or makes no progress within the default deadline.
    bool Send(const std::string& bytes);
    // Reads whatever has arrived, without waiting; notes an end of stream or
    // a reset. Returns whether anything changed.
    bool Poll();
    // Pumps until the program has closed the connection (end of stream or
    // reset) or timeoutMs passes.
    bool WaitClosed(DWORD timeoutMs = kDeadlineMs);
    // Pumps until at least n bytes have been received in all.
    bool WaitReceived(size_t n, DWORD timeoutMs = kDeadlineMs);
    // Waits until the program ends the stream or the deadline passes, and
    // returns what came meanwhile. `ended` says whether the end (or a reset)
    // came.
    std::string ReceiveAll(DWORD timeoutMs, bool* ended);
    // Waits up to timeoutMs for at least one byte or the end of the stream;
    // returns what came (empty, with ended true, at the end of the stream).
    std::string ReceiveSome(DWORD timeoutMs, bool* ended);
    // Waits until at least `count` bytes came since the last hand-out, the
    // stream ended or the deadline passed, and returns what came. `ended`
    // says whether the stream ended before `count` bytes were there.
    std::string ReceiveAtLeast(size_t count, bool* ended, DWORD timeoutMs = kDeadlineMs);
    // Ends the sending direction (FIN); receiving goes on.
    void HalfClose();
    // Closes with an abortive reset (linger 0).
    void Reset();
    // Orderly close: a hang-up as the program sees it.
    void Close();

    const std::string& Received() const
    {
        return received_;
    }
    bool PeerClosed() const
    {
        return peerClosed_;
    }
    // The caller's own port, kept after the close.
    int LocalPort() const
    {
        return localPort_;
    }
    SOCKET Socket() const
    {
        return socket_;
    }
    bool connected() const
    {
        return socket_ != INVALID_SOCKET;
    }

  private:
    WinsockUser winsock_;
    SOCKET socket_ = INVALID_SOCKET;
    std::string received_;
    size_t handedOut_ = 0; // how much of received_ ReceiveSome/ReceiveAll gave
    bool peerClosed_ = false;
    bool used_ = false; // a connection was tried
    bool v6_ = false;   // the next socket is an IPv6 one
    int localPort_ = 0;
};

} // namespace support

#endif
