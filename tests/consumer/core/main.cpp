// Summarises one field of a table and prints its mean, through the statistics core alone.
//
//     core-consumer DATABASE [TABLE FIELD]     (default: EMPLOYEE SALARY)
#include <zelstats/Version.h>
#include <zelstats/stats/SourceStatistics.h>

#include <exception>
#include <iostream>

static_assert(ZELSTATS_VERSION_MAJOR == 1 && ZELSTATS_VERSION_MINOR >= 1);

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        std::cerr << "usage: core-consumer DATABASE [TABLE FIELD]\n";
        return 2;
    }
    try {
        zel::TTableStatistics statistics;
        statistics.SetDatabaseName(argv[1]);
        statistics.SetTableName(argc == 4 ? argv[2] : "EMPLOYEE");
        statistics.SetStatFieldName(argc == 4 ? argv[3] : "SALARY");
        statistics.SetShowCalcProgress(zel::TBoolPlus::Never); // nobody to ask
        statistics.Open();
        statistics.Summarize();
        std::cout << "zelstats " << ZELSTATS_VERSION_STRING << " mean " << statistics.GetdsMean()
                  << "\n";
    } catch (const std::exception& e) {
        std::cerr << "core-consumer: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
