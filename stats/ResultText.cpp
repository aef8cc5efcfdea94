#include "zelstats/stats/ResultText.h"

#include "zelstats/tools/Format.h"
#include "zelstats/stats/ZelStats.h"

#include <cmath>

namespace zel {

std::string StatisticText(const std::string& label, double value, const char* picture)
{
    // The engine gives NaN for what is undefined; an infinity would be no better a number, so
    // it reads the same way rather than as whatever the picture makes of it.
    if (!std::isfinite(value))
        return label + "undefined";
    return label + FormatFloat(picture, value);
}

std::vector<SummaryLine> SummaryLines(TStatistics& c)
{
    std::vector<SummaryLine> lines;
    lines.push_back({"labTableName", c.SourceLine()});
    lines.push_back({"labFieldName", "Field Analyzed: " + c.StatFieldName()});
    lines.push_back({"labCount", "Record Count: " + IntToStr(c.GetdsDataCount())});
    lines.push_back({"labMean", StatisticText("Mean: ", c.GetdsMean())});
    lines.push_back({"labMin", StatisticText("Minimum: ", c.Minimum())});
    lines.push_back({"labMax", StatisticText("Maximum: ", c.Maximum())});
    lines.push_back({"labMode", StatisticText("Mode: ", c.GetdsMode())});
    lines.push_back({"labMedian", StatisticText("Median: ", c.GetdsMedian())});
    lines.push_back({"labTotal", StatisticText("Total: ", c.GetdsTotal())});
    lines.push_back({"labCoeff", StatisticText("Coeff of Variation: ", c.GetdsCoeffVariation())});
    lines.push_back({"labRange", StatisticText("Range: ", c.GetdsRange())});
    lines.push_back({"labVariance", StatisticText("Variance: ", c.GetdsVariance())});
    lines.push_back({"labStdDev", StatisticText("Standard Deviation: ", c.GetdsStdDev())});
    // The skewness is the squared moment coefficient and has no sign of its own; the sign of
    // the third moment follows it. An undefined skewness has no direction to report.
    const double skew = c.GetdsSkew();
    std::string skewText = StatisticText("Skewness: ", skew);
    if (std::isfinite(skew))
        skewText += " " + c.GetdsSkewSign();
    lines.push_back({"labSkew", skewText});
    lines.push_back({"labKurtosis", StatisticText("Kurtosis: ", c.GetdsKurtosis())});
    return lines;
}

std::array<std::string, 6> ClassGridHeadings()
{
    return {"Class", "Class Min", "Class Max", "Class Freq", "Percentage", "Cumulative %"};
}

std::array<std::string, 6> ClassGridRow(const TStatistics& c, int i)
{
    return {IntToStr(i),
            StatisticText("", c.GetdsClassStart(i), "000.000"),
            StatisticText("", c.GetdsClassEnd(i), "000.000"),
            IntToStr(c.GetdsClassCount(i)),
            StatisticText("", c.GetdsClassPercent(i), "#000.00"),
            StatisticText("", c.GetdsClassCumPercent(i), "000.000")};
}

} // namespace zel
