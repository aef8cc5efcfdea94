// Where the statistics core reads its values: the non-null values of one field, in record
// order, as plain doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zel {

class TDataSet;
class TField;

class TValueSource {
public:
    virtual ~TValueSource() = default;

    // The number of records a walk visits, nulls included: progress is a share of it.
    virtual std::int64_t RecordCount() = 0;
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

} // namespace zel
