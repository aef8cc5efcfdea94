#include "tests/TestSupport.h"

#include "zelstats/data/Driver.h"

#include <QDialog>
#include <QSqlDatabase>
#include <QSqlError>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace zel::test {

void InstallDefaultAnswers()
{
    SetMessageHandler([](const MessageRequest& request) {
        return (request.buttons & mbYes) ? TModalResult::mrNo : TModalResult::mrOk;
    });
    SetModalHandler([](QDialog&) { return int(QDialog::Rejected); });
}

MessageLog::MessageLog(TModalResult answer)
{
    previous_ = SetMessageHandler([this, answer](const MessageRequest& request) {
        messages_.push_back(request);
        return (request.buttons & mbYes) ? answer : TModalResult::mrOk;
    });
}

MessageLog::~MessageLog() { SetMessageHandler(previous_); }

std::vector<std::string> MessageLog::Texts() const
{
    std::vector<std::string> texts;
    for (const auto& m : messages_)
        texts.push_back(m.text);
    return texts;
}

ModalInspector::ModalInspector(std::function<void(QDialog&)> inspect)
{
    previous_ = SetModalHandler([this, inspect = std::move(inspect)](QDialog& dialog) {
        ++count_;
        inspect(dialog);
        return int(QDialog::Accepted);
    });
}

ModalInspector::~ModalInspector() { SetModalHandler(previous_); }

namespace {

class SqliteDatabase : public TestDatabase {
public:
    SqliteDatabase()
    {
        char pattern[] = "/tmp/zelstats-test-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0)
            throw std::runtime_error("cannot create a temporary database file");
        close(fd);
        path_ = pattern;
        if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path_);
        // Readers then never block the test's own writes, as in an application that shares
        // its database file with open datasets.
        Execute("PRAGMA journal_mode = WAL");
    }
    ~SqliteDatabase() override
    {
        sqlite3_close(db_);
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(path_ + suffix, ignored);
    }
    const std::string& Name() const override { return path_; }
    void Execute(const std::string& sql) override
    {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw std::runtime_error("test database: " + message + " in: " + sql);
        }
    }

private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

// The same kind of file, written through SQLite directly and read by the components through
// an application's QSQLITE connection to it.
class QtSqliteDatabase : public TestDatabase {
public:
    QtSqliteDatabase()
    {
        static int counter = 0;
        connection_ = QStringLiteral("zelstats-test-qtsqlite-%1").arg(++counter);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
        db.setDatabaseName(QString::fromStdString(file_.Name()));
        if (!db.open())
            throw std::runtime_error("test database: " + db.lastError().text().toStdString());
        name_ = QtConnectionDatabaseName(connection_);
    }
    ~QtSqliteDatabase() override
    {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
    const std::string& Name() const override { return name_; }
    void Execute(const std::string& sql) override { file_.Execute(sql); }

private:
    SqliteDatabase file_;
    QString connection_;
    std::string name_;
};

} // namespace

std::unique_ptr<TestDatabase> MakeSqliteDatabase() { return std::make_unique<SqliteDatabase>(); }

std::string QtSqliteUnavailableReason()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return "Qt's QSQLITE driver is not installed (libqt6sql6-sqlite)";
    return std::string();
}

std::unique_ptr<TestDatabase> MakeQtSqliteDatabase()
{
    if (!QtSqliteUnavailableReason().empty())
        return nullptr;
    return std::make_unique<QtSqliteDatabase>();
}

std::vector<std::string> Backends() { return {"sqlite", "postgres", "mariadb", "qtsqlite"}; }

std::vector<std::string> ProgramBackends() { return {"sqlite", "postgres", "mariadb"}; }

std::unique_ptr<TestDatabase> MakeDatabase(const std::string& backend)
{
    if (backend == "sqlite")
        return MakeSqliteDatabase();
    if (backend == "mariadb")
        return MakeMysqlDatabase();
    if (backend == "qtsqlite")
        return MakeQtSqliteDatabase();
    return MakePgDatabase();
}

std::string UnavailableReason(const std::string& backend)
{
    if (backend == "mariadb")
        return MysqlUnavailableReason();
    if (backend == "qtsqlite")
        return QtSqliteUnavailableReason();
    return PgUnavailableReason();
}

void BackendTest::SetUp()
{
    db_ = MakeDatabase(GetParam());
    if (db_ == nullptr)
        GTEST_SKIP() << UnavailableReason(GetParam());
}

std::string BackendTest::FieldName(const std::string& upper) const
{
    if (GetParam() != "postgres") // the others report names as they were written
        return upper;
    std::string lower = upper;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

void CreateValueTable(TestDatabase& db, const std::string& name, const std::string& column,
                      const std::vector<double>& values)
{
    db.Execute("CREATE TABLE " + name + " (ID INTEGER, " + column + " DOUBLE PRECISION)");
    const std::size_t batch = 500;
    for (std::size_t start = 0; start < values.size(); start += batch) {
        std::ostringstream sql;
        sql.precision(17);
        sql << "INSERT INTO " << name << " (ID, " << column << ") VALUES ";
        for (std::size_t i = start; i < std::min(values.size(), start + batch); ++i) {
            sql << (i == start ? "" : ", ") << "(" << (i + 1) << ", ";
            if (std::isnan(values[i]))
                sql << "NULL)";
            else
                sql << values[i] << ")";
        }
        db.Execute(sql.str());
    }
}

} // namespace zel::test
