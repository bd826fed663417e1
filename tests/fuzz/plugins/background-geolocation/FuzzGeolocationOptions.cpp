// The geolocation plug-in's options as the page passes them: the input is a
// JSON value, the argument array of the page's call (anything else stands for
// its first argument). Every slot may hold a value of any kind.
//
// The options read give a clear answer or a sane value: an option of the
// wrong kind keeps its default, a configuration read back from what it holds
// is the same configuration, and header fields reach the wire only whole (no
// field of the page's making starts another). Through the real plug-in and
// location manager, over a location source and clock of the target's own and
// a server on 127.0.0.1 (every address the page names is sent there): options
// that are not an object are refused with an error, an object is applied to
// the location service as it was read; the calls whose first argument is a
// number (switchMode, deleteLocation, getLogEntries) answer at most once, an
// error with a message or the log; once started, a fix reaches the page with
// any options, the distance filter given to the location service stays a
// number of at most 1000 m, and the stationary region comes back with the
// radius the options asked for.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <strings.h>
#include <thread>

#include "FuzzSupport.h"
#include "PluginAnswers.h"
#include "host/testing/FakeViewController.h"
#include "logging/LGASLLogger.h"
#include "logging/LGAbstractDatabaseLogger.h"
#include "logging/LGLog.h"
#include "logging/LGTTYLogger.h"
#include "platform/device/Application.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/LocationSource.h"
#include "platform/net/Reachability.h"
#include "platform/storage/Container.h"
#include "plugins/background-geolocation/Config.h"
#include "plugins/background-geolocation/Location.h"
#include "plugins/background-geolocation/WFBackgroundGeolocation.h"

using namespace wharf;
using namespace std::chrono_literals;
using platform::Value;

namespace {

// Answers every request 200 on 127.0.0.1 and keeps the request target,
// header fields and body of each; each connection on a thread of its own, so
// that a client that sends nothing holds up no other.
class Sink {
public:
    struct Request {
        std::string target;
        std::vector<std::pair<std::string, std::string>> fields;
        std::string body;
    };

    Sink() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd_, 16) == 0);
        FUZZ_CHECK(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        port_ = ntohs(address.sin_port);
        std::thread([this] { serve(); }).detach();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::optional<Request> take(const std::string& target) {
        std::lock_guard lock(mutex_);
        for (auto it = requests_.begin(); it != requests_.end(); ++it) {
            if (it->target != target) continue;
            Request found = std::move(*it);
            requests_.erase(it);
            return found;
        }
        return std::nullopt;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }

private:
    void serve() {
        for (;;) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) std::thread([this, c] { answer(c); }).detach();
        }
    }
    void answer(int c) {
        timeval timeout{5, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (auto request = read(c)) {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(*request));
        }
        static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)!::send(c, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
        ::close(c);
    }
    static std::optional<Request> read(int c) {
        std::string data;
        char buffer[16384];
        std::size_t end;
        while ((end = data.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
            if (n <= 0) return std::nullopt;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        Request request;
        std::size_t at = data.find("\r\n");
        const std::string first = data.substr(0, at);
        request.target = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
        std::size_t length = 0;
        while (at < end) {
            const std::size_t next = data.find("\r\n", at + 2);
            const std::string line = data.substr(at + 2, next - at - 2);
            const std::size_t colon = line.find(':');
            std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            request.fields.emplace_back(line.substr(0, colon), value);
            if (strcasecmp(request.fields.back().first.c_str(), "Content-Length") == 0)
                length = std::strtoul(value.c_str(), nullptr, 10);
            at = next;
        }
        request.body = data.substr(end + 4);
        while (request.body.size() < length) {
            const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            request.body.append(buffer, static_cast<std::size_t>(n));
        }
        return request;
    }

    int fd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<Request> requests_;
};

struct Harness {
    Sink sink;
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    std::shared_ptr<platform::FakeLocationSource> source = std::make_shared<platform::FakeLocationSource>();
    std::unique_ptr<SQLiteLocationDAO> store;
    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFBackgroundGeolocation> plugin;
    std::shared_ptr<LGAbstractDatabaseLogger> pageLog;  // what getLogEntries reads
    int calls = 0;
};

Harness& harness() {
    static Harness* h = [] {
        // Debug narration is written to the log, not shown on a desktop.
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        platform::Container::setHome(fuzz::scratchDir() + "/home");
        platform::NetworkMonitor::setShared(std::make_shared<platform::FakeNetworkMonitor>());
        auto* made = new Harness;
        platform::Application::shared().setClock(made->clock);
        platform::LocationSource::setShared(made->source);
        made->store = std::make_unique<SQLiteLocationDAO>();
        WFBackgroundGeolocation::setManagerEnvironment(
            {made->source, made->clock, made->store.get(), &platform::Application::shared()});
        made->controller = testing::FakeViewController::create();
        made->plugin = std::make_shared<WFBackgroundGeolocation>();
        made->plugin->initWithWebViewEngine(made->controller->engine());
        made->controller->registerPlugin(made->plugin, "BackgroundGeolocation");
        // The log the page reads back stays; the system log and the terminal
        // are spared a line for every input.
        LGLog::removeLogger(LGASLLogger::sharedInstance());
        LGLog::removeLogger(LGTTYLogger::sharedInstance());
        for (const auto& logger : LGLog::allLoggers())
            if (auto database = std::dynamic_pointer_cast<LGAbstractDatabaseLogger>(logger)) made->pageLog = database;
        FUZZ_CHECK(made->pageLog);
        // Kept to the lines of one input (see LLVMFuzzerTestOneInput).
        made->pageLog->setMaxAge(1e-3);
        return made;
    }();
    return *h;
}

// --- the options read ---------------------------------------------------------------------

const Value* given(const Value& options, const char* key) {
    if (!options.is_object()) return nullptr;
    auto it = options.find(key);
    return it == options.end() || it->is_null() ? nullptr : &*it;
}

bool scalar(const Value* v) { return v && (v->is_number() || v->is_boolean() || v->is_string()); }

Value asOptions(const Config& c) {
    Value headers;
    if (c.httpHeaders) {
        headers = Value::object();
        for (const auto& [name, value] : *c.httpHeaders) headers[name] = value;
    }
    auto text = [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(); };
    return Value{{"debug", c.isDebugging},
                 {"stopOnTerminate", c.stopOnTerminate},
                 {"saveBatteryOnBackground", c.saveBatteryOnBackground},
                 {"pauseLocationUpdates", c.pauseLocationUpdates},
                 {"stationaryRadius", c.stationaryRadius},
                 {"distanceFilter", c.distanceFilter},
                 {"desiredAccuracy", c.desiredAccuracy},
                 {"activityType", c.activityType},
                 {"url", text(c.url)},
                 {"syncUrl", text(c.syncUrl)},
                 {"syncThreshold", c.syncThreshold},
                 {"httpHeaders", headers},
                 {"maxLocations", c.maxLocations}};
}

void checkConfig(const Value& options, const Config& c) {
    const Config defaults;
    struct Integer {
        const char* key;
        int64_t Config::*field;
    };
    for (const auto& [key, field] :
         {Integer{"stationaryRadius", &Config::stationaryRadius}, Integer{"distanceFilter", &Config::distanceFilter},
          Integer{"desiredAccuracy", &Config::desiredAccuracy}, Integer{"syncThreshold", &Config::syncThreshold},
          Integer{"maxLocations", &Config::maxLocations}}) {
        const Value* v = given(options, key);
        if (!scalar(v)) FUZZ_CHECK(c.*field == defaults.*field);
        // A whole number beyond the field's range is taken as its largest.
        if (v && v->is_number_integer())
            FUZZ_CHECK(
                c.*field ==
                (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t{INT64_MAX} ? INT64_MAX : v->get<int64_t>()));
    }
    struct Flag {
        const char* key;
        bool Config::*field;
    };
    for (const auto& [key, field] :
         {Flag{"debug", &Config::isDebugging}, Flag{"stopOnTerminate", &Config::stopOnTerminate},
          Flag{"saveBatteryOnBackground", &Config::saveBatteryOnBackground},
          Flag{"pauseLocationUpdates", &Config::pauseLocationUpdates}}) {
        const Value* v = given(options, key);
        if (!scalar(v)) FUZZ_CHECK(c.*field == defaults.*field);
        if (v && v->is_boolean()) FUZZ_CHECK(c.*field == v->get<bool>());
    }
    const Value* activity = given(options, "activityType");
    FUZZ_CHECK(c.activityType == (activity && activity->is_string() ? activity->get<std::string>() : "OTHER"));
    const Value* url = given(options, "url");
    const Value* syncUrl = given(options, "syncUrl");
    FUZZ_CHECK(c.url == (url && url->is_string() ? std::optional(url->get<std::string>()) : std::nullopt));
    FUZZ_CHECK(c.syncUrl == (syncUrl && syncUrl->is_string() ? std::optional(syncUrl->get<std::string>()) : c.url));

    // Header values are text: the page's own, or the text of its number or boolean.
    const Value* headers = given(options, "httpHeaders");
    FUZZ_CHECK(c.httpHeaders.has_value() == (headers && headers->is_object()));
    if (c.httpHeaders) {
        for (const auto& [name, value] : *c.httpHeaders) {
            FUZZ_CHECK(headers->contains(name));
            const Value& original = (*headers)[name];
            if (original.is_string())
                FUZZ_CHECK(value == original.get<std::string>());
            else if (original.is_boolean())
                FUZZ_CHECK(value == (original.get<bool>() ? "true" : "false"));
            else
                FUZZ_CHECK(original.is_number() && platform::parseJSON(value) == original);
        }
        for (const auto& [name, value] : headers->items())
            if (value.is_string() || value.is_boolean() || value.is_number()) FUZZ_CHECK(c.httpHeaders->contains(name));
    }

    const int64_t accuracy = c.decodeDesiredAccuracy();
    FUZZ_CHECK(accuracy == -1 || accuracy == 10 || accuracy == 100 || accuracy == 1000);
    FUZZ_CHECK(c.decodeActivityType() >= 1 && c.decodeActivityType() <= 4);

    // Read back from what it holds, it is the same configuration.
    const Config again = Config::fromDictionary(asOptions(c));
    FUZZ_CHECK(asOptions(again) == asOptions(c));
    FUZZ_CHECK(again.description() == c.description());
}

platform::LocationFix fixAt(const platform::Clock& clock, double northMetres, double accuracy) {
    platform::LocationFix fix;
    fix.coordinate = {48.137 + northMetres / 111000.0, 11.575};
    fix.altitude = 500;
    fix.horizontalAccuracy = accuracy;
    fix.verticalAccuracy = 3;
    fix.speed = 12.5;
    fix.course = 0;
    fix.timestamp = clock.now();
    return fix;
}

// The page's header fields reach the server as fields of their own: none
// the page did not name beside the client's, the body the one fix.
void checkHeadersOnTheWire(const Config& c) {
    if (!c.httpHeaders || c.httpHeaders->empty()) return;
    Harness& h = harness();
    Location location = Location::fromCLLocation(fixAt(*h.clock, 0, 5));
    location.type = "current";
    const std::string target = "/fix-" + std::to_string(++h.calls);
    platform::Error error;
    FUZZ_CHECK(location.postAsJSON(h.sink.url(target), c.httpHeaders, &error, 10s));
    const auto request = h.sink.take(target);
    FUZZ_CHECK(request);
    for (const auto& [name, value] : request->fields) {
        bool known = false;
        for (const char* own : {"Host", "Accept", "Content-Type", "Content-Length", "Accept-Encoding"})
            known = known || strcasecmp(name.c_str(), own) == 0;
        for (const auto& [pageName, pageValue] : *c.httpHeaders)
            known = known || strcasecmp(name.c_str(), pageName.c_str()) == 0;
        FUZZ_CHECK(known);
    }
    const auto body = platform::parseJSON(request->body);
    FUZZ_CHECK(body && body->is_array() && body->size() == 1 && (*body)[0]["latitude"].is_number());
}

// --- through the plug-in ------------------------------------------------------------------

using Action = void (WFBackgroundGeolocation::*)(const WFInvokedUrlCommand&);

std::string call(Action action, const Value& arguments) {
    Harness& h = harness();
    std::string id = "Geo" + std::to_string(++h.calls);
    ((*h.plugin).*action)(WFInvokedUrlCommand(arguments, id, "WFBackgroundGeolocation", "action"));
    return id;
}

fuzz::PluginAnswers& answers() {
    static fuzz::PluginAnswers* a = new fuzz::PluginAnswers(*harness().controller->engine());
    return *a;
}

// The page's addresses, each sent to the server here.
Value withLocalAddresses(Value arguments) {
    if (arguments.empty() || !arguments[0].is_object()) return arguments;
    for (const char* key : {"url", "syncUrl"}) {
        Value& address = arguments[0][key];
        if (address.is_string() && !address.get<std::string>().empty())
            address = harness().sink.url(std::string("/") + key);
    }
    return arguments;
}

void throughThePlugin(const Value& arguments, const Config& config) {
    Harness& h = harness();
    LocationManager& manager = *h.plugin->manager();
    platform::LocationManager& service = manager.platformManager();
    const Value options = arguments.empty() ? Value() : arguments[0];

    // Values no configuration sets: the checks below see only what this one set.
    service.setDistanceFilter(NAN);
    service.setDesiredAccuracy(NAN);
    const std::string configured = call(&WFBackgroundGeolocation::configure, withLocalAddresses(arguments));
    // The page's calls take effect in the order it makes them: once a later
    // one has answered, the configuration is applied in full, and no fix has
    // come since to change what it set.
    answers().await(call(&WFBackgroundGeolocation::isLocationEnabled, Value::array()));
    if (!options.is_object()) {
        const auto answer = answers().await(configured);
        FUZZ_CHECK(answer.status == int(WFResultStatus::Error) && answer.message == "Configuration error");
    } else {
        FUZZ_CHECK(service.distanceFilter() == static_cast<double>(config.distanceFilter));
        FUZZ_CHECK(service.desiredAccuracy() == static_cast<double>(config.decodeDesiredAccuracy()));
        FUZZ_CHECK(service.activityType() == config.decodeActivityType());
        FUZZ_CHECK(service.pausesLocationUpdatesAutomatically() == config.pauseLocationUpdates);
    }

    // The log is read while nothing writes to it (a reader that meets a
    // writer waits a while before it tries again).
    LGLog::flushLog();
    const auto log = answers().await(call(&WFBackgroundGeolocation::getLogEntries, arguments));
    FUZZ_CHECK(log.status == int(WFResultStatus::OK) && (log.message.is_null() || log.message.is_array()));
    const std::string mode = call(&WFBackgroundGeolocation::switchMode, arguments);
    const std::string deleted = call(&WFBackgroundGeolocation::deleteLocation, arguments);

    if (options.is_object()) {
        FUZZ_CHECK(answers().await(call(&WFBackgroundGeolocation::start, Value::array())).status ==
                   int(WFResultStatus::OK));
        // An accurate fix ends the acquisition at once, any other once it has
        // taken long enough.
        h.source->emit(fixAt(*h.clock, 0, 5));
        h.clock->advance(16s);
        h.source->emit(fixAt(*h.clock, 40, 5));
        const auto location = answers().await(configured);
        FUZZ_CHECK(location.status == int(WFResultStatus::OK) && location.keepCallback &&
                   location.message["latitude"].is_number());
        const double filter = service.distanceFilter();
        FUZZ_CHECK(std::isfinite(filter) && filter <= 1000);

        // In the background, the region around a fix taken long enough.
        call(&WFBackgroundGeolocation::finish, Value::array());
        call(&WFBackgroundGeolocation::switchMode, Value::array({0}));
        FUZZ_CHECK(platform::RunLoop::pumpUntil([&] { return manager.operationMode() == BACKGROUND_MODE; }, 20s));
        h.clock->advance(16s);
        h.source->emit(fixAt(*h.clock, 80, 5000));
        if (config.saveBatteryOnBackground)
            FUZZ_CHECK(platform::RunLoop::pumpUntil([&] { return manager.getStationaryLocation().has_value(); }, 20s));
        const auto stationary = answers().await(call(&WFBackgroundGeolocation::getStationaryLocation, Value::array()));
        if (config.saveBatteryOnBackground)
            FUZZ_CHECK(stationary.message["radius"] == static_cast<double>(config.stationaryRadius));
        else
            FUZZ_CHECK(stationary.message == false);

        FUZZ_CHECK(answers().await(call(&WFBackgroundGeolocation::stop, Value::array())).status ==
                   int(WFResultStatus::OK));
        call(&WFBackgroundGeolocation::deleteAllLocations, Value::array());
        for (int i = 0; i < 8 && (manager.holdsBackgroundTask() || manager.queuedLocations() > 0); ++i)
            manager.finish();
    }

    // The calls that take a number answer once with an error, or not at all.
    for (const auto& id : {mode, deleted}) {
        const auto sent = answers().to(id);
        FUZZ_CHECK(sent.size() <= 1);
        if (!sent.empty()) FUZZ_CHECK(sent[0].status == int(WFResultStatus::Error) && sent[0].message.is_string());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto input = platform::parseJSON(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!input) return 0;
    const Value arguments = input->is_array() ? *input : Value::array({*input});
    const Value options = arguments.empty() ? Value() : arguments[0];
    const Config config = Config::fromDictionary(options);
    checkConfig(options, config);
    checkHeadersOnTheWire(config);
    throughThePlugin(arguments, config);
    answers().clear();
    harness().sink.clear();
    // A page may ask for every entry of the log: one of the whole run would
    // take longer to read with every input.
    LGLog::flushLog();
    harness().pageLog->deleteOldLogEntries();
    return 0;
}
