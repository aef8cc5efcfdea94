// Registration of the statistics components with the form designer: both kinds on the
// "Vay Statistics" palette page, and the field-name editor for their StatFieldName.
#pragma once

#include "zelstats/design/Designer.h"

namespace zel {

// The palette page of the package's components.
inline constexpr const char* StatisticsPalettePage = "Vay Statistics";

// The two component kinds as the designer knows them.
const TComponentClass& RivuReviTableClass();
const TComponentClass& RivuReviQueryClass();

// StatFieldName as the designer reads and writes it on a statistics component of either kind.
TPublishedProperty StatFieldNameProperty();

// Called once by the designer when the package is installed: puts TRivuReviTable, then
// TRivuReviQuery, on the "Vay Statistics" page, and attaches TVarFieldProperty to the string
// property StatFieldName of each.
void Register();

} // namespace zel
