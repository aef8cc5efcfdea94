// Helpers shared by the tests: recording message boxes, answering modal windows, and
// throwaway databases.
#pragma once

#include "zelstats/gui/Dialogs.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zel::test {

// Answers every message box with OK (or No for a question) and every modal window by closing
// it at once, so that a test that did not expect one fails instead of hanging.
void InstallDefaultAnswers();

// Records every message box shown while it lives and answers it: OK, or `answer` for a
// Yes/No question.
class MessageLog {
public:
    explicit MessageLog(TModalResult answer = TModalResult::mrNo);
    ~MessageLog();
    const std::vector<MessageRequest>& Messages() const { return messages_; }
    std::vector<std::string> Texts() const;
    void Clear() { messages_.clear(); }

private:
    std::vector<MessageRequest> messages_;
    MessageHandler previous_;
};

// Runs `inspect` on every modal window shown while it lives, in place of the modal loop.
class ModalInspector {
public:
    explicit ModalInspector(std::function<void(QDialog&)> inspect);
    ~ModalInspector();
    int Count() const { return count_; }

private:
    int count_ = 0;
    ModalHandler previous_;
};

// A database on one backend, built from SQL statements written in the portable subset that
// SQLite and PostgreSQL share (DOUBLE PRECISION, INTEGER, SMALLINT, VARCHAR, DATE, BOOLEAN).
class TestDatabase {
public:
    virtual ~TestDatabase() = default;
    // The DatabaseName that components use to reach it.
    virtual const std::string& Name() const = 0;
    virtual void Execute(const std::string& sql) = 0;
};

// A throwaway SQLite database file, removed with the object.
std::unique_ptr<TestDatabase> MakeSqliteDatabase();
// A throwaway PostgreSQL database on the server named by ZELSTATS_TEST_PG (a connection URI),
// dropped with the object; null when no server is reachable.
std::unique_ptr<TestDatabase> MakePgDatabase();
// Why PostgreSQL tests are skipped, or empty when a server is reachable.
std::string PgUnavailableReason();
// The first column of every row that `sql` gives on the PostgreSQL server at `uri`, as text;
// throws with the server's message.
std::vector<std::string> PgColumn(const std::string& uri, const std::string& sql);
// Why the tests on a sharded PostgreSQL setup are skipped, or empty when
// ZELSTATS_TEST_PG_SHARDED names the coordinator and ZELSTATS_TEST_PG_SHARDS its shards
// (scripts/with-pg-shards.sh).
std::string ShardsUnavailableReason();
// A throwaway MariaDB database on the server named by ZELSTATS_TEST_MYSQL (a mariadb:// URL),
// dropped with the object; null when no server is reachable.
std::unique_ptr<TestDatabase> MakeMysqlDatabase();
std::string MysqlUnavailableReason();
// How many statements that begin with `prefix` the MariaDB test server runs for other
// connections; -1 when it cannot be asked.
int MysqlStatementsRunning(const std::string& prefix);
// A throwaway SQLite file reached through an application's Qt connection (driver QSQLITE);
// its Name() names that connection. Null when Qt's SQLite driver is not installed.
std::unique_ptr<TestDatabase> MakeQtSqliteDatabase();
std::string QtSqliteUnavailableReason();

// The backends a suite runs on: "sqlite" always; "postgres", "mariadb" (through mariadb://
// URLs) and "qtsqlite" (an application's Qt connection) always listed, their tests skipping
// with the reason when the backend is not reachable, so that a missing server is visible.
std::vector<std::string> Backends();
// The backends another program (the zelstat command line) can reach by a database name:
// every one but "qtsqlite", whose connection lives in the test's own process.
std::vector<std::string> ProgramBackends();
// A throwaway database on the named backend; null (skip) when it is not reachable.
std::unique_ptr<TestDatabase> MakeDatabase(const std::string& backend);
// Why the named backend's tests are skipped.
std::string UnavailableReason(const std::string& backend);

// A fixture whose tests run once per backend (instantiate it with Backends()); a backend that
// is not reachable skips its tests with the reason.
class BackendTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    // A column name as the backend reports it: PostgreSQL folds unquoted names to lower case.
    std::string FieldName(const std::string& upper) const;

    std::unique_ptr<TestDatabase> db_;
};

// Creates a table `name` with one DOUBLE PRECISION column `column` holding the values, in
// order; NaN stands for NULL.
void CreateValueTable(TestDatabase& db, const std::string& name, const std::string& column,
                      const std::vector<double>& values);

} // namespace zel::test
