// The interactive demo of `zelstat gui`: a small designer with the "Vay Statistics" palette
// page, an inspector for the published properties of one statistics component, and the form
// it runs on, whose buttons open the component's three windows.
#pragma once

#include <string>

namespace zel {

// Opens the demo on the database `sampleDb` (a file path or a postgresql:// URI) and returns
// the application's exit code when the user closes it. Uses the running QApplication or
// makes one.
//
// With a non-empty `screenshotDir` the demo runs unattended instead: it shows its window,
// opens the StatFieldName drop-down, then the summary, class-frequency and plot windows in
// turn, saves each as a PNG in that folder (demo.png, statfieldname.png, output.png,
// frequency.png, chart.png, chart-histogram.png, then query.png with the query kind picked
// from the palette), answers every message box by itself, and
// returns 0 when every picture was written.
int RunDemo(const std::string& sampleDb, const std::string& screenshotDir = {});

} // namespace zel
