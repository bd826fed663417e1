#include "nimbus/eventlog/NBEventlogAccountData.h"

#include <algorithm>
#include <atomic>

#include "nimbus/eventlog/NBEventlogLogger.h"

namespace wharf {

NBEventlogAccountData::NBEventlogAccountData(std::string accountLogDirectory)
    : accountLogDirectory_(std::move(accountLogDirectory)) {}

NBEventlogWriter& NBEventlogAccountData::writerForLogSource(int logSource) {
    auto& writer = logSourceToWriter_[logSource];
    if (!writer)
        writer = std::make_unique<NBEventlogWriter>(
            filenameWithCurrentTimeInDirectory(accountLogDirectory_ + "/" + std::to_string(logSource)));
    return *writer;
}

void NBEventlogAccountData::removeWriterForLogSource(int logSource) { logSourceToWriter_.erase(logSource); }

void NBEventlogAccountData::flushWriters() { logSourceToWriter_.clear(); }

std::string NBEventlogAccountData::filenameWithCurrentTimeInDirectory(const std::string& directory) {
    // Each name later than the one before: files made within one millisecond
    // would otherwise take the name of one trimmed meanwhile, and a newer
    // file would pass for an older one (files last written within one tick
    // of the file system's clock are ordered by name).
    static std::atomic<int64_t> last{0};
    const int64_t now = NBEventlogLogger::currentTimeMillis();
    int64_t previous = last.load();
    int64_t name = 0;
    do {
        name = std::max(now, previous + 1);
    } while (!last.compare_exchange_weak(previous, name));
    return directory + "/" + std::to_string(name);
}

}  // namespace wharf
