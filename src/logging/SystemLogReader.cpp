#include "logging/SystemLogReader.h"

#include <string.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

#include "platform/base/Error.h"
#include "platform/device/SystemLog.h"

namespace wharf {

namespace {

bool field(sd_journal* journal, const char* name, std::string* value) {
    const void* data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(journal, name, &data, &length) < 0) return false;
    std::size_t prefix = strlen(name) + 1;  // "NAME="
    if (length < prefix) return false;
    value->assign(static_cast<const char*>(data) + prefix, length - prefix);
    return true;
}

}  // namespace

std::unique_ptr<SystemLogReader> SystemLogReader::open(uint64_t since, std::string* error) {
    if (!platform::SystemLog::journalAvailable()) {
        if (error) *error = "no journal runs on this system";
        return nullptr;
    }
    std::unique_ptr<SystemLogReader> reader(new SystemLogReader);
    int rc = sd_journal_open(&reader->journal_, SD_JOURNAL_LOCAL_ONLY);
    if (rc < 0) {
        reader->journal_ = nullptr;
        if (error) *error = std::string("cannot open the journal: ") + platform::errnoText(-rc);
        return nullptr;
    }
    reader->fd_ = sd_journal_get_fd(reader->journal_);
    if (reader->fd_ < 0) {
        if (error) *error = std::string("cannot watch the journal: ") + platform::errnoText(-reader->fd_);
        return nullptr;
    }
    sd_journal_seek_realtime_usec(reader->journal_, since * 1000000ULL);
    return reader;
}

SystemLogReader::~SystemLogReader() {
    if (journal_) sd_journal_close(journal_);
}

std::vector<LGASLRecord> SystemLogReader::readNew() {
    std::vector<LGASLRecord> records;
    if (!journal_) return records;
    sd_journal_process(journal_);
    while (sd_journal_next(journal_) > 0) {
        LGASLRecord record;
        std::string value;
        if (field(journal_, "MESSAGE", &value)) record["Message"] = value;
        if (field(journal_, "PRIORITY", &value)) record["Level"] = value;
        if (field(journal_, "LGLOG", &value)) record["LGLog"] = value;
        if (field(journal_, "_PID", &value)) record["PID"] = value;
        if (field(journal_, "_TRANSPORT", &value)) record["Transport"] = value;
        uint64_t usec = 0;
        if (sd_journal_get_realtime_usec(journal_, &usec) >= 0) {
            record["Time"] = std::to_string(usec / 1000000);
            record["TimeNanoSec"] = std::to_string((usec % 1000000) * 1000);
        }
        char* cursor = nullptr;
        if (sd_journal_get_cursor(journal_, &cursor) >= 0 && cursor) {
            record["ASLMessageID"] = cursor;
            free(cursor);
        }
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace wharf
