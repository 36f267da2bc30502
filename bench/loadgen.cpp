// Drives now-playing receivers from a separate process over loopback and
// watches metadata.txt with inotify, as an encoder polling the file would.
// Prints a Markdown report comparing Quaverlink, headless and with a window,
// with a Python baseline and the minimal C and Qt receivers.
//
//   quaverlink-loadgen --quaverlink BIN --python SCRIPT --minimal BIN --minimal-qt BIN
//   quaverlink-loadgen --quaverlink BIN --db-only 1 --db-server TEXT --db-user U --db-password P --db-socket PATH
//   quaverlink-loadgen ... --latency-only quaverlink,window,python,minimal,qt

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;

double secondsSince(Clock::time_point start)
{
    return duration<double>(Clock::now() - start).count();
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int freePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class Sender
{
public:
    explicit Sender(int port)
        : m_fd(socket(AF_INET, SOCK_DGRAM, 0))
    {
        m_address.sin_family = AF_INET;
        m_address.sin_port = htons(uint16_t(port));
        m_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int size = 4 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    ~Sender() { close(m_fd); }
    void send(const std::string &text) const
    {
        sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&m_address), sizeof m_address);
    }

private:
    int m_fd;
    sockaddr_in m_address {};
};

struct Memory
{
    long rssKiB = -1;
    long peakKiB = -1;
};

enum class Kind { Quaverlink, QuaverlinkWindow, Python, Minimal, MinimalQt };

bool isQuaverlink(Kind kind)
{
    return kind == Kind::Quaverlink || kind == Kind::QuaverlinkWindow;
}

struct Options
{
    std::string quaverlink, python, minimal;
    std::string dbServer, dbUser, dbPassword, dbSocket;
    std::string minimalQt;
};

// One receiver process in a fresh folder, with an inotify watch on it; its
// own ports, so that several run side by side.
class Receiver
{
public:
    Receiver(Kind kind, const Options &options, const std::string &extraSettings = {})
        : m_kind(kind)
        , m_port(freePort())
    {
        char pattern[] = "/tmp/quaverlink-bench-XXXXXX";
        m_dir = mkdtemp(pattern);
        if (isQuaverlink(kind)) {
            std::ofstream(m_dir + "/Quaverlink.ini")
                << "[Metadata]\nRDlistenport=" << m_port << "\nSenderPort=" << freePort()
                << "\nIdleString=Idle\nCountTimeout=30000\n"
                << "[Database]\n"
                << (extraSettings.empty() ? "DBenabled=N\n" : extraSettings);
        }
        m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(m_inotify, m_dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
        m_started = Clock::now();
        m_pid = fork();
        if (m_pid == 0) {
            chdir(m_dir.c_str());
            const int err = open("stderr.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, STDERR_FILENO);
            const std::string port = std::to_string(m_port);
            if (kind == Kind::Quaverlink) {
                execl(options.quaverlink.c_str(), "quaverlink", "--headless", nullptr);
            } else if (kind == Kind::QuaverlinkWindow) {
                setenv("QT_QPA_PLATFORM", "offscreen", 1);
                execl(options.quaverlink.c_str(), "quaverlink", nullptr);
            } else if (kind == Kind::MinimalQt) {
                execl(options.minimalQt.c_str(), "minimal_qt_receiver", port.c_str(), nullptr);
            } else if (kind == Kind::Python) {
                execlp("python3", "python3", options.python.c_str(), port.c_str(), nullptr);
            } else {
                execl(options.minimal.c_str(), "minimal_receiver", port.c_str(), nullptr);
            }
            _exit(127);
        }
    }

    ~Receiver()
    {
        stop();
        close(m_inotify);
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    const std::string &dir() const { return m_dir; }

    // Ready when it has put something on air: Quaverlink its idle text (its
    // two start-up copies arrive together, and only the second is written),
    // the baselines a probe sent every millisecond until one lands.
    // startupSeconds: from start to the first write.
    bool waitReady(double *startupSeconds = nullptr)
    {
        bool ready = false;
        if (isQuaverlink(m_kind)) {
            int moves = 0;
            while (moves < 1 && secondsSince(m_started) < 20) {
                moves += waitForEvents(100);
            }
            ready = waitOnAir("Idle", 5);
        } else {
            Sender sender(m_port);
            for (int attempt = 0; attempt < 10000 && !ready; ++attempt) {
                sender.send("Ready - Probe");
                ready = waitOnAir("Ready - Probe", 0.001);
            }
        }
        // A probe can land before its event was read: read what is there.
        waitForEvents(0);
        if (startupSeconds) {
            *startupSeconds = duration<double>(m_firstWrite - m_started).count();
        }
        return ready;
    }

    bool waitOnAir(const std::string &text, double timeoutSeconds)
    {
        const std::string expected = text + "\r\n\r\n";
        const auto deadline = Clock::now() + duration<double>(timeoutSeconds);
        for (;;) {
            if (readFile(m_dir + "/metadata.txt") == expected) {
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            waitForEvents(int(std::min<long long>(left / 1000 + 1, 1000)));
        }
    }

    Memory memory() const
    {
        Memory memory;
        std::istringstream status(readFile("/proc/" + std::to_string(m_pid) + "/status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                memory.rssKiB = std::atol(line.c_str() + 6);
            } else if (line.rfind("VmHWM:", 0) == 0) {
                memory.peakKiB = std::atol(line.c_str() + 6);
            }
        }
        return memory;
    }

    // Stops the process; returns what it applied of the burst, counted by
    // the receiver itself, and whether that was in sending order.
    std::pair<long, bool> stopAndCountBurst()
    {
        stop();
        if (!isQuaverlink(m_kind)) {
            return {std::atol(readFile(m_dir + "/applied.count").c_str()), true};
        }
        std::istringstream journal(readFile(m_dir + "/applied.journal"));
        std::string line;
        long count = 0;
        long last = -1;
        bool inOrder = true;
        while (std::getline(journal, line)) {
            if (line.rfind("Burst ", 0) == 0) {
                const long number = std::atol(line.c_str() + 6);
                inOrder = inOrder && number > last;
                last = number;
                ++count;
            }
        }
        return {count, inOrder};
    }

private:
    int waitForEvents(int timeoutMs)
    {
        pollfd fd {m_inotify, POLLIN, 0};
        poll(&fd, 1, timeoutMs);
        alignas(inotify_event) char buffer[64 * 1024];
        int moves = 0;
        for (;;) {
            const ssize_t n = read(m_inotify, buffer, sizeof buffer);
            if (n <= 0) {
                return moves;
            }
            for (ssize_t offset = 0; offset < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
                if (event->len && std::strcmp(event->name, "metadata.txt") == 0) {
                    if (m_firstWrite == Clock::time_point()) {
                        m_firstWrite = Clock::now();
                    }
                    moves += (event->mask & IN_MOVED_TO) ? 1 : 0;
                }
                offset += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

    void stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    Kind m_kind;
    int m_port;
    std::string m_dir;
    int m_inotify = -1;
    pid_t m_pid = -1;
    Clock::time_point m_started;
    Clock::time_point m_firstWrite; // when metadata.txt was first written or replaced
};

struct Latency
{
    double p50 = 0, p99 = 0, max = 0;
    int missed = 0;
};

Latency latencyOf(std::vector<double> samples, int missed)
{
    Latency result;
    result.missed = missed;
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        result.p50 = samples[samples.size() / 2];
        result.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
        result.max = samples.back();
    }
    return result;
}

// Several receivers in one run, taking turns in blocks of 10 items, so that
// whatever else the machine is doing falls on all of them alike. The items
// keep one pace across the turns, so that one receiver's work after an item
// (its play history, its outputs) does not fall on the next receiver's item.
std::vector<Latency> measureLatencyTogether(const std::vector<Receiver *> &receivers, int items, double rate)
{
    constexpr int kBlock = 10;
    std::vector<std::vector<double>> samples(receivers.size());
    std::vector<int> missed(receivers.size());
    const auto start = Clock::now();
    long sent = 0;
    for (int first = 0; first < items; first += kBlock) {
        for (size_t r = 0; r < receivers.size(); ++r) {
            const Sender sender(receivers[r]->port());
            for (int i = first; i < std::min(items, first + kBlock); ++i) {
                std::this_thread::sleep_until(start + duration<double>(double(sent++) / rate));
                const std::string item = "Latency " + std::to_string(i) + " - Title " + std::to_string(i);
                const auto sentAt = Clock::now();
                sender.send(item);
                if (receivers[r]->waitOnAir(item, 1.0)) {
                    samples[r].push_back(secondsSince(sentAt) * 1e6);
                } else {
                    ++missed[r];
                }
            }
        }
    }
    std::vector<Latency> results;
    for (size_t r = 0; r < receivers.size(); ++r) {
        results.push_back(latencyOf(std::move(samples[r]), missed[r]));
    }
    return results;
}

Latency measureLatency(Receiver &receiver, int items, double rate)
{
    return measureLatencyTogether({&receiver}, items, rate).front();
}

// Starts one receiver for each setup (its kind and extra settings) and
// measures them side by side; nothing when one of them did not start.
std::vector<Latency> measureSideBySide(const std::vector<std::pair<Kind, std::string>> &setups, const Options &options,
                                       int items, double rate)
{
    std::vector<std::unique_ptr<Receiver>> receivers;
    std::vector<Receiver *> ready;
    for (const auto &[kind, settings] : setups) {
        receivers.push_back(std::make_unique<Receiver>(kind, options, settings));
        if (receivers.back()->waitReady()) {
            ready.push_back(receivers.back().get());
        }
    }
    return ready.size() == receivers.size() ? measureLatencyTogether(ready, items, rate) : std::vector<Latency>();
}

struct Burst
{
    std::optional<double> seconds; // until the last item was on air
    long applied = 0;
    bool inOrder = true;
};

Burst measureBurst(Receiver &receiver, int items)
{
    Sender sender(receiver.port());
    Burst result;
    const auto start = Clock::now();
    for (int i = 0; i < items; ++i) {
        sender.send("Burst " + std::to_string(i) + " - Title " + std::to_string(i));
    }
    const std::string last = "Burst " + std::to_string(items - 1) + " - Title " + std::to_string(items - 1);
    if (receiver.waitOnAir(last, 30)) {
        result.seconds = secondsSince(start);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::tie(result.applied, result.inOrder) = receiver.stopAndCountBurst();
    return result;
}

struct Soak
{
    Memory afterStart, afterItems;
};

Soak measureMemory(Receiver &receiver, int items)
{
    Sender sender(receiver.port());
    Soak result;
    result.afterStart = receiver.memory();
    // Batches small enough for the baselines' default socket buffers; a
    // batch whose last item is lost is not waited for long.
    constexpr int kBatch = 100;
    for (int batch = 0; batch < items; batch += kBatch) {
        std::string last;
        for (int i = batch; i < batch + kBatch; ++i) {
            last = "Item " + std::to_string(i) + " - Title " + std::to_string(i) + std::string(size_t(i % 97), 'x');
            sender.send(last);
        }
        receiver.waitOnAir(last, 0.5);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    result.afterItems = receiver.memory();
    return result;
}

// A flood of junk from one sender, then a real item from another: seconds
// until the real item is on air.
std::optional<double> measureFlood(Receiver &receiver, int junk)
{
    Sender flood(receiver.port());
    for (int i = 0; i < junk; ++i) {
        flood.send("junk " + std::to_string(i));
    }
    const auto sent = Clock::now();
    Sender(receiver.port()).send("Real - Item After The Flood");
    if (receiver.waitOnAir("Real - Item After The Flood", 60)) {
        return secondsSince(sent);
    }
    return std::nullopt;
}

std::string shell(const std::string &command);

// System calls per item in steady state, counted by strace attached to the
// running receiver while items arrive 5 ms apart.
double measureSystemCalls(Receiver &receiver, int items)
{
    const std::string log = "/tmp/quaverlink-bench-strace-" + std::to_string(receiver.pid());
    const pid_t tracer = fork();
    if (tracer == 0) {
        execlp("strace", "strace", "-c", "-f", "-o", log.c_str(), "-p", std::to_string(receiver.pid()).c_str(),
               nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Sender sender(receiver.port());
    for (int i = 0; i < items; ++i) {
        const std::string item = "Counted " + std::to_string(i) + " - Title";
        sender.send(item);
        receiver.waitOnAir(item, 1.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(tracer, SIGINT);
    waitpid(tracer, nullptr, 0);
    // strace's last line: "100.00  seconds  usecs/call  CALLS  ERRORS total".
    std::istringstream table(readFile(log));
    std::string line, total;
    while (std::getline(table, line)) {
        if (line.find("total") != std::string::npos) {
            total = line;
        }
    }
    unlink(log.c_str());
    std::istringstream fields(total);
    double percent = 0, seconds = 0, calls = 0;
    long perCall = 0;
    fields >> percent >> seconds >> perCall >> calls;
    // The benchmark build writes one journal line per applied item, which
    // the receiver itself never does.
    return calls / items - 1;
}

std::string shell(const std::string &command)
{
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) {
            out += buffer;
        }
        pclose(pipe);
    }
    return out;
}

struct Logging
{
    double rowsPerSecond = 0;
    long rows = 0;
    int items = 0;
};

Logging measureLogging(const Options &options, int items)
{
    const std::string client
        = "mariadb --no-defaults --protocol=socket --socket='" + options.dbSocket + "' -uroot -N -B Brackenwaves -e ";
    shell(client + "'TRUNCATE TABLE Metadata'");
    Receiver receiver(Kind::Quaverlink, options,
                      "DBenabled=Y\nDBserver=" + options.dbServer + "\nDBuser=" + options.dbUser
                          + "\nDBpassword=" + options.dbPassword + "\n");
    Logging result;
    result.items = items;
    if (!receiver.waitReady()) {
        return result;
    }
    Sender sender(receiver.port());
    const auto start = Clock::now();
    for (int i = 0; i < items; ++i) {
        sender.send("Logged " + std::to_string(i) + " - Title " + std::to_string(i));
    }
    long rows = 0;
    double lastChange = 0;
    double reachedAt = 0;
    while (secondsSince(start) - lastChange < 5) {
        const long now = std::atol(shell(client + "'SELECT COUNT(DISTINCT full_text) FROM Metadata'").c_str());
        if (now != rows) {
            rows = now;
            lastChange = reachedAt = secondsSince(start);
        }
        if (rows >= items) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    result.rows = rows;
    result.rowsPerSecond = reachedAt > 0 ? rows / reachedAt : 0;
    return result;
}

std::string fixed(double value, int decimals = 0)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string ratio(double ours, double theirs)
{
    return theirs > 0 ? fixed(ours / theirs, 2) : "-";
}

int listenTcp(int *port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(fd, 4096);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int connectTcp(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? fd : (close(fd), -1);
}

// Reads from fd until wanted has arrived; the seconds it took, or a negative
// number after timeout.
double readUntil(int fd, const std::string &wanted, Clock::time_point since, double timeout)
{
    std::string seen;
    char buffer[65536];
    while (secondsSince(since) < timeout) {
        pollfd wait {fd, POLLIN, 0};
        if (poll(&wait, 1, 50) == 1) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                return -1;
            }
            seen.append(buffer, size_t(n));
            if (seen.find(wanted) != std::string::npos) {
                return secondsSince(since);
            }
        }
    }
    return -1;
}

// The play-out side of each output, for --outputs: a line-feed device and a
// page that follows the HTTP feed, and how long an item takes to reach them
// and Icecast's status page.
void measureOutputs(const Options &options, int icecastPort)
{
    int devicePort = 0;
    const int device = listenTcp(&devicePort);
    int httpPort = 0;
    close(listenTcp(&httpPort));
    const std::string outputs = "DBenabled=N\n[Output overlay]\nType=File\nFile=overlay.txt\nTemplate={artist}\n"
                                "[Output rds]\nType=LineFeed\nProtocol=TCP\nHost=127.0.0.1\nPort="
        + std::to_string(devicePort)
        + "\nLineEnd=CRLF\n[Output udp]\nType=LineFeed\nProtocol=UDP\nHost=127.0.0.1\nPort="
        + std::to_string(freePort()) + "\n[Output web]\nType=HTTP\nPort=" + std::to_string(httpPort) + "\n"
        + (icecastPort ? "[Output icecast]\nType=Icecast\nServer=http://127.0.0.1:" + std::to_string(icecastPort)
                   + "\nMount=/live\nPassword=Src-p4ss\n"
                       : std::string());
    constexpr int kItems = 2000;
    constexpr double kRate = 200;
    Latency none, four;
    double sse = -1, status = -1;
    {
        Receiver bare(Kind::Quaverlink, options);
        Receiver receiver(Kind::Quaverlink, options, outputs);
        std::thread reader([device] {
            const int accepted = accept(device, nullptr, nullptr);
            char buffer[4096];
            while (accepted >= 0 && read(accepted, buffer, sizeof buffer) > 0) { }
        });
        if (bare.waitReady() && receiver.waitReady()) {
            const std::vector<Latency> both = measureLatencyTogether({&bare, &receiver}, kItems, kRate);
            none = both[0];
            four = both[1];
            const int events = connectTcp(httpPort);
            const std::string request = "GET /events HTTP/1.1\r\n\r\n";
            write(events, request.data(), request.size());
            readUntil(events, "data:", Clock::now(), 2);
            Sender(receiver.port()).send("Followed - By The Page");
            sse = readUntil(events, "Followed - By The Page", Clock::now(), 5);
            close(events);
            const auto sent = Clock::now();
            Sender(receiver.port()).send("Shown - On Icecast");
            while (icecastPort && secondsSince(sent) < 5 && status < 0) {
                const int page = connectTcp(icecastPort);
                const std::string get = "GET /status-json.xsl HTTP/1.0\r\n\r\n";
                write(page, get.data(), get.size());
                status = readUntil(page, "Shown - On Icecast", sent, 5);
                close(page);
            }
        }
        if (sse < 0 || (icecastPort && status < 0)) {
            std::fprintf(stderr, "an output did not answer; the receiver said:\n%s",
                         readFile(receiver.dir() + "/stderr.log").c_str());
        }
        shutdown(device, SHUT_RDWR);
        close(device);
        reader.detach();
    }
    std::printf("| On-air latency p50 / p99, no outputs (2,000 items at 200/s) | %s / %s µs | | | | |\n",
                fixed(none.p50).c_str(), fixed(none.p99).c_str());
    std::printf(
        "| On-air latency p50 / p99, %s outputs (file, TCP and UDP line feeds, HTTP%s) | %s / %s µs | | | | |\n",
        icecastPort ? "five" : "four", icecastPort ? ", Icecast" : "", fixed(four.p50).c_str(),
        fixed(four.p99).c_str());
    std::printf("| Datagram to a Server-Sent Events client | %s ms | | | | |\n", fixed(sse * 1000, 1).c_str());
    if (icecastPort) {
        std::printf("| Datagram to Icecast's status page | %s ms | | | | |\n", fixed(status * 1000, 1).c_str());
    }
}

// A document as Rivendell 4.2.2 and later's PAD service writes it, for one
// play on machine 1: LF lines, nothing after the closing brace.
std::string padDocument(int cart, const std::string &artist, const std::string &title)
{
    return "{\n    \"padUpdate\": {\n        \"machine\": 1,\n        \"onairFlag\": true,\n"
           "        \"now\": {\"cartNumber\": "
        + std::to_string(cart) + ", \"cutNumber\": 1, \"groupName\": \"MUSIC\", \"length\": 215000, \"artist\": \""
        + artist + "\", \"title\": \"" + title + "\", \"album\": \"Album\", \"isrc\": \"GBAYE0000001\"},\n"
        + "        \"next\": null\n    }\n}";
}

// The on-air latency of a PAD document (sent on the feed's connection to
// metadata.txt replaced) beside a datagram's, on one receiver in one run.
void measurePad(const Options &options)
{
    int padPort = 0;
    const int feed = listenTcp(&padPort);
    Receiver receiver(Kind::Quaverlink, options, "[PAD]\nHost=127.0.0.1\nPort=" + std::to_string(padPort) + "\n");
    pollfd waiting {feed, POLLIN, 0};
    if (!receiver.waitReady() || poll(&waiting, 1, 5000) != 1) {
        std::fprintf(stderr, "the receiver did not connect to the PAD feed; it said:\n%s",
                     readFile(receiver.dir() + "/stderr.log").c_str());
        return;
    }
    const int client = accept(feed, nullptr, nullptr);
    constexpr int kItems = 2000;
    constexpr double kRate = 200;
    std::vector<double> samples;
    int missed = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kItems; ++i) {
        std::this_thread::sleep_until(start + duration<double>(i / kRate));
        const std::string title = "Title " + std::to_string(i);
        const std::string document = padDocument(1000 + i, "Pad " + std::to_string(i), title);
        const auto sent = Clock::now();
        if (write(client, document.data(), document.size()) == ssize_t(document.size())
            && receiver.waitOnAir("Pad " + std::to_string(i) + " - " + title, 1.0)) {
            samples.push_back(secondsSince(sent) * 1e6);
        } else {
            ++missed;
        }
    }
    const Latency pad = latencyOf(std::move(samples), missed);
    const Latency udp = measureLatency(receiver, kItems, kRate);
    std::printf("| On-air latency p50 / p99, datagram (2,000 items at 200/s) | %s / %s µs | | | | |\n",
                fixed(udp.p50).c_str(), fixed(udp.p99).c_str());
    std::printf("| On-air latency p50 / p99, PAD document (2,000 at 200/s, %d missed) | %s / %s µs | | | | |\n",
                pad.missed, fixed(pad.p50).c_str(), fixed(pad.p99).c_str());
    close(client);
    close(feed);
}

std::map<std::string, std::string> parse(int argc, char **argv)
{
    std::map<std::string, std::string> args;
    for (int i = 1; i + 1 < argc; i += 2) {
        args[argv[i]] = argv[i + 1];
    }
    return args;
}

} // namespace

int main(int argc, char **argv)
{
    auto args = parse(argc, argv);
    const Options options {args["--quaverlink"], args["--python"],      args["--minimal"],   args["--db-server"],
                           args["--db-user"],    args["--db-password"], args["--db-socket"], args["--minimal-qt"]};
    signal(SIGPIPE, SIG_IGN);
    constexpr int kLatencyItems = 2000;
    // The receivers' own table: a p99 of 2,000 items is their 20th slowest,
    // which moves with whatever else the host runs; of 10,000, the 100th.
    constexpr int kTableLatencyItems = 10000;
    constexpr double kRate = 200;
    constexpr int kBurstItems = 10000;
    constexpr int kSoakItems = 100000;
    if (args.count("--pad")) {
        measurePad(options);
        return 0;
    }
    if (args.count("--outputs")) {
        measureOutputs(options, std::atoi(args["--icecast-port"].c_str()));
        return 0;
    }
    if (args.count("--db-only")) {
        // On-air latency in one run: play history off, on against the real
        // server, and on against a host that accepts connections and never
        // answers (a listening socket nobody accepts from).
        int hungPort = 0;
        const int hung = listenTcp(&hungPort);
        auto logTo = [&](const std::string &server) {
            return "DBenabled=Y\nDBserver=" + server + "\nDBuser=" + options.dbUser
                + "\nDBpassword=" + options.dbPassword + "\n";
        };
        const std::pair<const char *, std::string> runs[] = {
            {"off", {}},
            {"on", logTo(options.dbServer)},
            {"on, database hanging", logTo("127.0.0.1;port=" + std::to_string(hungPort))},
        };
        std::vector<std::pair<Kind, std::string>> setups;
        for (const auto &run : runs) {
            setups.emplace_back(Kind::Quaverlink, run.second);
        }
        const std::vector<Latency> latencies = measureSideBySide(setups, options, kLatencyItems, kRate);
        for (size_t r = 0; r < latencies.size(); ++r) {
            std::printf("| On-air latency p50 / p99, play history %s (2,000 items at 200/s) | %s / %s µs | | | | |\n",
                        runs[r].first, fixed(latencies[r].p50).c_str(), fixed(latencies[r].p99).c_str());
        }
        close(hung);
        const Logging logging = measureLogging(options, 2000);
        std::printf("| Play history: 2,000 items sent at once, rows per second | %s | | | | |\n",
                    fixed(logging.rowsPerSecond).c_str());
        std::printf("| Play history: rows lost | %ld | | | | |\n", long(logging.items) - logging.rows);
        return 0;
    }
    std::vector<Kind> kinds = {Kind::Quaverlink, Kind::QuaverlinkWindow, Kind::Python, Kind::Minimal};
    if (!options.minimalQt.empty()) {
        kinds.push_back(Kind::MinimalQt);
    }
    // --latency-only quaverlink,window,python,minimal,qt: those receivers'
    // latency alone, side by side.
    if (args.count("--latency-only")) {
        const std::map<std::string, Kind> byName = {{"quaverlink", Kind::Quaverlink},
                                                    {"window", Kind::QuaverlinkWindow},
                                                    {"python", Kind::Python},
                                                    {"minimal", Kind::Minimal},
                                                    {"qt", Kind::MinimalQt}};
        std::vector<std::string> names;
        std::vector<std::pair<Kind, std::string>> only;
        std::stringstream list(args["--latency-only"]);
        for (std::string name; std::getline(list, name, ',');) {
            if (byName.count(name)) {
                names.push_back(name);
                only.emplace_back(byName.at(name), std::string());
            }
        }
        const std::vector<Latency> latencies = measureSideBySide(only, options, kLatencyItems, kRate);
        for (size_t r = 0; r < latencies.size(); ++r) {
            std::printf("%-10s p50 %.0f us, p99 %.0f us, max %.0f us, missed %d\n", names[r].c_str(), latencies[r].p50,
                        latencies[r].p99, latencies[r].max, latencies[r].missed);
        }
        return 0;
    }

    std::map<Kind, Latency> latency;
    std::map<Kind, Burst> burst;
    std::map<Kind, Soak> soak;
    std::vector<std::pair<Kind, std::string>> setups;
    for (Kind kind : kinds) {
        setups.emplace_back(kind, std::string());
    }
    const std::vector<Latency> latencies = measureSideBySide(setups, options, kTableLatencyItems, kRate);
    for (size_t k = 0; k < latencies.size(); ++k) {
        latency[kinds[k]] = latencies[k];
    }
    for (Kind kind : kinds) {
        {
            Receiver receiver(kind, options);
            if (receiver.waitReady()) {
                burst[kind] = measureBurst(receiver, kBurstItems);
            }
        }
        {
            Receiver receiver(kind, options);
            if (receiver.waitReady()) {
                soak[kind] = measureMemory(receiver, kSoakItems);
            }
        }
    }
    std::map<Kind, double> startup;
    for (Kind kind : kinds) {
        std::vector<double> runs;
        for (int run = 0; run < 5; ++run) {
            Receiver receiver(kind, options);
            double seconds = 0;
            if (receiver.waitReady(&seconds)) {
                runs.push_back(seconds * 1000);
            }
        }
        std::sort(runs.begin(), runs.end());
        startup[kind] = runs.empty() ? 0 : runs[runs.size() / 2];
    }

    // The headless receiver alone: what a flood, a million items and its
    // system calls cost.
    std::optional<double> flood;
    Soak million;
    double callsPerItem = 0;
    {
        Receiver receiver(Kind::Quaverlink, options);
        if (receiver.waitReady()) {
            callsPerItem = measureSystemCalls(receiver, 1000);
            flood = measureFlood(receiver, 100000);
        }
    }
    {
        Receiver receiver(Kind::Quaverlink, options);
        if (receiver.waitReady()) {
            million = measureMemory(receiver, 1000000);
        }
    }

    const std::map<Kind, const char *> names = {{Kind::Quaverlink, "Quaverlink headless"},
                                                {Kind::QuaverlinkWindow, "Quaverlink window"},
                                                {Kind::Python, "Python baseline"},
                                                {Kind::Minimal, "minimal C"},
                                                {Kind::MinimalQt, "minimal Qt"}};
    const Kind floor = Kind::Minimal;
    const Kind qtFloor = options.minimalQt.empty() ? Kind::Minimal : Kind::MinimalQt;
    std::printf("| Figure |");
    for (Kind kind : kinds) {
        std::printf(" %s |", names.at(kind));
    }
    std::printf(" headless / C | window / C | headless / Qt |\n|---|");
    for (size_t k = 0; k < kinds.size() + 3; ++k) {
        std::printf("---:|");
    }
    std::printf("\n");
    // One row: each receiver's figure, then Quaverlink against the floors.
    const auto row = [&](const std::string &name, auto value, const std::string &unit, int decimals) {
        std::printf("| %s |", name.c_str());
        for (Kind kind : kinds) {
            std::printf(" %s%s |", fixed(value(kind), decimals).c_str(), unit.c_str());
        }
        std::printf(" %s | %s | %s |\n", ratio(value(Kind::Quaverlink), value(floor)).c_str(),
                    ratio(value(Kind::QuaverlinkWindow), value(floor)).c_str(),
                    ratio(value(Kind::Quaverlink), value(qtFloor)).c_str());
    };
    row(
        "On-air latency p50, 10,000 items at 200/s", [&](Kind k) { return latency[k].p50; }, " µs", 0);
    row(
        "On-air latency p99", [&](Kind k) { return latency[k].p99; }, " µs", 0);
    row(
        "On-air latency max", [&](Kind k) { return latency[k].max; }, " µs", 0);
    row(
        "Latency items never on air", [&](Kind k) { return double(latency[k].missed); }, "", 0);
    std::printf("| Burst of %d back to back: last item on air after |", kBurstItems);
    for (Kind kind : kinds) {
        std::printf(" %s |", burst[kind].seconds ? (fixed(*burst[kind].seconds * 1000) + " ms").c_str() : "lost");
    }
    std::printf(" | | |\n| Burst items applied |");
    for (Kind kind : kinds) {
        // The window keeps no journal: only the headless build counts its items.
        if (kind == Kind::QuaverlinkWindow) {
            std::printf(" |");
            continue;
        }
        std::printf(" %ld%s |", burst[kind].applied,
                    isQuaverlink(kind) ? (burst[kind].inOrder ? " (in order)" : " (OUT OF ORDER)") : "");
    }
    std::printf(" | | |\n");
    row(
        "RSS after start-up", [&](Kind k) { return soak[k].afterStart.rssKiB / 1024.0; }, " MiB", 1);
    row(
        "Peak RSS over 100,000 items", [&](Kind k) { return soak[k].afterItems.peakKiB / 1024.0; }, " MiB", 1);
    row(
        "Start-up until the first write of metadata.txt (median of 5)", [&](Kind k) { return startup[k]; }, " ms", 1);
    std::printf("| System calls per item, steady state (strace -c, the benchmark build's journal write taken out) | %s "
                "| | | | | | | |\n",
                fixed(callsPerItem, 1).c_str());
    std::printf("| 100,000 junk datagrams, then a real item: on air after | %s | | | | | | | |\n",
                flood ? (fixed(*flood * 1000, 1) + " ms").c_str() : "never");
    std::printf("| RSS at start / after 1,000,000 items / peak | %s / %s / %s MiB | | | | | | | |\n",
                fixed(million.afterStart.rssKiB / 1024.0, 1).c_str(),
                fixed(million.afterItems.rssKiB / 1024.0, 1).c_str(),
                fixed(million.afterItems.peakKiB / 1024.0, 1).c_str());
    return 0;
}
