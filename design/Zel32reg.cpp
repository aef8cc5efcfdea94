#include "zelstats/design/Zel32reg.h"

#include "zelstats/design/ZelFieldProperty.h"
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"

#include <string>

namespace zel {

const TComponentClass& RivuReviTableClass()
{
    static const TComponentClass cls = TComponentClass::Of<TRivuReviTable>("TRivuReviTable");
    return cls;
}

const TComponentClass& RivuReviQueryClass()
{
    static const TComponentClass cls = TComponentClass::Of<TRivuReviQuery>("TRivuReviQuery");
    return cls;
}

TPublishedProperty StatFieldNameProperty()
{
    return {"StatFieldName", typeid(std::string),
            [](const TComponent& c) {
                const auto* s = dynamic_cast<const TStatistics*>(&c);
                return s != nullptr ? s->StatFieldName() : std::string();
            },
            [](TComponent& c, const std::string& value) {
                if (auto* s = dynamic_cast<TStatistics*>(&c))
                    s->SetStatFieldName(value);
            }};
}

void Register()
{
    const auto editor = TPropertyEditorClass::Of<TVarFieldProperty>("TVarFieldProperty");
    RegisterComponents(StatisticsPalettePage, {RivuReviTableClass()});
    RegisterComponents(StatisticsPalettePage, {RivuReviQueryClass()});
    RegisterPropertyEditor(typeid(std::string), RivuReviTableClass(), "StatFieldName", editor);
    RegisterPropertyEditor(typeid(std::string), RivuReviQueryClass(), "StatFieldName", editor);
}

} // namespace zel
