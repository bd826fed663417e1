#pragma once
// Reads records back from the system log (the journal), newest after a given
// time, waking up through the journal's descriptor.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

typedef struct sd_journal sd_journal;

namespace wharf {

// One record under the system log's key names: "Message", "Level", "Time",
// "TimeNanoSec", "ASLMessageID", "LGLog", plus "PID" and "Transport" of the
// writer. Absent fields are absent keys.
using LGASLRecord = std::map<std::string, std::string>;

class SystemLogReader {
public:
    // Null, with the reason in `error`, where no journal can be read.
    static std::unique_ptr<SystemLogReader> open(uint64_t sinceSecondsSince1970, std::string* error);
    virtual ~SystemLogReader();
    SystemLogReader(const SystemLogReader&) = delete;
    SystemLogReader& operator=(const SystemLogReader&) = delete;

    // Becomes readable when the journal changed.
    virtual int fd() const { return fd_; }
    // Records added since the last call (or since the start time).
    virtual std::vector<LGASLRecord> readNew();

protected:
    SystemLogReader() = default;

private:
    sd_journal* journal_ = nullptr;
    int fd_ = -1;
};

}  // namespace wharf
