// Throwaway MariaDB databases for the tests: ZELSTATS_TEST_MYSQL names a server (a
// mariadb:// URL; scripts/with-mariadb.sh starts one), and every TestDatabase is a fresh
// database on it, dropped again with the object.
#include "tests/TestSupport.h"

#include <QUrl>

#include <mysql.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace zel::test {

namespace {

struct MysqlDeleter {
    void operator()(MYSQL* mysql) const { mysql_close(mysql); }
};
using Connection = std::unique_ptr<MYSQL, MysqlDeleter>;

const char* ServerUrl() { return std::getenv("ZELSTATS_TEST_MYSQL"); }

// A connection for the tests' own statements. ANSI_QUOTES lets the shared test SQL quote
// names with double quotes, as SQLite and PostgreSQL do; datasets never see these settings.
Connection Connect(const std::string& url, const std::string& database, std::string& error)
{
    const QUrl u(QString::fromStdString(url));
    Connection conn(mysql_init(nullptr));
    const unsigned timeout = 5;
    mysql_options(conn.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    const std::string host = u.host().toStdString();
    const std::string user = u.userName().toStdString();
    const std::string password = u.password().toStdString();
    if (mysql_real_connect(conn.get(), host.c_str(), user.c_str(), password.c_str(),
                           database.empty() ? nullptr : database.c_str(),
                           static_cast<unsigned>(u.port(3306)), nullptr, 0)
        == nullptr) {
        error = mysql_error(conn.get());
        return nullptr;
    }
    mysql_query(conn.get(), "SET SESSION sql_mode = CONCAT(@@sql_mode, ',ANSI_QUOTES')");
    // The shared test SQL fills tables with recursive queries of many thousand steps.
    mysql_query(conn.get(), "SET SESSION max_recursive_iterations = 100000000");
    return conn;
}

void Exec(MYSQL* conn, const std::string& sql)
{
    if (mysql_real_query(conn, sql.data(), sql.size()) != 0)
        throw std::runtime_error("test database: " + std::string(mysql_error(conn)) + " in: " + sql);
    mysql_free_result(mysql_store_result(conn));
}

// Asked once per program: a server that is down would otherwise cost a timeout per test.
const std::string& Unavailable()
{
    static const std::string reason = [] {
        const char* url = ServerUrl();
        if (url == nullptr || *url == '\0')
            return std::string("ZELSTATS_TEST_MYSQL is not set; run the tests through "
                               "scripts/with-mariadb.sh to include MariaDB");
        std::string error;
        if (Connect(url, "", error) == nullptr)
            return "the MariaDB server named by ZELSTATS_TEST_MYSQL is unreachable: " + error;
        return std::string();
    }();
    return reason;
}

class MysqlDatabase : public TestDatabase {
public:
    MysqlDatabase() : server_(ServerUrl())
    {
        static std::atomic<int> counter{0};
        std::random_device random;
        name_ = "zelstats_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter)
                + "_" + std::to_string(random() % 1000000);
        std::string error;
        Connection admin = Connect(server_, "", error);
        if (admin == nullptr)
            throw std::runtime_error("test database: " + error);
        Exec(admin.get(), "CREATE DATABASE " + name_);
        QUrl url(QString::fromStdString(server_));
        url.setPath(QString::fromStdString("/" + name_));
        url_ = url.toString().toStdString();
        conn_ = Connect(server_, name_, error);
        if (conn_ == nullptr) {
            Drop();
            throw std::runtime_error("test database: " + error);
        }
    }

    ~MysqlDatabase() override
    {
        conn_.reset();
        Drop();
    }

    const std::string& Name() const override { return url_; }
    void Execute(const std::string& sql) override { Exec(conn_.get(), sql); }

private:
    void Drop() noexcept
    {
        std::string error;
        Connection admin = Connect(server_, "", error);
        if (admin != nullptr)
            mysql_query(admin.get(), ("DROP DATABASE IF EXISTS " + name_).c_str());
    }

    std::string server_;
    std::string name_;
    std::string url_;
    Connection conn_;
};

} // namespace

std::unique_ptr<TestDatabase> MakeMysqlDatabase()
{
    if (!Unavailable().empty())
        return nullptr;
    return std::make_unique<MysqlDatabase>();
}

std::string MysqlUnavailableReason() { return Unavailable(); }

int MysqlStatementsRunning(const std::string& prefix)
{
    std::string error;
    Connection conn = Connect(ServerUrl(), "", error);
    if (conn == nullptr)
        return -1;
    std::string like;
    for (const char c : prefix)
        like += c == '\'' || c == '%' || c == '_' || c == '\\' ? std::string("\\") + c
                                                                : std::string(1, c);
    const std::string sql = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID <> "
                            "CONNECTION_ID() AND INFO LIKE '" + like + "%'";
    if (mysql_real_query(conn.get(), sql.data(), sql.size()) != 0)
        return -1;
    const std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(mysql_store_result(conn.get()),
                                                                 mysql_free_result);
    MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result.get()) : nullptr;
    return row != nullptr && row[0] != nullptr ? std::atoi(row[0]) : -1;
}

} // namespace zel::test
