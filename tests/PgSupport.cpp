// Throwaway PostgreSQL databases for the tests: ZELSTATS_TEST_PG names a server (a connection
// URI; scripts/with-postgres.sh starts one), and every TestDatabase is a fresh database on it,
// dropped again with the object.
#include "tests/TestSupport.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace zel::test {

namespace {

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnDeleter>;

std::string Trimmed(const char* text)
{
    std::string s = text != nullptr ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// A connection for the tests' own statements; an unreachable server fails within seconds.
Connection Connect(const std::string& uri, std::string& error)
{
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"5", uri.c_str(), nullptr};
    Connection conn(PQconnectdbParams(keywords, values, 1));
    if (conn == nullptr || PQstatus(conn.get()) != CONNECTION_OK) {
        error = conn ? Trimmed(PQerrorMessage(conn.get())) : "out of memory";
        return nullptr;
    }
    PQsetNoticeProcessor(conn.get(), [](void*, const char*) {}, nullptr);
    return conn;
}

void Exec(PGconn* conn, const std::string& sql)
{
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    std::string message = result ? Trimmed(PQresultErrorMessage(result))
                                 : Trimmed(PQerrorMessage(conn));
    PQclear(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("test database: " + message + " in: " + sql);
}

// The server URI with another database in its path; user, host, port and parameters stay.
std::string WithDatabase(const std::string& uri, const std::string& database)
{
    const std::size_t scheme = uri.find("://");
    const std::size_t authorityEnd = std::min(uri.find_first_of("/?", scheme + 3), uri.size());
    std::size_t query = uri.find('?', authorityEnd);
    const std::string parameters = query == std::string::npos ? "" : uri.substr(query);
    return uri.substr(0, authorityEnd) + "/" + database + parameters;
}

const char* ServerUri() { return std::getenv("ZELSTATS_TEST_PG"); }

// Asked once per program: a server that is down would otherwise cost a timeout per test.
const std::string& Unavailable()
{
    static const std::string reason = [] {
        const char* uri = ServerUri();
        if (uri == nullptr || *uri == '\0')
            return std::string("ZELSTATS_TEST_PG is not set; run the tests through "
                               "scripts/with-postgres.sh to include PostgreSQL");
        std::string error;
        if (Connect(uri, error) == nullptr)
            return "the PostgreSQL server named by ZELSTATS_TEST_PG is unreachable: " + error;
        return std::string();
    }();
    return reason;
}

class PgDatabase : public TestDatabase {
public:
    PgDatabase() : server_(ServerUri())
    {
        static std::atomic<int> counter{0};
        std::random_device random;
        name_ = "zelstats_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter)
                + "_" + std::to_string(random() % 1000000);
        std::string error;
        Connection admin = Connect(server_, error);
        if (admin == nullptr)
            throw std::runtime_error("test database: " + error);
        Exec(admin.get(), "CREATE DATABASE " + name_);
        uri_ = WithDatabase(server_, name_);
        conn_ = Connect(uri_, error);
        if (conn_ == nullptr) {
            Drop();
            throw std::runtime_error("test database: " + error);
        }
    }

    ~PgDatabase() override
    {
        conn_.reset();
        Drop();
    }

    const std::string& Name() const override { return uri_; }
    void Execute(const std::string& sql) override { Exec(conn_.get(), sql); }

private:
    void Drop() noexcept
    {
        std::string error;
        Connection admin = Connect(server_, error);
        if (admin == nullptr)
            return;
        // FORCE ends connections a failed test may have left open.
        PQclear(PQexec(admin.get(), ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").c_str()));
    }

    std::string server_;
    std::string name_;
    std::string uri_;
    Connection conn_;
};

} // namespace

std::unique_ptr<TestDatabase> MakePgDatabase()
{
    if (!Unavailable().empty())
        return nullptr;
    return std::make_unique<PgDatabase>();
}

std::string PgUnavailableReason() { return Unavailable(); }

std::vector<std::string> PgColumn(const std::string& uri, const std::string& sql)
{
    std::string error;
    Connection conn = Connect(uri, error);
    if (conn == nullptr)
        throw std::runtime_error("test server: " + error);
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()),
                                                         &PQclear);
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("test server: " + Trimmed(PQerrorMessage(conn.get()))
                                 + " in: " + sql);
    std::vector<std::string> column;
    for (int row = 0; row < PQntuples(result.get()); ++row)
        column.emplace_back(PQgetvalue(result.get(), row, 0));
    return column;
}

std::string ShardsUnavailableReason()
{
    const char* coordinator = std::getenv("ZELSTATS_TEST_PG_SHARDED");
    const char* shards = std::getenv("ZELSTATS_TEST_PG_SHARDS");
    if (coordinator == nullptr || *coordinator == '\0' || shards == nullptr || *shards == '\0')
        return "ZELSTATS_TEST_PG_SHARDED is not set; run the tests through "
               "scripts/with-pg-shards.sh to include sharded PostgreSQL";
    return "";
}

} // namespace zel::test
