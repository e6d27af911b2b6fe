// XY graph service: plots of x/y arrays with their styles, axes, and the removal of plots.
#pragma once

#include "data_types.h"

enum PlotStyle { VAL_THIN_LINE = 0, VAL_SCATTER = 1, VAL_CONNECTED_POINTS = 2, VAL_FAT_LINE = 5 };
enum LineStyle { VAL_SOLID = 0, VAL_DASH = 1, VAL_DOT = 2 };
enum PointStyle { VAL_SIMPLE_DOT = 10 };
enum Axis { VAL_XAXIS = 0, VAL_LEFT_YAXIS = 1 };
enum AxisScaling { VAL_MANUAL = 0, VAL_AUTOSCALE = 1 };
enum { VAL_DELAYED_DRAW = 0, VAL_IMMEDIATE_DRAW = 1 };

// x and y of numberOfPoints values each, of the types of data_types.h. Returns the plot's
// handle (> 0) or a PanelError.
int PlotXY(int panel, int control, const void *xArray, const void *yArray, int numberOfPoints,
           int xDataType, int yDataType, int plotStyle, int pointStyle, int lineStyle,
           int pointFrequency, int colour);
// plotHandle -1 removes every plot. Returns 0, or a PanelError (UIE_VALUE_TYPE: no such plot).
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
// VAL_MANUAL takes min < max; VAL_AUTOSCALE fits the data. Returns 0, or a PanelError.
int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max);
