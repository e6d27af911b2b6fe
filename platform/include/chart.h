// Chart service: strip charts that take interleaved trace values, and their traces.
// LEDs are plain controls: SetCtrlVal 1 lights one, 0 darkens it.
#pragma once

#include "data_types.h"

enum TraceAttribute { ATTR_TRACE_COLOR = 1230 };

// Scroll modes of a strip chart (attribute ATTR_SCROLL_MODE, 1088).
enum ScrollMode { VAL_SWEEP = 0, VAL_CONTINUOUS = 1, VAL_BLOCK = 2 };

// Appends count values, the traces' values interleaved one time step after the other, starting
// at element startIndex and stepping over skip elements between time steps. Returns 0;
// UIE_PANEL_HANDLE, UIE_CONTROL_ID, UIE_ATTRIBUTE (not a strip chart) or UIE_VALUE_TYPE.
int PlotStripChart(int panel, int control, const void *values, int count, int startIndex, int skip,
                   int dataType);
// trace counts from 1. Returns 0; UIE_PANEL_HANDLE, UIE_CONTROL_ID, UIE_ATTRIBUTE (not a strip
// chart, or not ATTR_TRACE_COLOR) or UIE_VALUE_TYPE (no such trace, no such colour).
int SetTraceAttribute(int panel, int control, int trace, int attribute, int value);
