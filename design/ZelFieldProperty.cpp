#include "zelstats/design/ZelFieldProperty.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/gui/Dialogs.h"
#include "zelstats/data/Guards.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/tools/ZelTools.h"

#include <string>
#include <vector>

namespace zel {

namespace {

// The records a component stands for: a statistics component's own dataset, or the component
// itself when it is a dataset of another kind; null for anything else.
TDataSet* DataSourceOf(TComponent* component)
{
    if (auto* statistics = dynamic_cast<TStatistics*>(component))
        return &statistics->DataSet();
    return dynamic_cast<TDataSet*>(component);
}

} // namespace

TPropertyAttributes TVarFieldProperty::GetAttributes() const
{
    return {paValueList, paMultiSelect, paSortList};
}

void TVarFieldProperty::GetValues(const TGetStrProc& proc)
{
    std::vector<std::string> names;
    TDataSet* source = DataSourceOf(GetComponent(0));
    if (source == nullptr)
        return;

    // A data source opened for the listing is closed again on every way out of it, also when
    // a field lookup or the designer's callback fails in the middle.
    const TAtScopeExit restore([source, wasActive = source->Active()] {
        if (!wasActive && source->Active())
            source->Close();
    });
    if (!source->Active())
        source->Open();
    if (source->Active()) {
        source->GetFieldNames(names);
        for (const std::string& name : names)
            if (NumericField(&source->FieldByName(name)))
                proc(name);
    } else {
        MessageDlg("Please open the table first.", TMsgDlgType::mtInformation, mbOK);
    }
}

} // namespace zel
