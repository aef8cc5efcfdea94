// Datasets, fields and components: the data-access layer the statistics components stand on.
//
// A dataset walks the records of one data source, one record at a time, through a driver
// cursor (SQLite, PostgreSQL, or MariaDB and MySQL through Qt, chosen by the database name),
// or over a Qt connection of the application's own. Nothing here ever writes to a database:
// connections are opened read-only, and only plain reads are accepted.
#pragma once

#include <QVariant>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class QSqlDatabase;
class QString;

namespace zel {

class DataCursor;
struct ColumnInfo;

// The one exception type of the data-access layer. Its message is a whole sentence that names
// what failed and where: the database's own message, the table, the field, the record.
class EDatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Base of everything that can sit on a form: a name and an owner. An owner frees the
// components it owns when it is destroyed; a component freed first leaves its owner.
class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    TComponent* Owner() const { return owner_; }
    const std::vector<TComponent*>& Components() const { return owned_; }

    // Runs after the component's stored properties have been read in.
    virtual void Loaded() {}

private:
    std::string name_;
    TComponent* owner_;
    std::vector<TComponent*> owned_;
};

enum class TFieldType {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftLargeint,
    ftFloat, ftCurrency, ftBCD, ftDate, ftDateTime, ftBoolean, ftBlob
};

// The kinds whose values are numbers (integers, floats, decimals, currency).
bool IsNumberKind(TFieldType kind);

class TDataSet;

// A value as a key of groups: two values make one key exactly where SQL's GROUP BY puts them in
// one group. Numbers are keyed by their value (-0 is 0; a decimal's 1.0, 1.00 and 1 are one; an
// SQLite integer and a real of the same value are one, compared exactly beyond 2^53), text and
// binary data by their bytes, a NUL byte included, and all NULLs are one key.
class TGroupKey {
public:
    enum class TKind : std::uint8_t { Null, Number, Text, Blob };

    TGroupKey() = default; // the NULL key
    static TGroupKey Integer(std::int64_t value);
    // A double: integral values within 2^64 as the integers they are, others as the shortest
    // text that reads back, NaNs as one key "NaN", infinities "Infinity" and "-Infinity".
    static TGroupKey Real(double value);
    // A number as a server writes it exactly (integers, decimals such as "-001.2500", "NaN"):
    // without a sign on zero, leading zeros or trailing zeros of the fraction.
    static TGroupKey Decimal(std::string_view text);
    static TGroupKey Text(std::string bytes);
    static TGroupKey Blob(std::string bytes);

    TKind Kind() const { return kind_; }
    // A number's canonical text; the bytes of text or binary data; empty for NULL.
    const std::string& Value() const { return value_; }
    bool operator==(const TGroupKey&) const = default;

    struct Hash {
        std::size_t operator()(const TGroupKey& key) const noexcept;
    };

private:
    TGroupKey(TKind kind, std::string value) : kind_(kind), value_(std::move(value)) {}

    TKind kind_ = TKind::Null;
    std::string value_;
};

// The keys as written for people and files, one text per key, so that no two different keys
// are written alike: numbers as their canonical text, binary data as x'ff41', text as it is
// with `\\` for a backslash and `\xNN` for each control character (C0 and DEL) and each byte
// that is not valid UTF-8. Where text keys stand beside numbers or binary data (SQLite columns
// mix them) every text key is written in single quotes, inner ones doubled, so that the text
// '1' differs from the number 1. Every text is valid UTF-8; NULL keys are written as "".
std::vector<std::string> WriteGroupKeys(std::span<const TGroupKey> keys);

// A column of the open dataset, read at the dataset's current record. The class of a field
// tells its kind; numeric kinds derive from TIntegerField or TFloatField.
class TField {
public:
    virtual ~TField() = default;
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;

    const std::string& FieldName() const { return name_; }
    TFieldType DataType() const { return type_; }
    int Index() const { return column_; }

    bool IsNull() const;
    // The value as a double. Text that is not a number, and numbers that are not finite, are
    // never read as 0: they fail with an EDatabaseError naming the field, record and value.
    double AsFloat() const;
    // False for a null value; otherwise true and the value, with AsFloat's checks. One call
    // where a pass would otherwise make two.
    bool ReadFloat(double& value) const;
    std::string AsString() const;
    // The value as a key of groups, read exactly (unlike AsString, which writes a double with
    // 15 digits, binary data as a placeholder and text only up to a NUL byte).
    TGroupKey AsGroupKey() const;
    // Fails as a read of `text` at that record would: "... which is not `what`" ("a number",
    // "a finite number"), for a reader that found the value elsewhere than at the current
    // record (a statement on the server).
    [[noreturn]] void ThrowNotANumberAt(std::string_view text, std::int64_t record,
                                        const char* what) const;

protected:
    TField(TDataSet& dataset, std::string name, int column, TFieldType type);

private:
    friend class TDataSet;
    [[noreturn]] void ThrowNotANumber(const char* what) const;

    TDataSet& dataset_;
    std::string name_;
    int column_;
    TFieldType type_;
};

class TStringField : public TField { using TField::TField; friend class TDataSet; };
class TIntegerField : public TField { using TField::TField; friend class TDataSet; };
class TSmallintField : public TIntegerField { using TIntegerField::TIntegerField; friend class TDataSet; };
class TWordField : public TIntegerField { using TIntegerField::TIntegerField; friend class TDataSet; };
// Large integers count as integers in this layer, so statistics accept them.
class TLargeintField : public TIntegerField { using TIntegerField::TIntegerField; friend class TDataSet; };
class TFloatField : public TField { using TField::TField; friend class TDataSet; };
class TCurrencyField : public TFloatField { using TFloatField::TFloatField; friend class TDataSet; };
// Decimals count as floats in this layer, so statistics accept them.
class TBCDField : public TFloatField { using TFloatField::TFloatField; friend class TDataSet; };
class TDateTimeField : public TField { using TField::TField; friend class TDataSet; };
class TDateField : public TDateTimeField { using TDateTimeField::TDateTimeField; friend class TDataSet; };
class TBooleanField : public TField { using TField::TField; friend class TDataSet; };
class TBlobField : public TField { using TField::TField; friend class TDataSet; };

// A dataset: open or closed, with fields while open and a current record.
//
// First() restarts the walk at the first record; Next() moves on; Eof() turns true after
// Next() on the last record, and at once on an empty dataset. The record count is asked of the
// database once per open and kept.
class TDataSet : public TComponent {
public:
    explicit TDataSet(TComponent* owner = nullptr);
    ~TDataSet() override;

    bool Active() const { return cursor_ != nullptr; }
    // How many times the dataset has opened: what was read during one opening may not
    // describe the records of the next.
    std::uint64_t Openings() const { return openings_; }
    void SetActive(bool active);
    // Makes the dataset active. A dataset with nothing to open (no table name, no SQL text)
    // stays inactive; a data source that cannot be opened throws EDatabaseError.
    void Open();
    void Close();

    // The longest any one wait for a database server (PostgreSQL, MariaDB) may take, in
    // seconds; past it the statement is cancelled and the read fails with a message naming
    // the server and the limit. 0 (the default): no limit. It applies from the next opening;
    // a negative or non-finite limit throws EDatabaseError.
    double WaitLimit() const { return waitLimit_; }
    void SetWaitLimit(double seconds);

    // Every field name, in dataset order.
    void GetFieldNames(std::vector<std::string>& list) const;
    const std::vector<std::unique_ptr<TField>>& Fields() const;
    // A field of exactly that name, or else the one field whose name matches it without
    // regard to ASCII case (a server may report an unquoted name in lower case). Null when
    // there is none, or when several match only without regard to case.
    TField* FindField(std::string_view name) const;
    // Throws EDatabaseError naming the field and the data source when there is no such field.
    TField& FieldByName(std::string_view name) const;

    void First();
    void Next();
    bool Eof() const;
    // Number of the current record, counted from 1; 0 before the first.
    std::int64_t RecNo() const;
    std::int64_t RecordCount() const;
    // Whether there are more than `limit` records, asked without counting them all where the
    // database can; a walk that reached the end has counted them already.
    bool MoreRecordsThan(std::int64_t limit) const;
    // The field's values from the current record on, as ReadFloat and Next one record at a
    // time would read them: up to `capacity` values into `values`, nulls left out, moving past
    // every record read. Returns how many; fewer than `capacity` only at the end. Fails as
    // ReadFloat does, at the record that is not a number.
    std::size_t ReadFloats(const TField& field, double* values, std::size_t capacity);
    // The values of several fields from the current record on, a record at a time: up to
    // `capacity` records, each record's values in the order of `fields`, NaN for a null,
    // moving past every record read. Returns the records read; fewer than `capacity` only at
    // the end. Fails as ReadFloat does, at the first record and field that is not a number.
    std::size_t ReadRecords(std::span<const TField* const> fields, double* values,
                            std::size_t capacity);

    // The open dataset's driver cursor, for what a driver offers beyond walks (statements its
    // server computes); a closed dataset throws EDatabaseError as a walk on it would.
    DataCursor& DriverCursor() { return const_cast<DataCursor&>(ActiveCursor()); }

    void DisableControls() { ++disableCount_; }
    void EnableControls() { if (disableCount_ > 0) --disableCount_; }
    bool ControlsDisabled() const { return disableCount_ > 0; }

    // How the data source reads in a message: "table EMPLOYEE", "query SELECT ...".
    virtual std::string SourceDescription() const = 0;
    // A closed dataset of the same kind over the same data source (database name, table name
    // or SQL text and its parameters, wait limit), for another thread to read through a
    // connection of its own. A kind that cannot be copied throws EDatabaseError.
    virtual std::unique_ptr<TDataSet> NewSourceCopy() const;

    // Holds one read snapshot of the data source for its lifetime: every walk of the dataset
    // in between reads the same rows, whatever others write. Holds nest; the outermost one
    // takes and releases the snapshot. A dataset opened while a hold lasts is held too.
    class TSnapshot {
    public:
        explicit TSnapshot(TDataSet& dataset);
        ~TSnapshot();
        TSnapshot(const TSnapshot&) = delete;
        TSnapshot& operator=(const TSnapshot&) = delete;

    private:
        TDataSet& dataset_;
    };

    // Narrows the walks to one field (or some fields) for its lifetime, so that the database
    // is asked for those columns alone where it can be: from the next First() on, only those
    // fields may be read. The first First() after it ends reads every field again.
    class TFieldWalk {
    public:
        TFieldWalk(TDataSet& dataset, const TField& field);
        TFieldWalk(TDataSet& dataset, std::span<const TField* const> fields);
        ~TFieldWalk();
        TFieldWalk(const TFieldWalk&) = delete;
        TFieldWalk& operator=(const TFieldWalk&) = delete;

    private:
        TDataSet& dataset_;
    };

protected:
    // The driver cursor over this dataset's records, or null when there is nothing to open.
    virtual std::unique_ptr<DataCursor> OpenCursor() = 0;
    // Data-source settings changed: an open dataset closes, as it would no longer match them.
    void CheckInactive(const char* property) const;
    // WaitLimit in whole milliseconds (a limit above 0 is at least 1 ms).
    std::int64_t WaitLimitMilliseconds() const;

private:
    friend class TField;
    const DataCursor& ActiveCursor() const;
    // The active cursor on the current record: the first, read now, when the dataset was
    // opened without reading it (DataCursor::OpensWithoutReading).
    const DataCursor& RecordCursor() const;
    // The walk moved past the last record.
    void ReachEnd() const;
    std::unique_ptr<TField> MakeField(const ColumnInfo& column, int index);

    std::unique_ptr<DataCursor> cursor_;
    int snapshotHolds_ = 0;
    std::vector<std::unique_ptr<TField>> fields_;
    std::unordered_map<std::string, TField*> byName_;
    // FieldByName is asked once per record by every pass; the last answer is kept.
    mutable const TField* lastLookup_ = nullptr;
    mutable std::int64_t recordCount_ = -1;
    mutable std::int64_t recNo_ = 0;
    mutable bool eof_ = true;
    // Opened without reading the first record: the first access to a record reads it.
    mutable bool unpositioned_ = false;
    int disableCount_ = 0;
    std::uint64_t openings_ = 0;
    double waitLimit_ = 0.0;
};

// A value bound to a named parameter of a query's SQL text, written there as :name. Null, whole
// numbers, doubles, text and byte arrays bind with their own type; the text is never spliced.
struct TQueryParam {
    std::string name; // without its colon
    QVariant value;
};

// A dataset whose records are the result of its SQL text.
class TQuery : public TDataSet {
public:
    explicit TQuery(TComponent* owner = nullptr);

    // A file path (SQLite), a postgresql:// URI, a mysql:// or mariadb:// URL, or
    // "qtsql:" and the name of an application's Qt connection, as SetConnection sets it.
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(std::string name);
    // Reads through a connection the application opened with Qt (QSqlDatabase::addDatabase),
    // on its thread, in place of a database name. The connection is found by its name when
    // the dataset opens, and opened then if it is closed.
    void SetConnection(const QSqlDatabase& connection);
    void SetConnectionName(const QString& connectionName);
    // The SQL text as a list of lines.
    const std::vector<std::string>& SQL() const { return sql_; }
    void SetSQL(std::vector<std::string> lines);
    std::string SQLText() const;
    // The value of the parameter :name of the SQL text, replacing any earlier one of that name.
    // A :name inside a string, a quoted name, a comment or a "::" cast is no parameter. Open
    // fails with EDatabaseError naming a parameter the text names and no SetParam gave, or one
    // given that the text does not name. Only while the query is closed.
    void SetParam(std::string name, QVariant value);
    void ClearParams();
    const std::vector<TQueryParam>& Params() const { return params_; }
    // Takes the data source of `other`: its database name, SQL text, parameters and wait
    // limit. This dataset must be closed.
    void CopySourceFrom(const TQuery& other);
    std::unique_ptr<TDataSet> NewSourceCopy() const override;

    std::string SourceDescription() const override;

protected:
    std::unique_ptr<DataCursor> OpenCursor() override;

private:
    std::string databaseName_;
    std::vector<std::string> sql_;
    std::vector<TQueryParam> params_;
};

// A dataset whose records are those of one table.
class TTable : public TDataSet {
public:
    explicit TTable(TComponent* owner = nullptr);

    // A file path (SQLite), a postgresql:// URI, a mysql:// or mariadb:// URL, or
    // "qtsql:" and the name of an application's Qt connection, as SetConnection sets it.
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(std::string name);
    // Reads through a connection the application opened with Qt (QSqlDatabase::addDatabase),
    // on its thread, in place of a database name. The connection is found by its name when
    // the dataset opens, and opened then if it is closed.
    void SetConnection(const QSqlDatabase& connection);
    void SetConnectionName(const QString& connectionName);
    const std::string& TableName() const { return tableName_; }
    void SetTableName(std::string name);
    // Takes the data source of `other`: its database name, table name and wait limit. This
    // dataset must be closed.
    void CopySourceFrom(const TTable& other);
    std::unique_ptr<TDataSet> NewSourceCopy() const override;

    std::string SourceDescription() const override;

protected:
    std::unique_ptr<DataCursor> OpenCursor() override;

private:
    std::string databaseName_;
    std::string tableName_;
};

} // namespace zel
