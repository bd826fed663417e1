#include "plugins/background-geolocation/LocationContract.h"

#include "plugins/background-geolocation/SQLiteHelper.h"

namespace wharf {

std::string LocationContract::createTableSQL() {
    auto column = [](const char* name, int64_t type) {
        return SQLColumnDescription{name, SQLColumnType::sqlColumnWithType(type)};
    };
    return SQLiteHelper::createTableSqlStatement(
        kTableName, {{"id", SQLPrimaryKeyAutoIncColumnType::sqlColumnWithType(kSQLColumnTypeInteger)},
                     column("time", kSQLColumnTypeReal),
                     column("accuracy", kSQLColumnTypeReal),
                     column("speed", kSQLColumnTypeReal),
                     column("bearing", kSQLColumnTypeReal),
                     column("altitude", kSQLColumnTypeReal),
                     column("latitude", kSQLColumnTypeReal),
                     column("longitude", kSQLColumnTypeReal),
                     column("provider", kSQLColumnTypeText),
                     column("service_provider", kSQLColumnTypeText),
                     column("valid", kSQLColumnTypeInteger)});
}

std::string LocationContract::createTimeIndexSQL() { return "CREATE INDEX time_idx ON location (time);"; }

}  // namespace wharf
