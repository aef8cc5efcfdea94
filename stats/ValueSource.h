// Where the statistics core reads its values: the non-null values of one field, in record
// order, as plain doubles.
#pragma once

#include "zelstats/stats/Spool.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zel {

class TDataSet;
class TField;

class TValueSource {
public:
    virtual ~TValueSource() = default;

    // The number of records a walk visits, nulls included: progress is a share of it.
    virtual std::int64_t RecordCount() = 0;
    // Whether a walk visits more than `limit` records; a source that can tell without counting
    // them all says so sooner.
    virtual bool MoreRecordsThan(std::int64_t limit) { return RecordCount() > limit; }
    // Goes to the first record; a walk starts here.
    virtual void Start() = 0;
    // Puts up to `capacity` further values into `values` and returns how many; 0 at the end.
    virtual std::size_t Read(double* values, std::size_t capacity) = 0;
    // The walk completed: the source goes back to its first record.
    virtual void Finish() = 0;
};

// The values of one field of a dataset. While it lives the dataset's bound controls are
// disabled, and the dataset is asked for that field alone where it can be.
class TDataSetValues : public TValueSource {
public:
    TDataSetValues(TDataSet& dataset, std::string fieldName);
    ~TDataSetValues() override;
    TDataSetValues(const TDataSetValues&) = delete;
    TDataSetValues& operator=(const TDataSetValues&) = delete;

    std::int64_t RecordCount() override;
    bool MoreRecordsThan(std::int64_t limit) override;
    void Start() override;
    std::size_t Read(double* values, std::size_t capacity) override;
    void Finish() override;

private:
    class FieldWalk;

    TDataSet& dataset_;
    std::string fieldName_;
    std::unique_ptr<FieldWalk> narrowed_;
    // Looked up at the first record that is read, as the field cannot change during a walk.
    const TField* field_ = nullptr;
};

// The values a load kept in its spool, read again in the same order. The record count is the
// one the load saw, so that a pass reports the same progress as a walk of the records would.
class TSpoolValues : public TValueSource {
public:
    TSpoolValues(const TSpool& spool, std::int64_t recordCount);

    std::int64_t RecordCount() override { return recordCount_; }
    void Start() override;
    // Throws ESpoolError when the spool's temporary file cannot be read back.
    std::size_t Read(double* values, std::size_t capacity) override;
    void Finish() override;

private:
    const TSpool& spool_;
    std::int64_t recordCount_;
    std::optional<TSpool::TReader> reader_;
};

} // namespace zel
