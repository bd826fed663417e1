#include "nimbus/eventlog/NBEventlogAccountData.h"

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
    return directory + "/" + std::to_string(NBEventlogLogger::currentTimeMillis());
}

}  // namespace wharf
