#include "platform/location/LocationSource.h"

#include <exception>

#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/GpsdLocationSource.h"
#include "platform/location/ReplayLocationSource.h"

namespace wharf::platform {

namespace {

constexpr const char* kDefaultGpsdHost = "127.0.0.1";
constexpr const char* kDefaultGpsdPort = "2947";
constexpr const char* kSpecErrorDomain = "wharf.LocationSource";

struct SharedSource {
    std::mutex mutex;
    std::shared_ptr<LocationSource> source;
};

SharedSource& sharedSource() {
    static auto* s = new SharedSource;
    return *s;
}

bool isPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

std::shared_ptr<LocationSource> gpsdFromAddress(const std::string& rest, Error* error) {
    auto refuse = [&](const std::string& why) -> std::shared_ptr<LocationSource> {
        setError(error, Error::withDescription(kSpecErrorDomain, 1, "gpsd://" + rest + ": " + why));
        return nullptr;
    };
    std::string host, port = kDefaultGpsdPort;
    std::string tail;
    if (!rest.empty() && rest[0] == '[') {  // [IPv6]:port
        const auto close = rest.find(']');
        if (close == std::string::npos) return refuse("an IPv6 address needs its closing bracket");
        host = rest.substr(1, close - 1);
        tail = rest.substr(close + 1);
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) tail = rest.substr(colon);
    }
    if (!tail.empty()) {
        if (tail[0] != ':') return refuse("expected :PORT after the host");
        port = tail.substr(1);
    }
    if (host.empty()) return refuse("the host is missing");
    if (host.find_first_of("/?#@ ") != std::string::npos) return refuse("not a host name");
    if (!isPort(port)) return refuse("the port must be a number from 1 to 65535");
    return GpsdLocationSource::create(host, port);
}

}  // namespace

LocationSource::~LocationSource() = default;

uint64_t LocationSource::addObserver(FixHandler onFix, ErrorHandler onError) {
    std::lock_guard lock(mutex_);
    const bool first = observers_.empty();
    observers_[++lastToken_] = {std::move(onFix), std::move(onError)};
    if (first) startDelivery();
    return lastToken_;
}

void LocationSource::removeObserver(uint64_t token) {
    std::lock_guard lock(mutex_);
    if (observers_.erase(token) && observers_.empty()) stopDelivery();
}

bool LocationSource::isRunning() const {
    std::lock_guard lock(mutex_);
    return !observers_.empty();
}

std::map<uint64_t, LocationSource::Observer> LocationSource::snapshot() const {
    std::lock_guard lock(mutex_);
    return observers_;
}

template <class Call>
void LocationSource::forEachObserver(const Call& call) {
    for (auto& [token, observer] : snapshot()) {
        try {
            call(observer);
        } catch (const std::exception& e) {
            log("Location observer failed: %s", e.what());
        }
    }
}

void LocationSource::deliverFix(const LocationFix& fix) {
    forEachObserver([&](const Observer& o) { o.onFix(fix); });
}

void LocationSource::deliverError(const Error& error) {
    forEachObserver([&](const Observer& o) { o.onError(error); });
}

std::shared_ptr<LocationSource> LocationSource::fromOption(const std::string& option, const std::string& baseDirectory,
                                                           Error* error) {
    if (option == "none") return std::make_shared<NoLocationSource>();
    if (option.rfind("gpsd://", 0) == 0) return gpsdFromAddress(option.substr(7), error);
    if (option.rfind("replay:", 0) == 0) {
        std::string path = option.substr(7);
        if (path.empty()) {
            setError(error,
                     Error::withDescription(kSpecErrorDomain, 1, "replay: needs the path of a GPX or NMEA file"));
            return nullptr;
        }
        if (path[0] != '/' && !baseDirectory.empty()) path = baseDirectory + "/" + path;
        auto track = LocationTrack::load(path, error);
        if (!track) return nullptr;
        return ReplayLocationSource::create(std::move(*track), path);
    }
    setError(error, Error::withDescription(
                        kSpecErrorDomain, 1,
                        "unknown location source \"" + option + "\" (expected gpsd://HOST:PORT, replay:FILE or none)"));
    return nullptr;
}

std::shared_ptr<LocationSource> LocationSource::shared() {
    auto& s = sharedSource();
    std::lock_guard lock(s.mutex);
    if (!s.source) s.source = GpsdLocationSource::create(kDefaultGpsdHost, kDefaultGpsdPort);
    return s.source;
}

void LocationSource::setShared(std::shared_ptr<LocationSource> source) {
    auto& s = sharedSource();
    std::lock_guard lock(s.mutex);
    s.source = std::move(source);
}

// --- the fake ------------------------------------------------------------------------

void FakeLocationSource::emit(const LocationFix& fix) { deliverFix(fix); }

void FakeLocationSource::fail(const Error& error) { deliverError(error); }

int FakeLocationSource::startCount() const { return starts_.load(); }

void FakeLocationSource::startDelivery() { ++starts_; }

}  // namespace wharf::platform
