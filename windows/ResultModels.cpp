#include "zelstats/windows/ResultModels.h"

#include "zelstats/stats/ResultText.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/tools/Format.h"

#include <charconv>
#include <cmath>

namespace zel {

namespace {

constexpr int ClassColumns = 6;

// The describe columns; the statistics of one row in that order come from DescribeValue.
constexpr std::array<const char*, 14> DescribeHeadings{
    "field", "group", "count",   "nulls", "mean", "stdDev",   "minimum",
    "q1",    "median", "q3",     "maximum", "skew", "skewSign", "kurtosis"};
enum DescribeColumn { cField, cGroup, cCount, cNulls, cSkewSign = 12 };

// The double of a statistic column (mean .. kurtosis, skewSign excepted).
double DescribeValue(const TDescribeRow& r, int column)
{
    const double values[] = {r.mean, r.stdDev, r.minimum, r.q1,   r.median,
                             r.q3,   r.maximum, r.skew,   0.0,    r.kurtosis};
    return values[column - 4];
}

bool Valid(const QAbstractItemModel& model, const QModelIndex& index)
{
    return index.isValid() && !index.parent().isValid() && index.row() < model.rowCount()
           && index.column() < model.columnCount();
}

// The shortest text that reads back to the same double; empty for NaN or an infinity.
std::string ShortestNumber(double value)
{
    if (!std::isfinite(value))
        return {};
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace

// --- The class table

TClassTableModel::TClassTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void TClassTableModel::Refresh(const TStatistics& c)
{
    beginResetModel();
    rows_.clear();
    for (int i = 1; i <= c.FreqClasses(); ++i) {
        rows_.push_back({ClassGridRow(c, i),
                         {double(i), c.GetdsClassStart(i), c.GetdsClassEnd(i),
                          double(c.GetdsClassCount(i)), c.GetdsClassPercent(i),
                          c.GetdsClassCumPercent(i)}});
    }
    endResetModel();
}

void TClassTableModel::Clear()
{
    beginResetModel();
    rows_.clear();
    endResetModel();
}

double TClassTableModel::Value(int row, int column) const
{
    return rows_.at(std::size_t(row)).value.at(std::size_t(column));
}

int TClassTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int TClassTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ClassColumns;
}

QVariant TClassTableModel::data(const QModelIndex& index, int role) const
{
    if (!Valid(*this, index))
        return {};
    const Row& row = rows_[std::size_t(index.row())];
    const auto column = std::size_t(index.column());
    if (role == Qt::DisplayRole)
        return QString::fromStdString(row.text[column]);
    if (role == Qt::UserRole) {
        // The class number and the count are whole numbers.
        if (column == 0 || column == 3)
            return qlonglong(row.value[column]);
        return row.value[column];
    }
    return {};
}

QVariant TClassTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= ClassColumns)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromStdString(ClassGridHeadings()[std::size_t(section)]);
}

std::string ClassTableCsv(const TClassTableModel& model)
{
    std::string csv;
    for (int c = 0; c < model.columnCount(); ++c)
        csv += (c ? "," : "") + model.headerData(c, Qt::Horizontal).toString().toStdString();
    csv += "\n";
    for (int r = 0; r < model.rowCount(); ++r) {
        for (int c = 0; c < model.columnCount(); ++c)
            csv += (c ? "," : "") + ShortestNumber(model.Value(r, c));
        csv += "\n";
    }
    return csv;
}

// --- Describe's rows

TDescribeModel::TDescribeModel(QObject* parent) : QAbstractTableModel(parent) {}

void TDescribeModel::SetRows(std::vector<TDescribeRow> rows)
{
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int TDescribeModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int TDescribeModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(DescribeHeadings.size());
}

QVariant TDescribeModel::RawValue(const TDescribeRow& r, int column) const
{
    switch (column) {
    case cField: return QString::fromStdString(r.field);
    case cGroup: return r.group ? QVariant(QString::fromStdString(*r.group)) : QVariant();
    case cCount: return qlonglong(r.count);
    case cNulls: return qlonglong(r.nulls);
    case cSkewSign: return r.skewSign.empty() ? QVariant() : QString::fromStdString(r.skewSign);
    default: return DescribeValue(r, column);
    }
}

QVariant TDescribeModel::DisplayText(const TDescribeRow& r, int column) const
{
    switch (column) {
    case cField:
    case cGroup:
        return RawValue(r, column);
    case cCount: return QString::fromStdString(IntToStr(r.count));
    case cNulls: return QString::fromStdString(IntToStr(r.nulls));
    case cSkewSign: return QString::fromStdString(r.skewSign.empty() ? "undefined" : r.skewSign);
    default: return QString::fromStdString(StatisticText("", DescribeValue(r, column)));
    }
}

QVariant TDescribeModel::data(const QModelIndex& index, int role) const
{
    if (!Valid(*this, index))
        return {};
    const TDescribeRow& row = rows_[std::size_t(index.row())];
    if (role == Qt::DisplayRole)
        return DisplayText(row, index.column());
    if (role == Qt::UserRole)
        return RawValue(row, index.column());
    return {};
}

QVariant TDescribeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= int(DescribeHeadings.size()))
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromLatin1(DescribeHeadings[std::size_t(section)]);
}

} // namespace zel
