#include "plugins/background-geolocation/LogReader.h"

#include "platform/base/Log.h"
#include "sqldb/SQLDatabase.h"

namespace wharf {

std::optional<platform::Value> LogReader::getEntries(const std::string& path, int64_t limit) {
    SQLDatabase db(path);
    if (!db.openWithFlags(SQLITE_OPEN_READONLY)) {
        platform::log("%s: Failed opening database!", "LogReader");
        return std::nullopt;
    }
    platform::Value entries = platform::Value::array();
    const std::string sql = "SELECT context,level,message,timestamp FROM logs ORDER BY timestamp DESC LIMIT " +
                            std::to_string(limit > 0 ? limit : kDefaultLimit);
    if (auto rs = db.executeQuery(sql)) {
        while (rs->next()) {
            platform::Value entry = platform::Value::object();
            entry["context"] = rs->longForColumnIndex(0);
            entry["level"] = rs->intForColumnIndex(1);
            auto message = rs->stringForColumnIndex(2);
            entry["message"] = message ? platform::Value(*message) : platform::Value();
            // 64-bit: whole seconds since 1970 outgrow 32 bits in 2038.
            entry["timestamp"] = platform::integerValue(platform::Value(rs->doubleForColumnIndex(3)));
            entries.push_back(std::move(entry));
        }
        rs->close();
    }
    db.close();
    return entries;
}

int64_t LogReader::limitFromArgument(const platform::Value& argument) {
    return argument.is_number() ? platform::integerValue(argument) : 0;
}

}  // namespace wharf
