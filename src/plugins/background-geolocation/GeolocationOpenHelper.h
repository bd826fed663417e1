#pragma once
// Opens "wharf_bg_geolocation.db" (schema version 1) and builds the location
// table with its time index on first use.
#include <string>

#include "plugins/background-geolocation/SQLiteOpenHelper.h"

namespace wharf {

class GeolocationOpenHelper : public SQLiteOpenHelper {
public:
    static constexpr const char* kDatabaseName = "wharf_bg_geolocation.db";
    static constexpr int64_t kDatabaseVersion = 1;

    GeolocationOpenHelper();

    // "DROP TABLE IF EXISTS <table>".
    void drop(const std::string& tableName, SQLDatabase& db);

protected:
    // Every statement of the store runs again and again: keep them prepared.
    void onConfigure(SQLDatabaseQueue& queue) override;
    void onCreate(SQLDatabaseQueue& queue) override;
    void onUpgrade(SQLDatabaseQueue& queue, int64_t oldVersion, int64_t newVersion) override;
    void onDowngrade(SQLDatabaseQueue& queue, int64_t oldVersion, int64_t newVersion) override;
};

}  // namespace wharf
