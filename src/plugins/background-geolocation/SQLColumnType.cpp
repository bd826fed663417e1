#include "plugins/background-geolocation/SQLColumnType.h"

namespace wharf {

std::shared_ptr<SQLColumnType> SQLColumnType::sqlColumnWithType(int64_t type) {
    return std::make_shared<SQLColumnType>(type);
}

std::string SQLColumnType::asString() const {
    switch (type_) {
    case kSQLColumnTypeInteger: return "INTEGER";
    case kSQLColumnTypeText: return "TEXT";
    default: return "REAL";
    }
}

std::shared_ptr<SQLColumnType> SQLPrimaryKeyColumnType::sqlColumnWithType(int64_t type) {
    return std::make_shared<SQLPrimaryKeyColumnType>(type);
}

std::string SQLPrimaryKeyColumnType::asString() const { return SQLColumnType::asString() + " PRIMARY KEY"; }

std::shared_ptr<SQLColumnType> SQLPrimaryKeyAutoIncColumnType::sqlColumnWithType(int64_t type) {
    return std::make_shared<SQLPrimaryKeyAutoIncColumnType>(type);
}

std::string SQLPrimaryKeyAutoIncColumnType::asString() const {
    return SQLColumnType::asString() + " PRIMARY KEY AUTOINCREMENT";
}

}  // namespace wharf
