// uPlot (MIT licence), embedded whole into every page the report writes.
#pragma once

namespace qbnotify::report {
extern const char* const kUPlotScript;   // dist/uPlot.iife.min.js
extern const char* const kUPlotStyle;    // dist/uPlot.min.css
extern const char* const kUPlotLicense;  // LICENSE
}  // namespace qbnotify::report
