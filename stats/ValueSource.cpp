#include "stats/ValueSource.h"

#include "platform/DataSet.h"

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
    std::size_t n = 0;
    while (n < capacity && !dataset_.Eof()) {
        if (field_ == nullptr)
            field_ = &dataset_.FieldByName(fieldName_);
        if (field_->ReadFloat(values[n]))
            ++n;
        dataset_.Next();
    }
    return n;
}

void TDataSetValues::Finish()
{
    narrowed_.reset();
    dataset_.First();
}

} // namespace zel
