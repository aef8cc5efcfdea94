#include "zelstats/stats/ValueSource.h"

#include "zelstats/data/DataSet.h"

namespace zel {

class TDataSetValues::FieldWalk : public TDataSet::TFieldWalk {
    using TDataSet::TFieldWalk::TFieldWalk;
};

TDataSetValues::TDataSetValues(TDataSet& dataset, std::string fieldName)
    : dataset_(dataset), fieldName_(std::move(fieldName))
{
    dataset_.DisableControls();
}

TDataSetValues::~TDataSetValues()
{
    narrowed_.reset();
    dataset_.EnableControls();
}

std::int64_t TDataSetValues::RecordCount() { return dataset_.RecordCount(); }

bool TDataSetValues::MoreRecordsThan(std::int64_t limit) { return dataset_.MoreRecordsThan(limit); }

void TDataSetValues::Start()
{
    // A field missing from the dataset is reported at its first record, as a lookup there
    // would; until then the walk reads every column.
    if (narrowed_ == nullptr && dataset_.Active()) {
        if (const TField* field = dataset_.FindField(fieldName_))
            narrowed_ = std::make_unique<FieldWalk>(dataset_, *field);
    }
    field_ = nullptr;
    dataset_.First();
}

std::size_t TDataSetValues::Read(double* values, std::size_t capacity)
{
    if (dataset_.Eof())
        return 0;
    if (field_ == nullptr)
        field_ = &dataset_.FieldByName(fieldName_);
    return dataset_.ReadFloats(*field_, values, capacity);
}

void TDataSetValues::Finish()
{
    narrowed_.reset();
    dataset_.First();
}

TSpoolValues::TSpoolValues(const TSpool& spool, std::int64_t recordCount)
    : spool_(spool), recordCount_(recordCount)
{
}

void TSpoolValues::Start() { reader_.emplace(spool_); }

std::size_t TSpoolValues::Read(double* values, std::size_t capacity)
{
    return reader_ ? reader_->Read(values, capacity) : 0;
}

void TSpoolValues::Finish() { reader_.reset(); }

} // namespace zel
