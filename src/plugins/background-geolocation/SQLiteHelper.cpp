#include "plugins/background-geolocation/SQLiteHelper.h"

namespace wharf {

std::string SQLiteHelper::createTableSqlStatement(const std::string& tableName,
                                                  const std::vector<SQLColumnDescription>& columns) {
    std::string sql = "CREATE TABLE IF NOT EXISTS " + tableName + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += " " + columns[i].name + " " + columns[i].type->asString();
        if (i + 1 < columns.size()) sql += " ,";
    }
    sql += " );";
    return sql;
}

}  // namespace wharf
