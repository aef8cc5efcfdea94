// The MariaDB driver's entry points for the Qt SQL driver, which opens MariaDB and MySQL
// connections through Qt's QMYSQL plugin and reads them with the client library under the
// plugin's handle (MariaDbDriver.cpp), or through QSqlQuery where the plugin runs on another
// client library. The client library's types stay in MariaDbDriver.cpp.
#pragma once

#include "zelstats/data/Driver.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QVariant;
struct st_mysql;

namespace zel {

// How to reach a MariaDB server once more, for the second connection that stops a statement
// (KILL QUERY). `display` names the server in messages, without the password.
struct MariaDbServer {
    std::string host;
    unsigned port = 0;
    std::string socket;
    std::string user;
    std::string password;
    std::string display;
};
// A connection a MariaDB cursor reads through: the client handle (checked to belong to this
// package's client library), what keeps the connection open for the cursor's lifetime, and
// whether it was opened for this one dataset (then made read-only for its whole session).
struct MariaDbLink {
    st_mysql* mysql = nullptr;
    std::shared_ptr<void> owner;
    bool owned = false;
    MariaDbServer server;
    // The table's name as the caller gave it; empty for a query.
    std::string tableName;
};
// A server-side cursor over `sql` (a plain read, checked) or, with `table` (quoted) set, over
// a whole table, which can read one column alone. Registers a canceller (data/Cancel.h) for
// its connection; options.waitLimit bounds the waits on a connection opened with it.
std::unique_ptr<DataCursor> OpenMariaDbCursor(MariaDbLink link, const std::string& sql,
                                              const std::string& table, const std::string& source,
                                              const CursorOptions& options);
// Refuses what only MariaDB's grammar lets through a plain read's first keyword: a statement
// that begins in an executable comment (/*! ... */), locking reads (FOR UPDATE, FOR SHARE, LOCK
// IN SHARE MODE) and the lock functions (GET_LOCK ...).
void CheckMariaDbRead(const std::string& sql, const std::string& source);
// The field kind of a MariaDB column from its type code (enum_field_types), its unsigned flag,
// its display length and whether its character set is binary.
TFieldType MariaDbFieldKind(int type, bool isUnsigned, unsigned long length, bool binary);
// Whether the library that holds `addressInPlugin` (a Qt SQL plugin) calls the same MariaDB
// client library as this package, so that its client handles may be used with this package's
// calls.
bool SharesMariaDbClient(const void* addressInPlugin);
// For tests: reads MariaDB connections through QSqlQuery, as when the QMYSQL plugin runs on
// another client library than this package.
void ForceQtQueryReadsForMariaDb(bool force);

// Runs one SELECT and returns the first column of its rows, a null as empty; nullopt when it
// fails.
using MariaDbFirstColumn =
    std::function<std::optional<std::vector<std::string>>(const std::string& sql)>;
// DataCursor::SnapshotGap of a MariaDB source: for a table (the name as the caller gave it) its
// engine, when that keeps no snapshots; for a query or a view the engines without snapshots of
// the database's tables; empty where every table read keeps snapshots (InnoDB).
std::string MariaDbSnapshotGap(const std::string& table, const MariaDbFirstColumn& firstColumn);

// Stops the statement of a MariaDB connection read through QSqlQuery, whose client handle is
// not this package's to use: KILL QUERY for its server thread (CONNECTION_ID()), through a
// second connection. Registered with data/Cancel.h for its lifetime.
class MariaDbThreadCanceller {
public:
    MariaDbThreadCanceller(const MariaDbServer& server, unsigned long threadId);
    ~MariaDbThreadCanceller();
    MariaDbThreadCanceller(const MariaDbThreadCanceller&) = delete;
    MariaDbThreadCanceller& operator=(const MariaDbThreadCanceller&) = delete;
    // True once a cancel came: the connection's later statements are to fail at once.
    bool Cancelled() const;
    // After a statement failed with the client library's `errorCode` (QSqlError's native
    // code) having waited `waited`: when that was a wait limit at work, stops the statement
    // and throws the failure that names the server and the limit; else returns.
    void ThrowIfWaitLimit(const std::string& what, int errorCode, std::chrono::milliseconds limit,
                          std::chrono::steady_clock::duration waited) const;

private:
    struct Registered;
    std::unique_ptr<Registered> registered_;
};

// A value of a MariaDB column as Qt's QMYSQL driver hands it over, read as the MariaDB cursor
// reads the same value: the same number, to the bit, and the same text. `type` is the column's
// type code (QSqlField::typeID), `decimals` its fractional digits (QSqlField::precision).
// Integers arrive as integers, decimals and floats as text (QSql::HighPrecision).
struct MariaDbQtColumn {
    int type = 0;
    TFieldType kind = TFieldType::ftUnknown;
    int decimals = 0;
};
DataCursor::Number MariaDbNumberOf(const MariaDbQtColumn& column, const QVariant& value,
                                   double& number);
std::string MariaDbTextOf(const MariaDbQtColumn& column, const QVariant& value);

} // namespace zel
