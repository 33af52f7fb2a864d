// The shared look of the kit and the viewer: every colour and font family in one place.
#pragma once

#include "glue/glue.hpp"

namespace look {

inline const char* const kDark = "#2b2b2b";           // cells, buttons, chart background
inline const char* const kReadOnly = "#353638";       // read-only cells
inline const char* const kReadOnlyBorder = "#53575a";
inline const char* const kText = "white";
inline const char* const kChartTicks = "#D0D0D0";
inline const char* const kChartLine = "#3B8ED0";      // a chart's line when the caller names none
inline const char* const kPickedDay = "#9D9D9D";      // the calendar's chosen day

inline const char* const kTitleFamily = "Microsoft JhengHei";
inline const int kTitleSize = 15;
inline const char* const kCalendarFamily = "Arial";

// The map's credit line: dark on a light box, readable on light and dark tiles.
inline const char* const kCreditFamily = "Arial";
inline const int kCreditPixels = 11;
inline const char* const kCreditText = "#333333";
inline const char* const kCreditBox = "#FFFFFF";

}  // namespace look
