// Item models of the results, for views of an application's own: the class table of a
// component and the rows of a describe run. Both are read-only tables that hold a copy of
// what they show, so a view never reads a component that has gone or is being summarised on
// another thread.
//
// Roles: Qt::DisplayRole is the text the windows show (stats/ResultText.h: "undefined" where a
// statistic has no value); Qt::UserRole is the raw value: a double for a statistic (NaN when
// undefined), a qlonglong for a count, a QString for a name; header data is the column's
// heading. Neither model needs a widget (Qt Core alone).
#pragma once

#include "zelstats/stats/Describe.h"

#include <QAbstractTableModel>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zel {

class TStatistics;

// The class table of a component: class, start, end, count, percent, cumulative percent,
// one row per class of the current table. The model learns of a new summary or a switch of
// class count through Refresh, which the class window calls each time it is opened or
// switched; a view of an application's own calls it after Summarize or
// SetClassDataFromCache.
class TClassTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TClassTableModel(QObject* parent = nullptr);

    // Copies the component's current class table (resetting the model); Clear empties it.
    void Refresh(const TStatistics& component);
    void Clear();

    // The raw value of a cell: the class number, the count, or a bound or percentage (NaN
    // when undefined). Row and column must be in range.
    double Value(int row, int column) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row {
        std::array<std::string, 6> text;
        std::array<double, 6> value;
    };
    std::vector<Row> rows_;
};

// The class table as CSV: the heading line, then one line per class. Numbers are the shortest
// text that reads back to the same double, whatever the locale; an undefined value is an
// empty field. Lines end in "\n".
std::string ClassTableCsv(const TClassTableModel& model);

// The rows of a describe run (stats/Describe.h): field, group, count, nulls, mean, stdDev,
// minimum, q1, median, q3, maximum, skew, skewSign, kurtosis. The group of NULL keys (and
// every row of an ungrouped run) shows no text and has no UserRole value.
class TDescribeModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TDescribeModel(QObject* parent = nullptr);

    // Replaces the rows shown (resetting the model).
    void SetRows(std::vector<TDescribeRow> rows);
    const std::vector<TDescribeRow>& Rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QVariant RawValue(const TDescribeRow& row, int column) const;
    QVariant DisplayText(const TDescribeRow& row, int column) const;

    std::vector<TDescribeRow> rows_;
};

} // namespace zel
