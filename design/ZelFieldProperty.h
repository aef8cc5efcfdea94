// The designer's editor of StatFieldName: a drop-down list of the numeric field names of the
// component's own data, so that a developer picks the analysed field instead of typing it.
#pragma once

#include "zelstats/design/Designer.h"

namespace zel {

class TVarFieldProperty : public TStringProperty {
public:
    using TStringProperty::TStringProperty;

    // {paValueList, paMultiSelect, paSortList}: bits 0, 3 and 5, the value 41. With several
    // components selected the list is that of the first.
    TPropertyAttributes GetAttributes() const override;

    // Offers each numeric field of the first selected component's data source, in the data
    // source's field order. A closed data source is opened for the listing and closed again,
    // also when the listing fails; one that stays closed (nothing to open) is reported with
    // "Please open the table first." and offers nothing. A failure of the data-access layer
    // reaches the caller.
    void GetValues(const TGetStrProc& proc) override;
};

} // namespace zel
