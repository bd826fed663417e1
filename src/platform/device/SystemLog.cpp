#include "platform/device/SystemLog.h"

#include <errno.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include <systemd/sd-journal.h>

namespace wharf::platform::SystemLog {

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
constexpr const char* kSyslogSocket = "/dev/log";

// journald accepts field names of upper-case letters, digits and '_', not
// starting with a digit or '_' (those are its own trusted fields), at most 64 long.
bool validFieldName(const std::string& key) {
    if (key.empty() || key.size() > 64 || key[0] == '_' || std::isdigit(static_cast<unsigned char>(key[0])))
        return false;
    return std::all_of(key.begin(), key.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; });
}

void writeJournal(int priority, std::string_view message, const Fields& fields) {
    std::vector<std::string> items;
    items.reserve(fields.size() + 3);
    items.push_back("MESSAGE=" + std::string(message));
    items.push_back("PRIORITY=" + std::to_string(priority));
    bool hasIdentifier = false;
    for (const auto& [key, value] : fields) {
        if (!validFieldName(key) || key == "MESSAGE" || key == "PRIORITY") continue;
        if (key == "SYSLOG_IDENTIFIER") hasIdentifier = true;
        items.push_back(key + "=" + value);
    }
    if (!hasIdentifier) items.push_back(std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name);
    std::vector<iovec> iov;
    iov.reserve(items.size());
    for (auto& item : items) iov.push_back(iovec{item.data(), item.size()});
    sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
}

void writeSyslog(int priority, std::string_view message) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(program_invocation_short_name, LOG_PID, LOG_USER); });
    syslog(LOG_USER | priority, "%.*s", static_cast<int>(std::min<std::size_t>(message.size(), 1 << 20)),
           message.data());
}

}  // namespace

bool journalAvailable() { return ::access(kJournalSocket, F_OK) == 0; }

void write(int priority, std::string_view message, const Fields& fields) {
    priority = std::clamp(priority, 0, 7);
    if (journalAvailable()) {
        writeJournal(priority, message, fields);
    } else if (::access(kSyslogSocket, F_OK) == 0) {
        writeSyslog(priority, message);
    }
    // Neither runs here: the system log is silently absent.
}

}  // namespace wharf::platform::SystemLog
