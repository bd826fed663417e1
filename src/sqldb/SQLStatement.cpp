#include "sqldb/SQLStatement.h"

#include <cstdio>

namespace wharf {

SQLStatement::~SQLStatement() { close(); }

const std::string& SQLStatement::query() const {
    static const std::string empty;
    return query_ ? *query_ : empty;
}

void SQLStatement::close() {
    if (statement_) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
    }
    inUse_ = false;
}

void SQLStatement::reset() {
    if (statement_) sqlite3_reset(statement_);
    inUse_ = false;
}

std::string SQLStatement::description() const {
    char head[64];
    std::snprintf(head, sizeof head, "<SQLStatement: %p>", static_cast<const void*>(this));
    return std::string(head) + " " + std::to_string(useCount_) + " hit(s) for query " + query();
}

}  // namespace wharf
