#pragma once
// The system log: journald (sd_journal_send) with syslog(3) as the fallback;
// silently absent where neither runs. Reading back goes through sd_journal.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wharf::platform::SystemLog {

// Extra journal fields: KEY (upper-case letters, digits, '_') → value.
using Fields = std::vector<std::pair<std::string, std::string>>;

// syslog priorities 0 (emergency) … 7 (debug).
void write(int priority, std::string_view message, const Fields& fields = {});
// True when a journal socket is there to write to.
bool journalAvailable();

}  // namespace wharf::platform::SystemLog
