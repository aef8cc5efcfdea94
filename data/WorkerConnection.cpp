#include "zelstats/data/WorkerConnection.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/data/Driver.h"

namespace zel {

namespace {

std::string DatabaseNameOf(const TDataSet& dataset)
{
    if (const auto* query = dynamic_cast<const TQuery*>(&dataset))
        return query->DatabaseName();
    if (const auto* table = dynamic_cast<const TTable*>(&dataset))
        return table->DatabaseName();
    return {};
}

void SetDatabaseNameOf(TDataSet& dataset, std::string name)
{
    if (auto* query = dynamic_cast<TQuery*>(&dataset))
        query->SetDatabaseName(std::move(name));
    else if (auto* table = dynamic_cast<TTable*>(&dataset))
        table->SetDatabaseName(std::move(name));
}

// SQLite's names of a database that lives in its connection's memory alone.
bool InMemorySqlite(const std::string& name)
{
    return name == ":memory:"
           || (name.starts_with("file:") && name.find("memory") != std::string::npos);
}

} // namespace

std::string WorkerReadGap(const TDataSet& dataset)
{
    const std::string database = DatabaseNameOf(dataset);
    if (IsQtConnectionName(database))
        return QtConnectionCopyGap(database);
    if (InMemorySqlite(database))
        return "its SQLite database is in memory, seen by one connection alone";
    return {};
}

TWorkerConnection::TWorkerConnection(TDataSet& copy)
{
    const std::string database = DatabaseNameOf(copy);
    if (!IsQtConnectionName(database))
        return;
    copiedConnection_ = CopyQtConnection(database);
    SetDatabaseNameOf(copy, copiedConnection_);
}

TWorkerConnection::~TWorkerConnection()
{
    if (!copiedConnection_.empty())
        RemoveQtConnectionCopy(copiedConnection_);
}

} // namespace zel
