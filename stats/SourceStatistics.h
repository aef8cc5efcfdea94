// The statistics of one field of a query or of a table, without windows: what the component
// kinds add their windows to, and what a program without a display summarises with.
#pragma once

#include "zelstats/data/DataSet.h"
#include "zelstats/stats/ZelStats.h"

#include <string>

namespace zel {

// A query dataset whose records are the result of its SQL text, with the statistics of one of
// its fields.
class TQueryStatistics : public TQuery, public TStatistics {
public:
    explicit TQueryStatistics(TComponent* owner = nullptr);

    // The first SQL line without its first 13 characters ("SELECT * FROM" is 13 long).
    std::string DataSourceName() const override;
    // "Dataset Query: " and the first SQL line.
    std::string SourceLine() const override;
    std::string SourceTitle() const override;
    // The SQL text, its lines joined by line feeds.
    std::string SourceText() const override;
    // The first line of the SQL text, or an empty text.
    std::string FirstSQLLine() const;

protected:
    std::unique_ptr<TStatistics> NewWorkerCopy() const override;
};

// A table dataset whose records are those of one table, with the statistics of one of its
// fields.
class TTableStatistics : public TTable, public TStatistics {
public:
    explicit TTableStatistics(TComponent* owner = nullptr);

    // The table name without its directory part.
    std::string DataSourceName() const override;
    // "Table: " and the table name as set.
    std::string SourceLine() const override;
    // The table name as set, directory included.
    std::string SourceTitle() const override;
    std::string SourceText() const override;

protected:
    std::unique_ptr<TStatistics> NewWorkerCopy() const override;
};

} // namespace zel
