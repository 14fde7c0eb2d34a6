// The benchmark's scanner: a native Linux program that makes TCP connections
// to 127.0.0.1 on a set of listened ports and times each one, and that
// checks a dumped log of harbinel.exe against the callers it made.
//
//   bench_loadgen freeports N
//   bench_loadgen run --ports P1,P2,.. --count N [--concurrency C | --rate R]
//                     [--sources S] [--timeout-ms T] [--out callers.csv]
//
// --sources S spreads the callers over S loopback addresses, 127.0.0.2 on.
//   bench_loadgen check --log log.txt callers.csv [callers.csv ...]
//   bench_loadgen synflood --count N --sources S [--rate PPS] [--ports K] [--per-source B]
//                          [--listened P1,P2,..]
//   bench_loadgen bulk --bytes N
//
// bulk moves N bytes over one loopback connection between two processes of
// its own (nothing of the program under test), for what a busy link costs
// a program that watches the packets; it prints the wall-clock start and
// end, so that samples taken elsewhere can be matched to the transfer.
// synflood (root) sends N bare TCP SYNs through a raw socket with its own IP
// header: sources 127.100.0.1 on (S of them, taken in turn, B SYNs each at
// their turn, 1 unless --per-source says more), destination 127.0.0.1, on
// K ports (64) that nobody listens on right now, or with --listened on the
// ports given, which the program under test listens on (the half-open
// table's flood). Only loopback addresses are ever written into a packet.
//
// The program under test runs under Wine, whose sockets are this kernel's
// sockets, so a native caller puts no Wine layer on the client side.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// What every caller must receive: the default warning and CR LF.
const char kWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified\r\n";
const size_t kWarningBytes = sizeof kWarning - 1; // 68

int64_t NowMicros()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "bench_loadgen: %s\n", what.c_str());
    exit(2);
}

std::vector<int> ParsePorts(const std::string& list)
{
    std::vector<int> ports;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            ports.push_back(atoi(item.c_str()));
    return ports;
}

// ---- freeports --------------------------------------------------------------

// Ports free on all local addresses right now: bound to port 0 together, so
// that they differ, read back and released.
int FreePorts(int count)
{
    std::vector<int> held;
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof a) != 0 ||
            getsockname(fd, (sockaddr*)&a, &len) != 0)
            Fail("cannot pick a free port");
        held.push_back(fd);
        printf("%s%d", i ? " " : "", ntohs(a.sin_port));
    }
    printf("\n");
    for (int fd : held)
        close(fd);
    return 0;
}

// ---- run ----------------------------------------------------------------------

struct Caller {
    int fd = -1;
    int port = 0;
    int callerPort = 0;
    uint32_t from = INADDR_LOOPBACK; // the caller's own address
    int64_t start = 0;               // before connect()
    int64_t connected = 0;           // connect completed
    int64_t warned = 0;              // last byte of the warning arrived
    int64_t ended = 0;               // end of stream (or error) seen
    size_t bytes = 0;
    std::string head; // the first bytes received, to compare with the warning
    bool endOfStream = false;
    int error = 0; // errno of a failed connect or receive; ETIMEDOUT when given up
    bool done = false;

    bool Complete() const
    {
        return endOfStream && error == 0 && bytes == kWarningBytes && head == kWarning;
    }
};

struct RunOptions {
    std::vector<int> ports;
    int count = 1000;
    int concurrency = 1;
    double rate = 0; // callers started per second; 0 = closed loop
    int maxInFlight = 1024;
    int timeoutMs = 10000;
    int sources = 0; // 0: every caller from 127.0.0.1
    std::string out;
};

class Runner {
  public:
    explicit Runner(const RunOptions& options) : o_(options), callers_(options.count)
    {
        epoll_ = epoll_create1(0);
        if (epoll_ < 0)
            Fail("epoll_create1");
    }

    void Run()
    {
        begin_ = NowMicros();
        int64_t lastSweep = begin_;
        while (finished_ < o_.count) {
            StartDue();
            int waitMs = 10;
            if (o_.rate > 0 && started_ < o_.count) {
                int64_t next = ScheduledStart(started_) - NowMicros();
                waitMs = next <= 0 ? 0 : (int)std::min<int64_t>(10, next / 1000);
            }
            epoll_event events[256];
            int n = epoll_wait(epoll_, events, 256, waitMs);
            for (int i = 0; i < n; ++i)
                Serve(callers_[events[i].data.u32], events[i].events);
            int64_t now = NowMicros();
            if (now - lastSweep > 10000) {
                GiveUpLate(now);
                lastSweep = now;
            }
        }
        end_ = NowMicros();
    }

    void Report() const
    {
        std::vector<int64_t> latency;
        int complete = 0;
        for (const Caller& c : callers_) {
            if (c.Complete()) {
                ++complete;
                latency.push_back(c.warned - c.start);
            }
        }
        std::sort(latency.begin(), latency.end());
        double seconds = (double)(end_ - begin_) / 1e6;
        printf("callers=%d complete=%d lost=%d elapsed_s=%.3f rate=%.1f p50_us=%lld p99_us=%lld "
               "max_us=%lld late_starts=%d\n",
               o_.count, complete, o_.count - complete, seconds, complete / seconds,
               (long long)Percentile(latency, 50), (long long)Percentile(latency, 99),
               (long long)(latency.empty() ? 0 : latency.back()), lateStarts_);
        if (!o_.out.empty())
            WriteCsv();
    }

    bool AllComplete() const
    {
        for (const Caller& c : callers_)
            if (!c.Complete())
                return false;
        return true;
    }

  private:
    static int64_t Percentile(const std::vector<int64_t>& sorted, int p)
    {
        if (sorted.empty())
            return 0;
        // Nearest rank.
        size_t rank = (size_t)((p * sorted.size() + 99) / 100);
        return sorted[rank == 0 ? 0 : rank - 1];
    }

    int64_t ScheduledStart(int index) const
    {
        return begin_ + (int64_t)(index * 1e6 / o_.rate);
    }

    // Closed loop: keep `concurrency` callers in flight. Open loop: start
    // every caller whose time has come, up to the in-flight cap.
    void StartDue()
    {
        while (started_ < o_.count) {
            if (o_.rate <= 0) {
                if (inFlight_ >= o_.concurrency)
                    return;
            } else {
                if (NowMicros() < ScheduledStart(started_))
                    return;
                if (inFlight_ >= o_.maxInFlight) {
                    ++lateStarts_;
                    return;
                }
            }
            Start(started_++);
        }
    }

    void Start(int index)
    {
        Caller& c = callers_[index];
        c.port = o_.ports[index % o_.ports.size()];
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (c.fd < 0)
            Fail("socket: " + std::string(strerror(errno)));
        if (o_.sources > 0) {
            c.from = INADDR_LOOPBACK + 1 + (uint32_t)(index % o_.sources);
            sockaddr_in self = {};
            self.sin_family = AF_INET;
            self.sin_addr.s_addr = htonl(c.from);
            if (bind(c.fd, (sockaddr*)&self, sizeof self) != 0)
                Fail("bind to a loopback source: " + std::string(strerror(errno)));
        }
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)c.port);
        ++inFlight_;
        c.start = NowMicros();
        int rc = connect(c.fd, (sockaddr*)&a, sizeof a);
        if (rc != 0 && errno != EINPROGRESS) {
            c.error = errno;
            Finish(c);
            return;
        }
        // The kernel chose the caller's port at connect().
        sockaddr_in self = {};
        socklen_t len = sizeof self;
        if (getsockname(c.fd, (sockaddr*)&self, &len) == 0)
            c.callerPort = ntohs(self.sin_port);
        if (rc == 0)
            c.connected = NowMicros();
        epoll_event e = {};
        e.events = EPOLLIN | EPOLLRDHUP | (rc == 0 ? 0u : (uint32_t)EPOLLOUT);
        e.data.u32 = (uint32_t)index;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &e) != 0)
            Fail("epoll_ctl");
    }

    void Serve(Caller& c, uint32_t events)
    {
        if (c.done)
            return;
        if (c.connected == 0 && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                c.error = err;
                Finish(c);
                return;
            }
            c.connected = NowMicros();
            epoll_event e = {};
            e.events = EPOLLIN | EPOLLRDHUP;
            e.data.u32 = (uint32_t)(&c - callers_.data());
            epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &e);
        }
        if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
            return;
        for (;;) {
            char buf[4096];
            ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            if (n > 0) {
                if (c.head.size() < 2 * kWarningBytes)
                    c.head.append(buf, std::min((size_t)n, 2 * kWarningBytes - c.head.size()));
                c.bytes += (size_t)n;
                if (c.warned == 0 && c.bytes >= kWarningBytes)
                    c.warned = NowMicros();
                continue;
            }
            if (n == 0) {
                c.endOfStream = true;
                Finish(c);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                c.error = errno;
                Finish(c);
            }
            return;
        }
    }

    void GiveUpLate(int64_t now)
    {
        for (Caller& c : callers_) {
            if (c.fd >= 0 && !c.done && now - c.start > (int64_t)o_.timeoutMs * 1000) {
                c.error = ETIMEDOUT;
                Finish(c);
            }
        }
    }

    void Finish(Caller& c)
    {
        c.ended = NowMicros();
        c.done = true;
        if (c.fd >= 0) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, NULL);
            close(c.fd);
        }
        c.fd = -1;
        --inFlight_;
        ++finished_;
    }

    void WriteCsv() const
    {
        FILE* f = fopen(o_.out.c_str(), "w");
        if (f == NULL)
            Fail("cannot write " + o_.out);
        fprintf(f, "caller_port,port,start_us,connect_us,warning_us,end_us,bytes,end_of_stream,"
                   "content_ok,error,caller_address\n");
        for (const Caller& c : callers_) {
            auto rel = [&](int64_t t) { return t == 0 ? -1 : (long long)(t - c.start); };
            in_addr from = {htonl(c.from)};
            fprintf(f, "%d,%d,%lld,%lld,%lld,%lld,%zu,%d,%d,%s,%s\n", c.callerPort, c.port,
                    (long long)(c.start - begin_), rel(c.connected), rel(c.warned), rel(c.ended),
                    c.bytes, c.endOfStream ? 1 : 0, c.head == kWarning ? 1 : 0,
                    c.error ? strerror(c.error) : "", inet_ntoa(from));
        }
        fclose(f);
    }

    RunOptions o_;
    std::vector<Caller> callers_;
    int epoll_ = -1;
    int started_ = 0;
    int finished_ = 0;
    int inFlight_ = 0;
    int lateStarts_ = 0;
    int64_t begin_ = 0;
    int64_t end_ = 0;
};

int Run(int argc, char** argv)
{
    RunOptions o;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail("missing value after " + a);
            return argv[++i];
        };
        if (a == "--ports")
            o.ports = ParsePorts(value());
        else if (a == "--count")
            o.count = atoi(value().c_str());
        else if (a == "--concurrency")
            o.concurrency = atoi(value().c_str());
        else if (a == "--rate")
            o.rate = atof(value().c_str());
        else if (a == "--max-inflight")
            o.maxInFlight = atoi(value().c_str());
        else if (a == "--timeout-ms")
            o.timeoutMs = atoi(value().c_str());
        else if (a == "--sources")
            o.sources = atoi(value().c_str());
        else if (a == "--out")
            o.out = value();
        else
            Fail("unknown option " + a);
    }
    if (o.ports.empty() || o.count <= 0 || o.concurrency <= 0)
        Fail("run needs --ports and a positive --count and --concurrency");
    Runner runner(o);
    runner.Run();
    runner.Report();
    return runner.AllComplete() ? 0 : 1;
}

// ---- check --------------------------------------------------------------------

struct CallerKey {
    std::string address;
    int callerPort;
    int port;
    bool operator<(const CallerKey& other) const
    {
        return std::tie(address, callerPort, port) <
               std::tie(other.address, other.callerPort, other.port);
    }
};

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// "   Accept: <caller address>:<caller port> -> <local address>:<port>".
bool ParseAddressLine(const std::string& line, CallerKey* key)
{
    const char prefix[] = "   Accept: ";
    if (!StartsWith(line, prefix))
        return false;
    size_t arrow = line.find(" -> ");
    size_t callerColon = line.find(':', sizeof prefix - 1);
    size_t colon = line.rfind(':');
    if (arrow == std::string::npos || callerColon > arrow || colon < arrow)
        return false;
    key->address = line.substr(sizeof prefix - 1, callerColon - (sizeof prefix - 1));
    key->callerPort = atoi(line.c_str() + callerColon + 1);
    key->port = atoi(line.c_str() + colon + 1);
    return key->callerPort > 0 && key->port > 0;
}

int Check(int argc, char** argv)
{
    std::string logPath;
    std::vector<std::string> csvs;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--log" && i + 1 < argc)
            logPath = argv[++i];
        else
            csvs.push_back(a);
    }
    std::vector<std::string> lines;
    {
        std::ifstream in(logPath);
        if (!in)
            Fail("cannot read " + logPath);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
    }
    // The callers that reached the program, by caller port and port called.
    std::map<CallerKey, int> expected;
    int callerCount = 0;
    for (const std::string& path : csvs) {
        std::ifstream in(path);
        if (!in)
            Fail("cannot read " + path);
        std::string row;
        std::getline(in, row); // header
        while (std::getline(in, row)) {
            CallerKey key = {};
            key.address = row.substr(row.rfind(',') + 1);
            if (sscanf(row.c_str(), "%d,%d", &key.callerPort, &key.port) == 2 &&
                key.callerPort > 0) {
                ++expected[key];
                ++callerCount;
            }
        }
    }

    int problems = 0;
    auto problem = [&](const std::string& what) {
        if (++problems <= 10)
            printf("problem: %s\n", what.c_str());
    };

    // One scan's own lines: "Scan detected", its address line, the RDNS line
    // inserted directly under the address line, then its timestamp line.
    // "   Message sent" and "Scan blocked" carry no address: under concurrency
    // they are matched by count and order (each pair after a scan that has
    // none yet).
    std::map<CallerKey, int> seen;
    int scans = 0, rdns = 0, timestamps = 0, sent = 0, blocked = 0, recvErrors = 0, other = 0,
        sweeps = 0;
    int unmatchedScans = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        CallerKey key = {};
        if (l == "Scan detected") {
            ++scans;
            ++unmatchedScans;
            if (i + 1 >= lines.size() || !ParseAddressLine(lines[i + 1], &key))
                problem("line " + std::to_string(i) + ": no address line under Scan detected");
        } else if (ParseAddressLine(l, &key)) {
            ++seen[key];
            if (i == 0 || lines[i - 1] != "Scan detected")
                problem("line " + std::to_string(i) + ": address line without Scan detected");
            if (i + 1 < lines.size() && StartsWith(lines[i + 1], "   RDNS: "))
                ++rdns;
            else
                problem("line " + std::to_string(i) + ": no RDNS line directly under " + l);
            size_t ts = i + 2;
            if (ts < lines.size() && StartsWith(lines[ts], "   Timestamp:"))
                ++timestamps;
            else
                problem("line " + std::to_string(i) + ": no timestamp line for " + l);
        } else if (l == "   Message sent") {
            ++sent;
            if (i + 1 >= lines.size() || lines[i + 1] != "Scan blocked")
                problem("line " + std::to_string(i) +
                        ": Message sent not followed by Scan blocked");
            if (unmatchedScans-- <= 0)
                problem("line " + std::to_string(i) + ": Message sent before its scan");
        } else if (l == "Scan blocked") {
            ++blocked;
        } else if (StartsWith(l, "   RDNS: ") || StartsWith(l, "   Timestamp:") ||
                   StartsWith(l, "Listening on ") || StartsWith(l, "Ports: ") ||
                   l == "Stealth watch on" || l == "Stealth watch off" ||
                   StartsWith(l, "Stealth watch: ")) {
            // counted with their scan, the start lines, or the watch's notices
            // (addresses followed, callers its full table could not keep)
        } else if (StartsWith(l, "Recv error: ")) {
            ++recvErrors; // Wine's spurious read events; tolerated
        } else if (StartsWith(l, "Port sweep from ")) {
            // The watch sees all of this machine's loopback traffic: another
            // program sweeping 127.0.0.0/8 meanwhile is logged too.
            ++sweeps;
        } else {
            ++other;
            problem("line " + std::to_string(i) + ": unexpected line \"" + l + "\"");
        }
    }
    int missing = 0, doubled = 0, extra = 0;
    for (const auto& e : expected) {
        auto found = seen.find(e.first);
        int n = found == seen.end() ? 0 : found->second;
        if (n < e.second) {
            missing += e.second - n;
            problem("caller port " + std::to_string(e.first.callerPort) + " -> " +
                    std::to_string(e.first.port) + " not logged");
        } else if (n > e.second) {
            doubled += n - e.second;
        }
    }
    for (const auto& s : seen)
        if (expected.find(s.first) == expected.end())
            extra += s.second;
    if (doubled || extra)
        problem("scans logged more than once: " + std::to_string(doubled) +
                ", scans of unknown callers: " + std::to_string(extra));
    if (sent != callerCount || blocked != callerCount || scans != callerCount)
        problem("counts differ from the " + std::to_string(callerCount) + " callers");
    printf("callers=%d scans=%d rdns=%d timestamps=%d sent=%d blocked=%d missing=%d "
           "recv_errors=%d sweeps=%d other=%d problems=%d\n",
           callerCount, scans, rdns, timestamps, sent, blocked, missing, recvErrors, sweeps, other,
           problems);
    return problems == 0 ? 0 : 1;
}

// ---- synflood -------------------------------------------------------------------

// Ports nobody listens on now, on any address: a bind to the wildcard without
// SO_REUSEADDR succeeds only then. Taken from 40000 up, at most `count`.
std::vector<int> ClosedPorts(int count)
{
    std::vector<int> ports;
    for (int port = 40000; port < 60000 && (int)ports.size() < count; port += 7) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons((uint16_t)port);
        if (fd >= 0 && bind(fd, (sockaddr*)&a, sizeof a) == 0)
            ports.push_back(port);
        if (fd >= 0)
            close(fd);
    }
    return ports;
}

uint16_t Checksum(const unsigned char* data, size_t size, uint32_t sum = 0)
{
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += (uint32_t)(data[i] << 8 | data[i + 1]);
    if (size & 1)
        sum += (uint32_t)(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

int SynFlood(int argc, char** argv)
{
    int count = 50000, sources = 1000, portCount = 64, perSource = 1;
    double rate = 0;
    std::vector<int> listened;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--count")
            count = atoi(argv[i + 1]);
        else if (a == "--sources")
            sources = atoi(argv[i + 1]);
        else if (a == "--rate")
            rate = atof(argv[i + 1]);
        else if (a == "--ports")
            portCount = atoi(argv[i + 1]);
        else if (a == "--per-source")
            perSource = atoi(argv[i + 1]);
        else if (a == "--listened")
            listened = ParsePorts(argv[i + 1]);
        else
            Fail("unknown option " + a);
    }
    // 127.100.0.1 .. stays inside 127.0.0.0/8 for any count below 2^16.
    if (count <= 0 || sources <= 0 || sources > 65000 || portCount <= 0 || perSource <= 0)
        Fail("synflood needs a positive --count, --sources (at most 65000), --ports and "
             "--per-source");
    std::vector<int> ports = listened.empty() ? ClosedPorts(portCount) : listened;
    if (ports.empty())
        Fail("no closed port found");
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW); // IP_HDRINCL implied
    if (fd < 0)
        Fail("raw socket (root needed): " + std::string(strerror(errno)));
    const uint32_t target = INADDR_LOOPBACK; // 127.0.0.1
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(target);
    int sent = 0, failed = 0;
    const int64_t begin = NowMicros();
    for (int i = 0; i < count; ++i) {
        if (rate > 0) {
            int64_t due = begin + (int64_t)(i * 1e6 / rate);
            while (NowMicros() < due) {}
        }
        // --per-source 1: the sources take turns, one SYN each; K: each source
        // sends K in a row, to K different ports, before the next one.
        const int turn = perSource == 1 ? i % sources : (i / perSource) % sources;
        const int round = perSource == 1 ? i / sources : i / (perSource * sources);
        const uint32_t source = (127u << 24) | (100u << 16) | (uint32_t)(1 + turn);
        if ((source >> 24) != 127 || target != INADDR_LOOPBACK)
            Fail("address outside 127.0.0.0/8");
        unsigned char packet[40] = {};
        iphdr* ip = (iphdr*)packet;
        ip->version = 4;
        ip->ihl = 5;
        ip->tot_len = htons(sizeof packet);
        ip->id = htons((uint16_t)i);
        ip->ttl = 64;
        ip->protocol = IPPROTO_TCP;
        ip->saddr = htonl(source);
        ip->daddr = htonl(target);
        ip->check = htons(Checksum(packet, 20));
        tcphdr* tcp = (tcphdr*)(packet + 20);
        tcp->source = htons((uint16_t)(20000 + round % 20000));
        tcp->dest = htons((uint16_t)ports[(size_t)(round + i) % ports.size()]);
        tcp->seq = htonl(0x10000u + (uint32_t)i);
        tcp->doff = 5;
        tcp->syn = 1;
        tcp->window = htons(65535);
        // Pseudo-header: source, destination, zero, protocol, TCP length.
        unsigned char pseudo[12];
        memcpy(pseudo, &ip->saddr, 4);
        memcpy(pseudo + 4, &ip->daddr, 4);
        pseudo[8] = 0;
        pseudo[9] = IPPROTO_TCP;
        pseudo[10] = 0;
        pseudo[11] = 20;
        uint32_t partial = 0;
        for (int k = 0; k < 12; k += 2)
            partial += (uint32_t)(pseudo[k] << 8 | pseudo[k + 1]);
        tcp->check = htons(Checksum(packet + 20, 20, partial));
        if (sendto(fd, packet, sizeof packet, 0, (sockaddr*)&to, sizeof to) ==
            (ssize_t)sizeof packet)
            ++sent;
        else
            ++failed;
    }
    const double seconds = (double)(NowMicros() - begin) / 1e6;
    close(fd);
    printf("syns=%d sent=%d failed=%d sources=%d per_source=%d ports=%zu elapsed_s=%.3f pps=%.0f\n",
           count, sent, failed, sources, perSource, ports.size(), seconds, sent / seconds);
    return failed == 0 ? 0 : 1;
}

// ---- bulk -------------------------------------------------------------------------

int64_t WallMicros()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int Bulk(int argc, char** argv)
{
    long long total = 1LL << 31;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--bytes")
            total = atoll(argv[i + 1]);
        else
            Fail("unknown option " + a);
    }
    if (total <= 0)
        Fail("bulk needs a positive --bytes");
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || bind(listener, (sockaddr*)&a, sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr*)&a, &len) != 0)
        Fail("bulk: cannot listen on loopback");
    // The receiver is a process of its own, so that sending and receiving
    // each have a CPU, as two programs would.
    pid_t receiver = fork();
    if (receiver < 0)
        Fail("fork");
    if (receiver == 0) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0)
            _exit(3);
        static char sink[1 << 20];
        long long got = 0;
        ssize_t n;
        while ((n = recv(fd, sink, sizeof sink, 0)) > 0)
            got += n;
        close(fd);
        _exit(got == total ? 0 : 4);
    }
    close(listener);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (sockaddr*)&a, sizeof a) != 0)
        Fail("bulk: cannot connect");
    static char chunk[1 << 20];
    memset(chunk, 'x', sizeof chunk);
    const int64_t wallStart = WallMicros(), start = NowMicros();
    long long sent = 0;
    while (sent < total) {
        size_t want = (size_t)std::min<long long>((long long)sizeof chunk, total - sent);
        ssize_t n = send(fd, chunk, want, 0);
        if (n <= 0)
            Fail("bulk: send: " + std::string(strerror(errno)));
        sent += n;
    }
    shutdown(fd, SHUT_WR);
    int status = 0;
    waitpid(receiver, &status, 0);
    const int64_t end = NowMicros(), wallEnd = WallMicros();
    close(fd);
    const bool whole = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const double seconds = (double)(end - start) / 1e6;
    printf("bytes=%lld received_whole=%d elapsed_s=%.3f mib_per_s=%.0f wall_start_us=%lld "
           "wall_end_us=%lld\n",
           sent, whole ? 1 : 0, seconds, (double)sent / (1 << 20) / seconds, (long long)wallStart,
           (long long)wallEnd);
    return whole ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "freeports" && argc == 3)
        return FreePorts(atoi(argv[2]));
    if (command == "run")
        return Run(argc, argv);
    if (command == "check")
        return Check(argc, argv);
    if (command == "synflood")
        return SynFlood(argc, argv);
    if (command == "bulk")
        return Bulk(argc, argv);
    fprintf(stderr, "usage: bench_loadgen freeports N\n"
                    "       bench_loadgen run --ports P1,P2 --count N [--concurrency C | --rate R]"
                    " [--timeout-ms T] [--out callers.csv]\n"
                    "       bench_loadgen check --log log.txt callers.csv...\n"
                    "       bench_loadgen synflood --count N --sources S [--rate PPS] [--ports K]"
                    " [--per-source B]\n"
                    "       bench_loadgen bulk --bytes N\n");
    return 2;
}
