#pragma once
// One prepared SQLite statement, owned so that a connection can cache and reuse it.
#include <cstdint>
#include <memory>
#include <string>

#include <sqlite3.h>

namespace wharf {

class SQLStatement {
public:
    explicit SQLStatement(sqlite3_stmt* statement = nullptr) : statement_(statement) {}
    ~SQLStatement();
    SQLStatement(const SQLStatement&) = delete;
    SQLStatement& operator=(const SQLStatement&) = delete;

    // Finalises the handle (if any) and forgets it; no longer in use.
    void close();
    // Rewinds the handle so it can be stepped again (bindings kept); no longer in use.
    void reset();

    sqlite3_stmt* statement() const { return statement_; }
    void setStatement(sqlite3_stmt* statement) { statement_ = statement; }
    const std::string& query() const;
    void setQuery(std::string query) { query_ = std::make_shared<const std::string>(std::move(query)); }
    // The text shared with the cursors over this statement (nullptr when unset).
    const std::shared_ptr<const std::string>& sharedQuery() const { return query_; }
    int64_t useCount() const { return useCount_; }
    void setUseCount(int64_t count) { useCount_ = count; }
    bool inUse() const { return inUse_; }
    void setInUse(bool inUse) { inUse_ = inUse; }

    // "<SQLStatement: 0x…> <n> hit(s) for query <text>"
    std::string description() const;

private:
    sqlite3_stmt* statement_ = nullptr;
    std::shared_ptr<const std::string> query_;
    int64_t useCount_ = 0;
    bool inUse_ = false;
};

}  // namespace wharf
