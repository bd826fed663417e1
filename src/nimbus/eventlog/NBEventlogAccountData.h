#pragma once
// The open event files of one account, one writer per log source.
#include <map>
#include <memory>
#include <string>

#include "nimbus/eventlog/NBEventlogWriter.h"

namespace wharf {

class NBEventlogAccountData {
public:
    explicit NBEventlogAccountData(std::string accountLogDirectory);

    // The open writer of the log source, a new one (a new file named after
    // the current time) when there is none.
    NBEventlogWriter& writerForLogSource(int logSource);
    void removeWriterForLogSource(int logSource);
    // Closes every writer and forgets them all.
    void flushWriters();
    // directory + "/" + the current time in milliseconds since 1970.
    static std::string filenameWithCurrentTimeInDirectory(const std::string& directory);

    const std::string& accountLogDirectory() const { return accountLogDirectory_; }
    const std::map<int, std::unique_ptr<NBEventlogWriter>>& logSourceToWriter() const { return logSourceToWriter_; }

private:
    std::string accountLogDirectory_;
    std::map<int, std::unique_ptr<NBEventlogWriter>> logSourceToWriter_;
};

}  // namespace wharf
