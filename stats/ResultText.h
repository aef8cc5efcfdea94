// The texts of the results, shared by the windows and the command line: the labels of the
// summary window and the cells of the class-frequency grid, with their number pictures.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace zel {

class TStatistics;

// The text of a statistic after its label: the value in the picture ("#.000"), or "undefined"
// when the value is not a number.
std::string StatisticText(const std::string& label, double value,
                          const char* picture = "#.000");

struct SummaryLine {
    const char* control; // the label of the summary window that shows the text
    std::string text;
};

// The fifteen label texts of the summary window, in the order the window fills them, from a
// component that has been summarised. An undefined statistic reads "undefined" after its
// label ("Skewness: undefined", with no sign).
std::vector<SummaryLine> SummaryLines(TStatistics& component);

// The headings of the class-frequency grid, and the cells of class i (1-based).
std::array<std::string, 6> ClassGridHeadings();
std::array<std::string, 6> ClassGridRow(const TStatistics& component, int i);

} // namespace zel
