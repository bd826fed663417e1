#include <gtest/gtest.h>

#include "platform/base/Log.h"
#include "sqldb/SQLDatabase.h"

using namespace wharf;
using platform::Bytes;
using platform::Error;
using platform::LogCapture;
using platform::Value;

namespace {

class SQLResultSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate("create table t (Id integer, Score real, Name text, Raw blob, Empty)"));
        ASSERT_TRUE(db.executeUpdate("insert into t values (?, ?, ?, ?, ?)", 7, 2.5, "seven", Bytes{1, 2}, nullptr));
    }
    SQLDatabase db;
};

TEST_F(SQLResultSetTest, ReadsByIndexAndByNameWithoutCase) {
    auto rs = db.executeQuery("select * from t");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->columnCount(), 5);
    EXPECT_EQ(rs->columnNameForIndex(2), "Name");
    EXPECT_EQ(rs->columnIndexForName("nAmE"), 2);
    EXPECT_EQ(rs->intForColumn("ID"), 7);
    EXPECT_EQ(rs->doubleForColumn("score"), 2.5);
    EXPECT_EQ(rs->stringForColumn("NAME"), "seven");
    EXPECT_STREQ(rs->UTF8StringForColumnName("name"), "seven");
    EXPECT_EQ(rs->dataForColumn("raw"), (Bytes{1, 2}));
    auto noCopy = rs->dataNoCopyForColumnIndex(3);
    ASSERT_TRUE(noCopy);
    EXPECT_EQ(Bytes(noCopy->begin(), noCopy->end()), (Bytes{1, 2}));
    EXPECT_TRUE(rs->columnIsNull("empty"));
    EXPECT_FALSE(rs->columnIsNull("name"));

    // NULL, integer and REAL columns as objects.
    EXPECT_TRUE((*rs)["Empty"].is_null());
    EXPECT_TRUE((*rs)[0].is_number_integer());
    EXPECT_TRUE((*rs)[1].is_number_float());
    EXPECT_EQ(rs->stringForColumnIndex(4), std::nullopt);
    EXPECT_EQ(rs->UTF8StringForColumnIndex(4), nullptr);
    EXPECT_EQ(rs->dateForColumnIndex(4), std::nullopt);
    EXPECT_EQ(rs->intForColumnIndex(4), 0);

    EXPECT_EQ(
        rs->resultDictionary(),
        (Value{
            {"Id", 7}, {"Score", 2.5}, {"Name", "seven"}, {"Raw", platform::bytesValue({1, 2})}, {"Empty", nullptr}}));
    EXPECT_EQ((*rs->resultDict())["name"], Value("seven"));
    std::vector<std::string> set;
    rs->kvcMagic([&](const std::string& column, const std::string& text) { set.push_back(column + "=" + text); });
    EXPECT_EQ(set, (std::vector<std::string>{"Id=7", "Score=2.5", "Name=seven", "Raw=\x01\x02"}));
}

TEST_F(SQLResultSetTest, OutOfRangeAndUnknownColumnsAnswerEmpty) {
    LogCapture capture;
    auto rs = db.executeQuery("select Id, Name from t");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumnIndex(2), 0);
    EXPECT_EQ(rs->stringForColumnIndex(99), std::nullopt);
    EXPECT_EQ(rs->dataForColumnIndex(2), std::nullopt);
    EXPECT_TRUE(rs->objectForColumnIndex(-3).is_null());
    EXPECT_EQ(rs->columnNameForIndex(5), "");
    EXPECT_TRUE(capture.contains("Warning: column index 2 is out of range (2 columns)"));
    EXPECT_EQ(rs->intForColumn("Missing"), 0);
    EXPECT_EQ(rs->stringForColumn("Missing"), std::nullopt);
    EXPECT_EQ(capture.count("Warning: I could not find the column named 'missing'."), 2u);
    // Two columns of one name: the later wins.
    auto twice = db.executeQuery("select 1 as x, 2 as X");
    ASSERT_TRUE(twice && twice->next());
    EXPECT_EQ(twice->intForColumn("x"), 2);
}

TEST_F(SQLResultSetTest, CursorClosesItselfAtTheEnd) {
    auto rs = db.executeQuery("select * from t where Id = ?", 99);
    ASSERT_TRUE(rs);
    LogCapture capture;
    EXPECT_EQ(rs->resultDictionary(), std::nullopt);  // not stepped yet
    EXPECT_TRUE(capture.contains("Warning: There seem to be no columns in this set."));
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(rs->statement(), nullptr);
    EXPECT_FALSE(db.hasOpenResultSets());
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(rs->resultDictionary(), std::nullopt);
    EXPECT_EQ(rs->intForColumnIndex(0), 0);

    auto one = db.executeQuery("select Id from t");
    ASSERT_TRUE(one && one->next());
    EXPECT_TRUE(one->hasAnotherRow());
    one.reset();  // released: closed and forgotten by the connection
    EXPECT_FALSE(db.hasOpenResultSets());
}

TEST_F(SQLResultSetTest, StepFailureClosesWithAnError) {
    db.makeFunctionNamed("fail", 0, [](sqlite3_context* context, int, sqlite3_value**) {
        sqlite3_result_error(context, "no good", -1);
    });
    auto rs = db.executeQuery("select fail()");
    ASSERT_TRUE(rs);
    LogCapture capture;
    Error error;
    EXPECT_FALSE(rs->nextWithError(&error));
    EXPECT_EQ(error.code, SQLITE_ERROR);
    EXPECT_EQ(error.localizedDescription(), "no good");
    EXPECT_TRUE(capture.contains("Error calling sqlite3_step (1: no good) rs"));
    EXPECT_EQ(rs->statement(), nullptr);
}

TEST_F(SQLResultSetTest, CursorWhoseStatementWasFinalisedClosesItself) {
    db.setShouldCacheStatements(true);
    auto rs = db.executeQuery("select Id from t");
    ASSERT_TRUE(rs && rs->next());
    db.clearCachedStatements();  // finalises the statement this cursor steps
    LogCapture capture;
    Error error;
    EXPECT_FALSE(rs->nextWithError(&error));
    EXPECT_EQ(error.code, SQLITE_MISUSE);
    EXPECT_EQ(rs->statement(), nullptr);
    EXPECT_FALSE(db.hasOpenResultSets());
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(capture.count("Error calling sqlite3_step"), 1u);  // once closed, no further step is tried
}

TEST_F(SQLResultSetTest, AStatementServesOneCursorAtATime) {
    auto statement = std::make_shared<SQLStatement>();
    auto rs = SQLResultSet::resultSetWithStatement(statement, nullptr);
    EXPECT_TRUE(statement->inUse());
    EXPECT_THROW(SQLResultSet::resultSetWithStatement(statement, nullptr), SQLDBAssertionFailure);
    rs->close();
    EXPECT_FALSE(statement->inUse());
}

TEST_F(SQLResultSetTest, UseWhileInUseIsRefused) {
    // A function that queries the same connection while an update runs.
    bool refused = false;
    db.makeFunctionNamed("nested", 0, [&](sqlite3_context* context, int, sqlite3_value**) {
        refused = db.executeQuery("select 1") == nullptr && !db.executeUpdate("select 1") && db.lastInsertRowId() == 0;
        sqlite3_result_int(context, 1);
    });
    LogCapture capture;
    EXPECT_TRUE(db.executeUpdate("insert into t (Id) values (nested())"));
    EXPECT_TRUE(refused);
    EXPECT_TRUE(capture.contains("is currently in use."));
}

}  // namespace
