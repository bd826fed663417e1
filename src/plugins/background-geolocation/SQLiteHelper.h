#pragma once
// Builds CREATE TABLE statements from column descriptions.
#include <string>
#include <vector>

#include "plugins/background-geolocation/SQLColumnType.h"

namespace wharf {

class SQLiteHelper {
public:
    // "CREATE TABLE IF NOT EXISTS <table> ( <name> <type> , ... );" with the
    // words joined by single spaces.
    static std::string createTableSqlStatement(const std::string& tableName,
                                               const std::vector<SQLColumnDescription>& columns);
};

}  // namespace wharf
