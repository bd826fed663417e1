#pragma once
// Helpers for the geolocation tests: fixes at chosen times, the sqlite3
// command-line shell, to look at the store files as anyone would, and stores
// that cannot be written.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "plugins/background-geolocation/Location.h"
#include "sqldb/SQLDatabase.h"
#include "sqldb/SQLDateFormatter.h"

namespace wharf::test {

// A fix at `seconds` since 1970 with a position derived from it.
inline Location fixAt(double seconds, double accuracy = 10) {
    Location l;
    l.time = dateWithSecondsSince1970(seconds);
    l.accuracy = accuracy;
    l.altitudeAccuracy = 3;
    l.speed = 1.5;
    l.heading = -1;
    l.altitude = 40;
    l.latitude = 48.0 + seconds / 1e6;
    l.longitude = 11.0;
    l.type = "current";
    return l;
}

// Where a test server's answers wait until the test lets them go.
class AnswerGate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    // Opens the gate when it goes. Held after the server, it lets a waiting
    // answer go before the server waits for it, on every way out of a test.
    [[nodiscard]] std::shared_ptr<void> openAtExit() {
        return {nullptr, [this](void*) { open(); }};
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// What `sqlite3 <file> <command>` prints.
inline std::string sqliteShell(const std::string& file, const std::string& command) {
    auto quote = [](const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    std::string output;
    if (FILE* p = ::popen(("sqlite3 -batch " + quote(file) + " " + quote(command) + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
        ::pclose(p);
    }
    return output;
}

// `count` waiting rows, one a second from `first` (seconds since 1970), written
// as another program would.
inline void seedRows(const std::string& file, int count, double first) {
    SQLDatabase db(file);
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.beginTransaction());
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(db.executeUpdate("INSERT INTO location (time,accuracy,speed,bearing,altitude,latitude,longitude,"
                                     "valid) VALUES (?,5,1,0,500,48.1,11.5,1)",
                                     first + i));
    ASSERT_TRUE(db.commit());
}

// Sets or clears the immutable attribute (chattr +i), which root cannot
// write past either: a directory so marked takes no new file, so a database
// in it cannot make its journal. False where the file system refuses.
inline bool setImmutable(const std::string& path, bool immutable) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool set = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (set) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        set = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return set;
}

// `path` bound over itself read-only, as a read-only mount of it would be,
// until release() or the end of the object. Needs the privilege to mount.
class ReadOnlyBind {
public:
    explicit ReadOnlyBind(std::string path) : path_(std::move(path)) {
        if (::mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) != 0) return;
        bound_ = true;
        readOnly_ = ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyBind() { release(); }
    ReadOnlyBind(const ReadOnlyBind&) = delete;
    ReadOnlyBind& operator=(const ReadOnlyBind&) = delete;
    bool readOnly() const { return readOnly_; }
    bool release() {
        if (bound_ && ::umount2(path_.c_str(), 0) == 0) bound_ = false;
        return !bound_;
    }

private:
    std::string path_;
    bool bound_ = false;
    bool readOnly_ = false;
};

// Another program's exclusive lock on a database file, held on a thread of
// its own until release(), or until `deadline` should nobody release it.
class HeldLock {
public:
    HeldLock(const std::string& file, std::chrono::seconds deadline) {
        thread_ = std::thread([this, file, deadline] {
            SQLDatabase db(file);
            const bool locked = db.open() && db.executeStatements("BEGIN EXCLUSIVE");
            std::unique_lock lock(mutex_);
            locked_ = locked;
            ready_ = true;
            changed_.notify_all();
            timedOut_ = !changed_.wait_for(lock, deadline, [this] { return released_; });
            if (locked) db.rollback();
        });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ready_; });
    }
    ~HeldLock() { release(); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

    bool locked() const { return locked_; }
    // Lets the lock go; true unless the deadline had let it go first.
    bool release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
        return !timedOut_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool locked_ = false;
    bool released_ = false;
    bool timedOut_ = false;
    std::thread thread_;
};

}  // namespace wharf::test
