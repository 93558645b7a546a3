#pragma once
// The chart window of the window program: the recorder's six series over a span of time.
#include "platform/types.h"

// Opens the chart beside main, at the place the settings file kept, or brings it forward.
void OpenChartWindow(platform::Wnd main);
