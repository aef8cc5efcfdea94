// Includes the application's own platform/DataSet.h, data/DataSet.h and stats/ZelStats.h beside
// the package's headers, both ways round, and uses both.
#include "data/DataSet.h"
#include "platform/DataSet.h"
#include "stats/ZelStats.h"

#include <zelstats/components/ZelTable.h>
#include <zelstats/stats/SourceStatistics.h>

static_assert(APP_DATA_DATASET_H && APP_PLATFORM_DATASET_H && APP_STATS_ZELSTATS_H);

int main()
{
    AppDATADATASETH data;
    AppPLATFORMDATASETH platform;
    AppSTATSZELSTATSH stats;
    (void)data;
    (void)platform;
    (void)stats;
    zel::TComponent owner;
    auto* table = new zel::TRivuReviTable(&owner);
    table->SetTableName("EMPLOYEE");
    return table->StatFieldName().empty() ? 0 : 1;
}
