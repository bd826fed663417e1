#pragma once
// Column types of the small schema vocabulary the stores build their CREATE
// TABLE statements from, and the column description that pairs one with a name.
#include <cstdint>
#include <memory>
#include <string>

namespace wharf {

inline constexpr int64_t kSQLColumnTypeReal = 0;
inline constexpr int64_t kSQLColumnTypeInteger = 1;
inline constexpr int64_t kSQLColumnTypeText = 2;

class SQLColumnType {
public:
    explicit SQLColumnType(int64_t type) : type_(type) {}
    virtual ~SQLColumnType() = default;
    static std::shared_ptr<SQLColumnType> sqlColumnWithType(int64_t type);

    int64_t type() const { return type_; }
    // "INTEGER" for 1, "TEXT" for 2, "REAL" for anything else.
    virtual std::string asString() const;

private:
    int64_t type_;
};

class SQLPrimaryKeyColumnType : public SQLColumnType {
public:
    using SQLColumnType::SQLColumnType;
    static std::shared_ptr<SQLColumnType> sqlColumnWithType(int64_t type);
    std::string asString() const override;
};

class SQLPrimaryKeyAutoIncColumnType : public SQLColumnType {
public:
    using SQLColumnType::SQLColumnType;
    static std::shared_ptr<SQLColumnType> sqlColumnWithType(int64_t type);
    std::string asString() const override;
};

struct SQLColumnDescription {
    std::string name;
    std::shared_ptr<SQLColumnType> type;
};

}  // namespace wharf
