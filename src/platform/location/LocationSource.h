#pragma once
// Where positions come from. A source produces raw fixes (and errors) for the
// location managers that observe it; which one the process uses is chosen at
// launch (`wharf --location gpsd://HOST:PORT | replay:FILE | none`):
//
//   gpsd://HOST:PORT  the gpsd daemon (a GPS receiver), read on a thread of its own
//   replay:FILE       a recorded GPX or NMEA track, replayed from the start of the
//                     first observation and stamped with the current time
//   none              no positions at all: location services are off
//
// The first observer starts a source and the last one to leave stops it.
// Observers' handlers always run on the main thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/Error.h"
#include "platform/location/LocationFix.h"

namespace wharf::platform {

// Errors of the location service.
inline constexpr const char* kLocationErrorDomain = "kCLErrorDomain";
enum LocationErrorCode : int64_t {
    kLocationErrorLocationUnknown = 0,  // no position now; the source keeps trying
    kLocationErrorDenied = 1,  // location services are off
};

class LocationSource {
public:
    using FixHandler = std::function<void(const LocationFix&)>;
    using ErrorHandler = std::function<void(const Error&)>;

    LocationSource() = default;
    virtual ~LocationSource();
    LocationSource(const LocationSource&) = delete;
    LocationSource& operator=(const LocationSource&) = delete;

    // Thread-safe. Neither handler may be empty.
    uint64_t addObserver(FixHandler onFix, ErrorHandler onError);
    void removeObserver(uint64_t token);
    bool isRunning() const;

    // False only where the machine has no positions at all ("none").
    virtual bool servicesEnabled() const { return true; }
    // "gpsd://HOST:PORT", "replay:FILE" or "none".
    virtual std::string description() const = 0;

    // A source from its launch form. A relative replay path is taken from
    // `baseDirectory` (when not empty). nullptr, with an error that says why,
    // for anything else or a track that cannot be read.
    static std::shared_ptr<LocationSource> fromOption(const std::string& option, const std::string& baseDirectory,
                                                      Error* error);
    // The process's source: gpsd on this machine unless one was set.
    static std::shared_ptr<LocationSource> shared();
    // nullptr goes back to the default.
    static void setShared(std::shared_ptr<LocationSource> source);

protected:
    // Run under the source's lock, on any thread, when the first observer
    // arrives and when the last one leaves.
    virtual void startDelivery() = 0;
    virtual void stopDelivery() = 0;
    // Main thread only: hands the fix (the error) to every observer.
    void deliverFix(const LocationFix& fix);
    void deliverError(const Error& error);

private:
    struct Observer {
        FixHandler onFix;
        ErrorHandler onError;
    };
    std::map<uint64_t, Observer> snapshot() const;
    template <class Call>
    void forEachObserver(const Call& call);

    mutable std::mutex mutex_;
    std::map<uint64_t, Observer> observers_;
    uint64_t lastToken_ = 0;
};

// No positions ever: location services are off.
class NoLocationSource : public LocationSource {
public:
    bool servicesEnabled() const override { return false; }
    std::string description() const override { return "none"; }

protected:
    void startDelivery() override {}
    void stopDelivery() override {}
};

// Fixes and errors that a test hands in by hand, on the main thread.
class FakeLocationSource : public LocationSource {
public:
    std::string description() const override { return "fake"; }
    // Delivered at once to the observers (nothing happens while none observes).
    void emit(const LocationFix& fix);
    void fail(const Error& error);
    // How many times the source was started.
    int startCount() const;

protected:
    void startDelivery() override;
    void stopDelivery() override {}

private:
    std::atomic<int> starts_{0};
};

}  // namespace wharf::platform
