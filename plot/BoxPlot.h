// Box plots of described fields, for a quick look at their spread: one panel per field on a
// scale of its own, one horizontal box per group (or one for the whole field), with the
// whiskers at the minimum and maximum, the box from q1 to q3, the median as a bar and the mean
// as a diamond.
#pragma once

#include "zelstats/stats/Describe.h"

#include <QImage>

#include <vector>

class QPainter;

namespace zel {

// The size of the picture of these rows.
QSize BoxPlotSize(const std::vector<TDescribeRow>& rows);
// Draws the rows' box plots on `painter`, which covers BoxPlotSize(rows). Rows of one field are
// consecutive, as Describe gives them.
void DrawBoxPlots(QPainter& painter, const std::vector<TDescribeRow>& rows);
// The box plots drawn on a white image. Needs a QGuiApplication for its fonts.
QImage BoxPlotImage(const std::vector<TDescribeRow>& rows);

} // namespace zel
