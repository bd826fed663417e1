#include "logging/LGASLLogCapture.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "logging/LGLog.h"
#include "platform/dispatch/Dispatch.h"

namespace wharf {

namespace {

struct CaptureState {
    std::mutex mutex;
    std::atomic<bool> capturing{false};
    std::atomic<uint64_t> captureLevel{LGLogLevelVerbose};
    // One registration at most: it outlives a stop() until the capture queue
    // drops it, and a start() in between reuses it.
    std::unique_ptr<SystemLogReader> reader;
    std::unique_ptr<platform::dispatch::FdSource> source;
    platform::dispatch::QueuePtr queue;
    LGASLLogCapture::ReaderFactory factory;
};

CaptureState& state() {
    static auto* s = new CaptureState;
    return *s;
}

bool parseInteger(const LGASLRecord& record, const char* key, long long* value) {
    auto it = record.find(key);
    if (it == record.end() || it->second.empty()) return false;
    char* end = nullptr;
    long long v = std::strtoll(it->second.c_str(), &end, 10);
    if (end == it->second.c_str()) return false;
    *value = v;
    return true;
}

}  // namespace

bool LGASLLogCapture::isCapturing() { return state().capturing.load(); }

uint64_t LGASLLogCapture::captureLevel() { return state().captureLevel.load(); }

void LGASLLogCapture::setCaptureLevel(uint64_t level) { state().captureLevel.store(level); }

void LGASLLogCapture::setReaderFactory(ReaderFactory factory) {
    CaptureState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.factory = std::move(factory);
}

bool LGASLLogCapture::start() {
    CaptureState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.capturing) return true;
    if (s.reader) {
        // The registration of the previous run is still there: keep it.
        s.capturing = true;
        return true;
    }
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto since = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
    std::string error;
    s.reader = s.factory ? s.factory(since, &error) : SystemLogReader::open(since, &error);
    if (!s.reader) {
        std::fprintf(stderr, "LGASLLogCapture: cannot start: %s\n", error.c_str());
        return false;
    }
    s.capturing = true;
    captureAslLogs();
    return true;
}

void LGASLLogCapture::stop() {
    CaptureState& s = state();
    s.capturing = false;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.queue) return;
    // Cancelled on the capture queue, after any handler run under way.
    s.queue->async([&s] {
        std::lock_guard<std::mutex> inner(s.mutex);
        if (s.capturing) return;
        if (s.source) s.source->cancel();
        s.source.reset();
        s.reader.reset();
    });
}

// Called with the state's mutex held.
void LGASLLogCapture::captureAslLogs() {
    CaptureState& s = state();
    // Handler runs are serialised on one queue: two wake-ups never read the
    // journal at the same time.
    if (!s.queue) s.queue = platform::dispatch::createSerialQueue("wharf.logging.aslCapture");
    s.source = std::make_unique<platform::dispatch::FdSource>(
        s.reader->fd(), platform::dispatch::FdSource::Condition::Readable, s.queue);
    s.source->setEventHandler([&s] {
        std::vector<LGASLRecord> records;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (!s.reader) return;
            records = s.reader->readNew();
            if (!s.capturing) {
                if (s.source) s.source->cancel();
                s.reader.reset();
                // The source itself is released by stop()'s task or the next start.
            }
        }
        for (const LGASLRecord& record : records) {
            if (matchesQuery(record)) aslMessageReceived(record);
        }
    });
    s.source->resume();
}

bool LGASLLogCapture::matchesQuery(const LGASLRecord& record) {
    long long level = 0;
    if (parseInteger(record, "Level", &level) && level > 7) return false;
    auto mark = record.find("LGLog");
    if (mark != record.end() && mark->second == "1") return false;
    // This process's own console output, collected by the journal: reading it
    // back would log every line again, and again.
    auto transport = record.find("Transport");
    long long pid = 0;
    if (transport != record.end() && transport->second == "stdout" && parseInteger(record, "PID", &pid) &&
        pid == static_cast<long long>(::getpid()))
        return false;
    return true;
}

void LGASLLogCapture::aslMessageReceived(const LGASLRecord& record) {
    auto text = record.find("Message");
    if (text == record.end()) return;

    uint64_t flag = LGLogFlagError;
    bool asynchronous = false;
    long long level = 0;
    auto levelField = record.find("Level");
    if (levelField != record.end()) {
        if (!parseInteger(record, "Level", &level)) level = -1;
        switch (level) {
        case 0:
        case 1:
        case 2: break;
        case 3: flag = LGLogFlagWarning, asynchronous = true; break;
        case 4: flag = LGLogFlagInfo, asynchronous = true; break;
        case 5: flag = LGLogFlagDebug, asynchronous = true; break;
        default: flag = LGLogFlagVerbose, asynchronous = true; break;
        }
    }
    uint64_t mask = captureLevel();
    if ((mask & flag) == 0) return;

    long long seconds = 0;
    double timestamp;
    if (parseInteger(record, "Time", &seconds)) {
        timestamp = static_cast<double>(seconds);
    } else {
        timestamp = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        timestamp = static_cast<double>(static_cast<long long>(timestamp));
    }
    long long nanos = 0;
    if (parseInteger(record, "TimeNanoSec", &nanos)) timestamp += static_cast<double>(nanos) / 1e9;

    LGLogMessage message(text->second, mask, flag, 0, "LGASLLogCapture", nullptr, 0, std::nullopt, 0, timestamp);
    LGLog::log(asynchronous, message);
}

}  // namespace wharf
