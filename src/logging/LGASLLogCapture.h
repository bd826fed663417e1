#pragma once
// Reads records that any process writes to the system log and feeds them
// into LGLog as messages. Skips what LGASLLogger wrote and this process's own
// console output, which the journal also collects.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "logging/SystemLogReader.h"

namespace wharf {

class LGASLLogCapture {
public:
    // False (and a line on stderr) when the system log cannot be read.
    static bool start();
    static void stop();
    static bool isCapturing();
    static uint64_t captureLevel();
    static void setCaptureLevel(uint64_t level);

    // Where records come from: the journal unless replaced (null restores it).
    using ReaderFactory = std::function<std::unique_ptr<SystemLogReader>(uint64_t since, std::string* error)>;
    static void setReaderFactory(ReaderFactory factory);

    // Whether a record passes the capture's query (level at most 7, not
    // written by this framework, not this process's stdout/stderr).
    static bool matchesQuery(const LGASLRecord& record);
    // Turns one record into a message and logs it.
    static void aslMessageReceived(const LGASLRecord& record);

private:
    static void captureAslLogs();
};

}  // namespace wharf
