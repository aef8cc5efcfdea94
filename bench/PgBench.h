// A PostgreSQL connection for the benchmarks, and the plain walks a summary is measured against.
#pragma once

#include "bench/BenchTools.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

namespace zel::bench {

struct PgConn {
    PGconn* conn = nullptr;
    explicit PgConn(const std::string& uri)
    {
        const char* keywords[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {"10", uri.c_str(), nullptr};
        conn = PQconnectdbParams(keywords, values, 1);
        PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    }
    ~PgConn() { PQfinish(conn); }
    PgConn(const PgConn&) = delete;
    PgConn& operator=(const PgConn&) = delete;
    bool Ok() const { return PQstatus(conn) == CONNECTION_OK; }
    std::string Error() const
    {
        std::string text = PQerrorMessage(conn);
        std::replace(text.begin(), text.end(), '\n', ' ');
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text;
    }
    void Exec(const std::string& sql) const
    {
        PGresult* result = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        PQclear(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + Error());
    }
};

// The URI with its database replaced by `database`.
inline std::string WithDatabase(const std::string& uri, const std::string& database)
{
    const std::size_t scheme = uri.find("://");
    const std::size_t authorityEnd = std::min(uri.find_first_of("/?", scheme + 3), uri.size());
    const std::size_t query = uri.find('?', authorityEnd);
    return uri.substr(0, authorityEnd) + "/" + database
           + (query == std::string::npos ? "" : uri.substr(query));
}

// Two walks over column x of table vals through a cursor fetched `batch` rows at a time, as
// the driver walks.
inline double PlainPgScans(const PgConn& db, int batch)
{
    const std::string fetch = "FETCH " + std::to_string(batch) + " FROM c";
    return Seconds([&] {
        for (int pass = 0; pass < 2; ++pass) {
            db.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
            db.Exec("DECLARE c NO SCROLL CURSOR FOR SELECT x FROM vals");
            double sum = 0.0;
            for (;;) {
                PGresult* rows = PQexec(db.conn, fetch.c_str());
                if (PQresultStatus(rows) != PGRES_TUPLES_OK) {
                    PQclear(rows);
                    throw std::runtime_error("FETCH: " + db.Error());
                }
                const int n = PQntuples(rows);
                for (int i = 0; i < n; ++i) {
                    if (PQgetisnull(rows, i, 0))
                        continue;
                    const char* text = PQgetvalue(rows, i, 0);
                    double x = 0.0;
                    std::from_chars(text, text + PQgetlength(rows, i, 0), x);
                    sum += x;
                }
                PQclear(rows);
                if (n < batch)
                    break;
            }
            db.Exec("CLOSE c");
            db.Exec("COMMIT");
            sink = sink + sum;
        }
    });
}

} // namespace zel::bench
