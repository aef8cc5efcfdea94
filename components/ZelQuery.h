// The query kind of the statistics component: a query dataset whose records are the result of
// its SQL text.
#pragma once

#include "components/ZelComponent.h"
#include "platform/DataSet.h"

namespace zel {

class TRivuReviQuery : public TQuery, public TStatComponent {
public:
    explicit TRivuReviQuery(TComponent* owner = nullptr);
    ~TRivuReviQuery() override;

    void Loaded() override;

    // The first SQL line without its first 13 characters ("SELECT * FROM" is 13 long).
    std::string DataSourceName() const override;
    // "Dataset Query: " and the first SQL line.
    std::string SourceLine() const override;
    std::string SourceTitle() const override;
    // The SQL text, its lines joined by line feeds.
    std::string SourceText() const override;
    // The first line of the SQL text, or an empty text.
    std::string FirstSQLLine() const;

    TClassDisplayForm& ClassWindow() override;
    TRivuReviPlotForm& PlotWindow() override;
};

} // namespace zel
