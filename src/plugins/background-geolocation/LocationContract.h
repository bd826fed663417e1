#pragma once
// The schema of the location table.
#include <string>

namespace wharf {

class LocationContract {
public:
    static constexpr const char* kTableName = "location";
    static constexpr const char* kTimeIndexName = "time_idx";

    static std::string createTableSQL();
    // The index that serves the oldest-first reads and the ring buffer's
    // search for the oldest row.
    static std::string createTimeIndexSQL();
};

}  // namespace wharf
