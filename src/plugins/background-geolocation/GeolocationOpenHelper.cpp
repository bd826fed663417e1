#include "plugins/background-geolocation/GeolocationOpenHelper.h"

#include "plugins/background-geolocation/LocationContract.h"

namespace wharf {

GeolocationOpenHelper::GeolocationOpenHelper() : SQLiteOpenHelper(std::string(kDatabaseName), kDatabaseVersion) {}

void GeolocationOpenHelper::drop(const std::string& tableName, SQLDatabase& db) {
    const std::string sql = "DROP TABLE IF EXISTS " + tableName;
    if (!db.executeStatements(sql)) logStatementFailure(sql, db);
}

void GeolocationOpenHelper::onConfigure(SQLDatabaseQueue& queue) {
    queue.inDatabase([](SQLDatabase* db) {
        if (db) db->setShouldCacheStatements(true);
    });
}

void GeolocationOpenHelper::onCreate(SQLDatabaseQueue& queue) {
    queue.inDatabase([&](SQLDatabase* db) {
        if (!db) return;
        drop(LocationContract::kTableName, *db);
        const std::string sql = LocationContract::createTableSQL() + LocationContract::createTimeIndexSQL();
        if (!db->executeStatements(sql)) logStatementFailure(sql, *db);
    });
}

void GeolocationOpenHelper::onUpgrade(SQLDatabaseQueue&, int64_t, int64_t) {}
void GeolocationOpenHelper::onDowngrade(SQLDatabaseQueue&, int64_t, int64_t) {}

}  // namespace wharf
