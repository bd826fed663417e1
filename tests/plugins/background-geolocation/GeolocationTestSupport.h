#pragma once
// Helpers for the geolocation tests: fixes at chosen times and the sqlite3
// command-line shell, to look at the store files as anyone would.
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

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

}  // namespace wharf::test
