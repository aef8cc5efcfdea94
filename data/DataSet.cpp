#include "zelstats/data/DataSet.h"

#include "zelstats/data/Driver.h"

#include <QSqlDatabase>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace zel {

bool IsNumberKind(TFieldType kind)
{
    switch (kind) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftWord:
    case TFieldType::ftLargeint:
    case TFieldType::ftFloat:
    case TFieldType::ftBCD:
    case TFieldType::ftCurrency: return true;
    default: return false;
    }
}

// --- TComponent

TComponent::TComponent(TComponent* owner) : owner_(owner)
{
    if (owner_ != nullptr)
        owner_->owned_.push_back(this);
}

TComponent::~TComponent()
{
    // Children leave the list as they go, so free from the back.
    while (!owned_.empty())
        delete owned_.back();
    if (owner_ != nullptr)
        std::erase(owner_->owned_, this);
}

// --- TField

TField::TField(TDataSet& dataset, std::string name, int column, TFieldType type)
    : dataset_(dataset), name_(std::move(name)), column_(column), type_(type)
{
}

bool TField::IsNull() const { return dataset_.RecordCursor().IsNull(column_); }

namespace {

// A cell value as a message shows it: on one line, with control characters escaped (\n, \r,
// \t, \xNN, and \uNNNN for the Unicode line breaks), bytes that are no UTF-8 escaped as
// \xNN, and cut on a character boundary with "…" so that the whole stays within kMaxShown
// characters. A cell may hold megabytes of text.
constexpr std::size_t kMaxShown = 100;

constexpr const char* kHex = "0123456789abcdef";

// The UTF-8 character at text[i]: its code point and its length in bytes; length 0 for a
// byte that starts no valid character (overlong forms, surrogates and code points past
// U+10FFFF are none).
std::pair<long, std::size_t> DecodeAt(std::string_view text, std::size_t i)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte < 0xE0 ? 2
                         : byte >= 0xE0 && byte < 0xF0               ? 3
                         : byte >= 0xF0 && byte < 0xF5               ? 4
                                                                     : 0;
    long code = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F
                                                                             : byte & 0x07;
    if (length == 0 || i + length > text.size())
        return {byte, 0};
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return {byte, 0};
        code = (code << 6) | (next & 0x3F);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000)))
        || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
        return {byte, 0};
    return {code, length};
}

// The escape that shows a character, or empty when it shows as itself.
std::string EscapeOf(long code)
{
    if (code == '\n')
        return "\\n";
    if (code == '\r')
        return "\\r";
    if (code == '\t')
        return "\\t";
    if (code < 0x20 || code == 0x7F)
        return {'\\', 'x', kHex[code >> 4], kHex[code & 0xF]};
    if ((code >= 0x80 && code < 0xA0) || code == 0x2028 || code == 0x2029)
        return {'\\', 'u', kHex[(code >> 12) & 0xF], kHex[(code >> 8) & 0xF],
                kHex[(code >> 4) & 0xF], kHex[code & 0xF]};
    return {};
}

std::string ShownValue(std::string_view text)
{
    std::string shown;
    std::size_t chars = 0;
    std::size_t lastFit = std::string::npos; // where "…" goes when the text is cut
    for (std::size_t i = 0; i < text.size();) {
        auto [code, length] = DecodeAt(text, i);
        std::string unit;
        if (length == 0) { // a byte that is no UTF-8: code is the byte
            unit = {'\\', 'x', kHex[code >> 4], kHex[code & 0xF]};
            length = 1;
        } else {
            unit = EscapeOf(code);
        }
        const bool escaped = !unit.empty();
        if (!escaped)
            unit = std::string(text.substr(i, length));
        const std::size_t unitChars = escaped ? unit.size() : 1;
        if (lastFit == std::string::npos && chars + unitChars > kMaxShown - 1)
            lastFit = shown.size();
        if (chars + unitChars > kMaxShown) {
            shown.resize(lastFit);
            return shown + "…";
        }
        shown += unit;
        chars += unitChars;
        i += length;
    }
    return shown;
}

} // namespace

void TField::ThrowNotANumber(const char* what) const
{
    ThrowNotANumberAt(dataset_.RecordCursor().ReadText(column_), dataset_.RecNo(), what);
}

void TField::ThrowNotANumberAt(std::string_view text, std::int64_t record, const char* what) const
{
    // A number too large or too small for a double (a numeric 1e-401) is a number all the
    // same, and the message says what is wrong with it.
    double ignored = 0.0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), ignored);
    const bool outOfRange =
        error == std::errc::result_out_of_range && stop == text.data() + text.size();
    throw EDatabaseError("Field '" + name_ + "' of " + dataset_.SourceDescription() + " holds '"
                         + ShownValue(text) + "' at record " + std::to_string(record)
                         + (outOfRange ? ", a number out of a double's range"
                                       : ", which is not " + std::string(what)));
}

double TField::AsFloat() const
{
    double value = 0.0;
    if (!ReadFloat(value))
        ThrowNotANumber("a number"); // a null value is no number either
    return value;
}

bool TField::ReadFloat(double& value) const
{
    switch (dataset_.RecordCursor().ReadNumber(column_, value)) {
    case DataCursor::Number::Null: return false;
    case DataCursor::Number::NotANumber: ThrowNotANumber("a number");
    case DataCursor::Number::Value: break;
    }
    if (!std::isfinite(value))
        ThrowNotANumber("a finite number");
    return true;
}

std::string TField::AsString() const
{
    const DataCursor& cursor = dataset_.RecordCursor();
    return cursor.IsNull(column_) ? std::string() : cursor.ReadText(column_);
}

TGroupKey TField::AsGroupKey() const { return dataset_.RecordCursor().ReadKey(column_); }

// --- TGroupKey

TGroupKey TGroupKey::Integer(std::int64_t value)
{
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return {TKind::Number, std::string(digits, end)};
}

TGroupKey TGroupKey::Real(double value)
{
    if (std::isnan(value))
        return {TKind::Number, "NaN"};
    if (std::isinf(value))
        return {TKind::Number, value > 0 ? "Infinity" : "-Infinity"};
    char text[40];
    // Every integral double below 2^64 converts exactly, so it keys as the integer it equals;
    // -0 becomes 0.
    constexpr double two64 = 18446744073709551616.0;
    if (value == std::trunc(value) && std::fabs(value) < two64) {
        const auto magnitude = static_cast<std::uint64_t>(std::fabs(value));
        char* start = text + 1;
        char* end = std::to_chars(start, text + sizeof text, magnitude).ptr;
        if (value < 0 && magnitude != 0)
            *--start = '-';
        return {TKind::Number, std::string(start, end)};
    }
    return {TKind::Number, std::string(text, std::to_chars(text, text + sizeof text, value).ptr)};
}

TGroupKey TGroupKey::Decimal(std::string_view text)
{
    if (text == "NaN" || text == "Infinity" || text == "-Infinity")
        return {TKind::Number, std::string(text)};
    const bool negative = !text.empty() && text.front() == '-';
    const bool signed_ = !text.empty() && (text.front() == '-' || text.front() == '+');
    const std::string_view rest = text.substr(signed_ ? 1 : 0);
    const std::size_t point = rest.find('.');
    std::string_view whole = rest.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? "" : rest.substr(point + 1);
    auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction))
        return Text(std::string(text)); // no number after all
    whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
    fraction.remove_suffix(fraction.size() - (fraction.find_last_not_of('0') + 1));
    std::string value = whole.empty() ? "0" : std::string(whole);
    if (!fraction.empty())
        value += "." + std::string(fraction);
    if (negative && value != "0")
        value.insert(0, 1, '-');
    return {TKind::Number, std::move(value)};
}

TGroupKey TGroupKey::Text(std::string bytes) { return {TKind::Text, std::move(bytes)}; }

TGroupKey TGroupKey::Blob(std::string bytes) { return {TKind::Blob, std::move(bytes)}; }

std::size_t TGroupKey::Hash::operator()(const TGroupKey& key) const noexcept
{
    return std::hash<std::string>()(key.value_) * 31 + static_cast<std::size_t>(key.kind_);
}

namespace {

// The length of the valid UTF-8 character at text[i], or 0 where none starts.
std::size_t Utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte < 0xE0 ? 2
                               : byte >= 0xE0 && byte < 0xF0               ? 3
                               : byte >= 0xF0 && byte < 0xF5               ? 4
                                                                           : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    long code = length == 1 ? byte : byte & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no valid UTF-8.
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000)))
        || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
        return 0;
    return length;
}

std::string WrittenText(std::string_view text, bool quoted)
{
    static const char* const hex = "0123456789abcdef";
    std::string out = quoted ? "'" : "";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            out += {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
            ++i;
            continue;
        }
        out += byte == '\\' ? "\\\\" : byte == '\'' && quoted ? "''" : text.substr(i, length);
        i += length;
    }
    return quoted ? out + "'" : out;
}

} // namespace

std::vector<std::string> WriteGroupKeys(std::span<const TGroupKey> keys)
{
    using TKind = TGroupKey::TKind;
    const bool mixed = std::any_of(keys.begin(), keys.end(),
                                   [](const TGroupKey& k) { return k.Kind() == TKind::Text; })
                       && std::any_of(keys.begin(), keys.end(), [](const TGroupKey& k) {
                              return k.Kind() == TKind::Number || k.Kind() == TKind::Blob;
                          });
    std::vector<std::string> written;
    written.reserve(keys.size());
    for (const TGroupKey& key : keys) {
        switch (key.Kind()) {
        case TKind::Null: written.emplace_back(); break;
        case TKind::Number: written.push_back(key.Value()); break;
        case TKind::Text: written.push_back(WrittenText(key.Value(), mixed)); break;
        case TKind::Blob: {
            static const char* const hex = "0123456789abcdef";
            std::string out = "x'";
            for (const char c : key.Value())
                out += {hex[static_cast<unsigned char>(c) >> 4], hex[c & 0xF]};
            written.push_back(out + "'");
            break;
        }
        }
    }
    return written;
}

// --- TDataSet

namespace {

// Field names match without regard to ASCII case, as SQL names do: a server may report an
// unquoted name in lower case.
char FoldChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string FoldCase(std::string_view name)
{
    std::string folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

} // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() = default;

void TDataSet::SetActive(bool active)
{
    if (active)
        Open();
    else
        Close();
}

void TDataSet::Open()
{
    if (Active())
        return;
    std::unique_ptr<DataCursor> cursor = OpenCursor();
    if (cursor == nullptr)
        return;

    std::vector<std::unique_ptr<TField>> fields;
    std::unordered_map<std::string, TField*> byName;
    const auto& columns = cursor->Columns();
    for (std::size_t i = 0; i < columns.size(); ++i) {
        fields.push_back(MakeField(columns[i], static_cast<int>(i)));
        // Names that differ only in case have no case-blind match: which one was meant is
        // unknown. Of two exactly equal names the first wins, as a lookup can find only one.
        auto [it, added] = byName.emplace(FoldCase(columns[i].name), fields.back().get());
        if (!added && it->second != nullptr && it->second->FieldName() != columns[i].name)
            it->second = nullptr;
    }
    if (snapshotHolds_ > 0)
        cursor->BeginSnapshot();
    cursor_ = std::move(cursor);
    ++openings_;
    fields_ = std::move(fields);
    byName_ = std::move(byName);
    lastLookup_ = nullptr;
    recordCount_ = -1;
    if (cursor_->OpensWithoutReading()) {
        unpositioned_ = true;
        eof_ = false;
        recNo_ = 0;
    } else {
        First();
    }
}

void TDataSet::Close()
{
    cursor_.reset();
    lastLookup_ = nullptr;
    byName_.clear();
    fields_.clear();
    recordCount_ = -1;
    recNo_ = 0;
    eof_ = true;
    unpositioned_ = false;
}

const DataCursor& TDataSet::ActiveCursor() const
{
    if (cursor_ == nullptr)
        throw EDatabaseError("Cannot perform this operation on the closed dataset "
                             + SourceDescription());
    return *cursor_;
}

void TDataSet::GetFieldNames(std::vector<std::string>& list) const
{
    list.clear();
    for (const auto& field : fields_)
        list.push_back(field->FieldName());
}

const std::vector<std::unique_ptr<TField>>& TDataSet::Fields() const { return fields_; }

TField* TDataSet::FindField(std::string_view name) const
{
    if (lastLookup_ != nullptr && lastLookup_->FieldName() == name)
        return const_cast<TField*>(lastLookup_);
    TField* found = nullptr;
    for (const auto& field : fields_) {
        if (field->FieldName() == name) {
            found = field.get();
            break;
        }
    }
    if (found == nullptr) {
        auto it = byName_.find(FoldCase(name));
        if (it == byName_.end() || it->second == nullptr)
            return nullptr;
        found = it->second;
    }
    lastLookup_ = found;
    return found;
}

TField& TDataSet::FieldByName(std::string_view name) const
{
    ActiveCursor();
    TField* field = FindField(name);
    if (field == nullptr)
        throw EDatabaseError("Field '" + std::string(name) + "' not found in "
                             + SourceDescription());
    return *field;
}

const DataCursor& TDataSet::RecordCursor() const
{
    const DataCursor& cursor = ActiveCursor();
    if (unpositioned_) {
        unpositioned_ = false;
        cursor_->Rewind();
        const bool row = cursor_->Fetch();
        recNo_ = row ? 1 : 0;
        if (!row)
            ReachEnd();
    }
    return cursor;
}

void TDataSet::First()
{
    ActiveCursor();
    unpositioned_ = false;
    cursor_->Rewind();
    const bool row = cursor_->Fetch();
    eof_ = false;
    recNo_ = row ? 1 : 0;
    if (!row)
        ReachEnd();
}

void TDataSet::Next()
{
    RecordCursor();
    if (eof_)
        return;
    if (cursor_->Fetch())
        ++recNo_;
    else
        ReachEnd();
}

void TDataSet::ReachEnd() const
{
    eof_ = true;
    // A walk runs from the first record, so the records it passed are all there are.
    if (recordCount_ < 0)
        recordCount_ = recNo_;
}

std::size_t TDataSet::ReadFloats(const TField& field, double* values, std::size_t capacity)
{
    // A batch of records at a time, read into the values that are still to be filled; the
    // nulls (NaN, as only finite numbers are read) are then left out.
    const TField* const fields[] = {&field};
    std::size_t n = 0;
    while (n < capacity && !Eof()) {
        const std::size_t read = ReadRecords(fields, values + n, capacity - n);
        n = std::remove_if(values + n, values + n + read, [](double x) { return std::isnan(x); })
            - values;
    }
    return n;
}

bool TDataSet::Eof() const
{
    RecordCursor();
    return eof_;
}

std::int64_t TDataSet::RecNo() const
{
    if (unpositioned_)
        RecordCursor();
    return recNo_;
}

std::size_t TDataSet::ReadRecords(std::span<const TField* const> fields, double* values,
                                 std::size_t capacity)
{
    RecordCursor();
    std::vector<int> columns;
    for (const TField* field : fields)
        columns.push_back(field->Index());
    std::size_t n = 0;
    while (n < capacity && !eof_) {
        bool ended = false;
        const std::size_t read =
            cursor_->ReadRecords(columns, values + n * fields.size(), capacity - n, ended);
        n += read;
        recNo_ += static_cast<std::int64_t>(read) - (ended ? 1 : 0);
        if (ended) {
            ReachEnd();
        } else if (n < capacity) {
            // The cursor stopped at a value that is no finite number: its field reports it,
            // naming the record.
            double* record = values + n * fields.size();
            for (std::size_t f = 0; f < fields.size(); ++f) {
                if (!fields[f]->ReadFloat(record[f]))
                    record[f] = std::numeric_limits<double>::quiet_NaN();
            }
            ++n;
            Next();
        }
    }
    return n;
}

std::int64_t TDataSet::RecordCount() const
{
    ActiveCursor();
    if (recordCount_ < 0)
        recordCount_ = cursor_->CountRecords();
    return recordCount_;
}

bool TDataSet::MoreRecordsThan(std::int64_t limit) const
{
    ActiveCursor();
    if (recordCount_ < 0)
        return cursor_->MoreRecordsThan(limit);
    return recordCount_ > limit;
}

TDataSet::TSnapshot::TSnapshot(TDataSet& dataset) : dataset_(dataset)
{
    if (dataset_.snapshotHolds_ == 0 && dataset_.cursor_ != nullptr)
        dataset_.cursor_->BeginSnapshot();
    ++dataset_.snapshotHolds_;
}

TDataSet::TSnapshot::~TSnapshot()
{
    if (--dataset_.snapshotHolds_ == 0 && dataset_.cursor_ != nullptr) {
        try {
            dataset_.cursor_->EndSnapshot();
        } catch (const EDatabaseError&) {
            // A read snapshot has nothing to keep: a failure to release it ends with its
            // connection.
        }
    }
}

TDataSet::TFieldWalk::TFieldWalk(TDataSet& dataset, const TField& field) : dataset_(dataset)
{
    dataset_.ActiveCursor();
    dataset_.cursor_->RestrictToColumn(field.Index());
}

TDataSet::TFieldWalk::TFieldWalk(TDataSet& dataset, std::span<const TField* const> fields)
    : dataset_(dataset)
{
    dataset_.ActiveCursor();
    std::vector<int> columns;
    for (const TField* field : fields)
        columns.push_back(field->Index());
    dataset_.cursor_->RestrictToColumns(columns);
}

TDataSet::TFieldWalk::~TFieldWalk()
{
    if (dataset_.cursor_ != nullptr)
        dataset_.cursor_->RestrictToColumn(-1);
}

void TDataSet::SetWaitLimit(double seconds)
{
    // A year is far beyond any wait, and keeps the milliseconds within range.
    if (!(seconds >= 0.0) || seconds > 366.0 * 24 * 3600)
        throw EDatabaseError("The wait limit of " + SourceDescription()
                             + " must be 0 (none) or a number of seconds up to a year");
    waitLimit_ = seconds;
}

std::int64_t TDataSet::WaitLimitMilliseconds() const
{
    if (waitLimit_ <= 0.0)
        return 0;
    return std::max<std::int64_t>(1, std::llround(waitLimit_ * 1000.0));
}

void TDataSet::CheckInactive(const char* property) const
{
    if (Active())
        throw EDatabaseError(std::string("Cannot change ") + property + " of the open dataset "
                             + SourceDescription() + "; close it first");
}

// Field objects are created by the dataset as it opens; the classes befriend it for that.
std::unique_ptr<TField> TDataSet::MakeField(const ColumnInfo& c, int i)
{
    const std::string& n = c.name;
    switch (c.type) {
    case TFieldType::ftSmallint: return std::unique_ptr<TField>(new TSmallintField(*this, n, i, c.type));
    case TFieldType::ftInteger: return std::unique_ptr<TField>(new TIntegerField(*this, n, i, c.type));
    case TFieldType::ftWord: return std::unique_ptr<TField>(new TWordField(*this, n, i, c.type));
    case TFieldType::ftLargeint: return std::unique_ptr<TField>(new TLargeintField(*this, n, i, c.type));
    case TFieldType::ftFloat: return std::unique_ptr<TField>(new TFloatField(*this, n, i, c.type));
    case TFieldType::ftCurrency: return std::unique_ptr<TField>(new TCurrencyField(*this, n, i, c.type));
    case TFieldType::ftBCD: return std::unique_ptr<TField>(new TBCDField(*this, n, i, c.type));
    case TFieldType::ftDate: return std::unique_ptr<TField>(new TDateField(*this, n, i, c.type));
    case TFieldType::ftDateTime: return std::unique_ptr<TField>(new TDateTimeField(*this, n, i, c.type));
    case TFieldType::ftBoolean: return std::unique_ptr<TField>(new TBooleanField(*this, n, i, c.type));
    case TFieldType::ftBlob: return std::unique_ptr<TField>(new TBlobField(*this, n, i, c.type));
    case TFieldType::ftString:
    case TFieldType::ftUnknown: break;
    }
    return std::unique_ptr<TField>(new TStringField(*this, n, i, TFieldType::ftString));
}

std::unique_ptr<TDataSet> TDataSet::NewSourceCopy() const
{
    throw EDatabaseError("Cannot read " + SourceDescription()
                         + " on another thread: this kind of dataset cannot be copied");
}

// --- TQuery

TQuery::TQuery(TComponent* owner) : TDataSet(owner) {}

void TQuery::SetDatabaseName(std::string name)
{
    CheckInactive("DatabaseName");
    databaseName_ = std::move(name);
}

void TQuery::SetConnection(const QSqlDatabase& connection)
{
    SetConnectionName(connection.connectionName());
}

void TQuery::SetConnectionName(const QString& connectionName)
{
    SetDatabaseName(QtConnectionDatabaseName(connectionName));
}

void TQuery::SetSQL(std::vector<std::string> lines)
{
    CheckInactive("SQL");
    sql_ = std::move(lines);
}

std::string TQuery::SQLText() const
{
    std::string text;
    for (const auto& line : sql_) {
        if (!text.empty())
            text += '\n';
        text += line;
    }
    return text;
}

void TQuery::SetParam(std::string name, QVariant value)
{
    CheckInactive("Params");
    for (auto& param : params_) {
        if (param.name == name) {
            param.value = std::move(value);
            return;
        }
    }
    params_.push_back({std::move(name), std::move(value)});
}

void TQuery::ClearParams()
{
    CheckInactive("Params");
    params_.clear();
}

void TQuery::CopySourceFrom(const TQuery& other)
{
    SetDatabaseName(other.databaseName_);
    SetSQL(other.sql_);
    ClearParams();
    for (const TQueryParam& param : other.params_)
        SetParam(param.name, param.value);
    SetWaitLimit(other.WaitLimit());
}

std::unique_ptr<TDataSet> TQuery::NewSourceCopy() const
{
    auto copy = std::make_unique<TQuery>();
    copy->CopySourceFrom(*this);
    return copy;
}

std::string TQuery::SourceDescription() const
{
    std::string first = sql_.empty() ? std::string() : sql_.front();
    return "query '" + first + (sql_.size() > 1 ? " ...'" : "'") + " on "
           + DatabaseDisplayName(databaseName_);
}

std::unique_ptr<DataCursor> TQuery::OpenCursor()
{
    std::string text = SQLText();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return nullptr;
    return OpenQueryCursor(databaseName_, text,
                           CursorOptions{std::chrono::milliseconds(WaitLimitMilliseconds()), params_});
}

// --- TTable

TTable::TTable(TComponent* owner) : TDataSet(owner) {}

void TTable::SetDatabaseName(std::string name)
{
    CheckInactive("DatabaseName");
    databaseName_ = std::move(name);
}

void TTable::SetConnection(const QSqlDatabase& connection)
{
    SetConnectionName(connection.connectionName());
}

void TTable::SetConnectionName(const QString& connectionName)
{
    SetDatabaseName(QtConnectionDatabaseName(connectionName));
}

void TTable::SetTableName(std::string name)
{
    CheckInactive("TableName");
    tableName_ = std::move(name);
}

void TTable::CopySourceFrom(const TTable& other)
{
    SetDatabaseName(other.databaseName_);
    SetTableName(other.tableName_);
    SetWaitLimit(other.WaitLimit());
}

std::unique_ptr<TDataSet> TTable::NewSourceCopy() const
{
    auto copy = std::make_unique<TTable>();
    copy->CopySourceFrom(*this);
    return copy;
}

std::string TTable::SourceDescription() const
{
    return "table '" + tableName_ + "' of " + DatabaseDisplayName(databaseName_);
}

std::unique_ptr<DataCursor> TTable::OpenCursor()
{
    if (tableName_.empty())
        return nullptr;
    CursorOptions options;
    options.waitLimit = std::chrono::milliseconds(WaitLimitMilliseconds());
    return OpenTableCursor(databaseName_, tableName_, options);
}

} // namespace zel
