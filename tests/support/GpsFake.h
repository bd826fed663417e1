#pragma once
// gpsfake (gpsd-clients) feeding an NMEA log, over and over, through a private
// gpsd on a free loopback port, for tests of the gpsd location source. The
// feed starts when the first client watches. It runs in a process group of
// its own, ended with its gpsd when the object goes.
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ProcessGroup.h"
#include "TestSupport.h"

namespace wharf::test {

// "$<body>*<checksum>\r\n"
inline std::string nmeaSentence(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// GGA and RMC sentences for `count` seconds from `start` (seconds since 1970),
// heading north from 48°07.038'N 11°31.000'E by `stepMinutes` of latitude a second.
// Without `withGga` only RMC: a receiver that tells no dilution of precision.
inline std::string nmeaTrack(std::time_t start, int count, double stepMinutes, double hdop = 1.0, bool withGga = true) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        const std::time_t t = start + i;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char hms[16], dmy[16], lat[16];
        std::strftime(hms, sizeof hms, "%H%M%S.00", &tm);
        std::strftime(dmy, sizeof dmy, "%d%m%y", &tm);
        std::snprintf(lat, sizeof lat, "%08.3f", 4807.038 + i * stepMinutes);
        char gga[128], rmc[128];
        std::snprintf(gga, sizeof gga, "GPGGA,%s,%s,N,01131.000,E,1,08,%.1f,545.4,M,46.9,M,,", hms, lat, hdop);
        std::snprintf(rmc, sizeof rmc, "GPRMC,%s,A,%s,N,01131.000,E,010.0,000.0,%s,003.1,W", hms, lat, dmy);
        text += (withGga ? nmeaSentence(gga) : std::string()) + nmeaSentence(rmc);
    }
    return text;
}

// A loopback TCP port that was free a moment ago.
inline int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind to 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

class GpsFake {
public:
    // Starts gpsfake on `logPath`; check started() (and why() when it is not).
    explicit GpsFake(const std::string& logPath, double cycleSeconds = 0.2) {
        for (const char* tool : {"/usr/bin/gpsfake", "/usr/sbin/gpsd"}) {
            if (::access(tool, X_OK) != 0) {
                why_ = std::string(tool) + " is not installed";
                return;
            }
        }
        // The port was free a moment ago; another test's server may take it
        // first (then gpsd cannot listen there), and gpsfake gives up on its
        // device without a word when gpsd's control socket is not listening
        // yet: a few tries, each on a new port.
        for (int attempt = 0; attempt < 3; ++attempt) {
            why_.clear();
            if (start(logPath, cycleSeconds)) return;
            stop();
        }
    }
    ~GpsFake() { stop(); }
    GpsFake(const GpsFake&) = delete;
    GpsFake& operator=(const GpsFake&) = delete;

    bool started() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    int port() const { return port_; }

private:
    bool start(const std::string& logPath, double cycleSeconds) {
        port_ = freeLoopbackPort();
        const std::string portText = std::to_string(port_), cycle = std::to_string(cycleSeconds);
        // gpsfake names gpsd's control socket after its own pid in TMPDIR, and
        // gpsd, no longer root when it ends, leaves the socket behind in /tmp:
        // a gpsfake whose pid a past one had took the stale socket for a
        // listening gpsd, sent its device nowhere and fed a gpsd without one.
        // A directory of this run's own holds the socket instead.
        controlDir_ = std::make_unique<TempDir>();
        std::vector<std::string> env = {"TMPDIR=" + controlDir_->path()};
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
        // gpsfake and its gpsd end after a minute whatever becomes of this process.
        pid_ = spawnGroup({"/usr/bin/gpsfake", "-q", "-P", portText, "-c", cycle, logPath}, std::chrono::seconds(60),
                          std::move(env));
        if (!pid_) {
            why_ = "gpsfake could not be started";
            return false;
        }
        // gpsd listens once gpsfake has it running, and gpsfake hands it the
        // device a moment later (gpsd then waits for a client to open it).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                why_ = "gpsfake ended before gpsd listened (gpsd cannot start here)";
                return false;
            }
            if (servesOwnDevice()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        why_ = "gpsd did not serve gpsfake's device within 10 s";
        return false;
    }

    void stop() {
        // (timeout(1) ends after gpsfake, which reaps its gpsd.)
        endGroup(pid_);
        pid_ = 0;
        // gpsd, no longer root, cannot remove the segment it exports fixes in
        // (keyed by its port): each run would leave one behind for good.
        if (port_ > 0) {
            const int id = ::shmget(static_cast<key_t>(0x47700000 + port_), 0, 0);
            shmid_ds state{};
            if (id >= 0 && ::shmctl(id, IPC_STAT, &state) == 0 && state.shm_nattch == 0)
                ::shmctl(id, IPC_RMID, nullptr);
        }
        controlDir_.reset();
    }

    // Whether the gpsd on the port greets as gpsd and lists the device that
    // gpsfake feeds. Whatever else may listen on the port does not greet; a
    // gpsd of another test that took the port first lists a pty of its own.
    // A query that watches nothing does not start the feed.
    bool servesOwnDevice() const {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        std::string answer;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string query = "?DEVICES;\n";
            [[maybe_unused]] auto sent = ::send(fd, query.data(), query.size(), MSG_NOSIGNAL);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            char chunk[1024];
            pollfd readable{fd, POLLIN, 0};
            while (answer.find("\"class\":\"DEVICES\"") == std::string::npos || answer.back() != '\n') {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
                const auto n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0) break;
                answer.append(chunk, static_cast<size_t>(n));
            }
        }
        ::close(fd);
        if (answer.find("\"class\":\"VERSION\"") == std::string::npos) return false;
        for (const auto& pty : ownPtys())
            if (answer.find("\"path\":\"" + pty + "\"") != std::string::npos) return true;
        return false;
    }

    // The ptys the processes of gpsfake's group hold open.
    std::set<std::string> ownPtys() const {
        std::set<std::string> ptys;
        DIR* proc = ::opendir("/proc");
        if (!proc) return ptys;
        while (const dirent* entry = ::readdir(proc)) {
            const std::string pid = entry->d_name;
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            // The process group is the fifth field of stat, after the name in parentheses.
            const std::string stat = readFile("/proc/" + pid + "/stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream fields(stat.substr(close + 1));
            char state = 0;
            long parent = 0, group = 0;
            if (!(fields >> state >> parent >> group) || group != pid_) continue;
            const std::string fds = "/proc/" + pid + "/fd";
            DIR* dir = ::opendir(fds.c_str());
            if (!dir) continue;
            while (const dirent* fd = ::readdir(dir)) {
                char target[256];
                const auto n = ::readlinkat(::dirfd(dir), fd->d_name, target, sizeof target - 1);
                if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("/dev/pts/", 0) == 0)
                    ptys.emplace(target, static_cast<size_t>(n));
            }
            ::closedir(dir);
        }
        ::closedir(proc);
        return ptys;
    }

    pid_t pid_ = 0;
    int port_ = 0;
    std::string why_;
    std::unique_ptr<TempDir> controlDir_;
};

}  // namespace wharf::test
