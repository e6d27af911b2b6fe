// The XY graph service over the panel's KvXYGraph controls.
#include "graph.h"

#include "panel.h"
#include "strip_chart.h"
#include "xy_graph.h"

namespace {

QVector<double> convert(const void *values, int dataType, int count) {
    QVector<double> converted(count);
    for (int i = 0; i < count; ++i)
        converted[i] = DataValue(values, dataType, i);
    return converted;
}

} // namespace

int PlotXY(int panel, int control, const void *xArray, const void *yArray, int numberOfPoints,
           int xDataType, int yDataType, int plotStyle, int pointStyle, int lineStyle,
           int pointFrequency, int colour) {
    KvXYGraph *graph = nullptr;
    if (const int error = FindPanelControl(panel, control, &graph))
        return error;
    if (!xArray || !yArray || numberOfPoints < 0 || !IsDataType(xDataType) ||
        !IsDataType(yDataType) || colour < 0)
        return UIE_VALUE_TYPE;
    KvXYGraph::Plot plot;
    plot.x = convert(xArray, xDataType, numberOfPoints);
    plot.y = convert(yArray, yDataType, numberOfPoints);
    plot.plotStyle = plotStyle;
    plot.pointStyle = pointStyle;
    plot.lineStyle = lineStyle;
    plot.pointFrequency = pointFrequency;
    plot.colour = QRgb(colour);
    return graph->addPlot(plot);
}

// Every redraw waits for the next screen frame, so refresh has nothing to choose.
int DeleteGraphPlot(int panel, int control, int plotHandle, int) {
    KvXYGraph *graph = nullptr;
    if (const int error = FindPanelControl(panel, control, &graph))
        return error;
    if (plotHandle == -1) {
        graph->deleteAllPlots();
        return 0;
    }
    return graph->deletePlot(plotHandle) ? 0 : UIE_VALUE_TYPE;
}

int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max) {
    KvXYGraph *graph = nullptr;
    if (const int error = FindPanelControl(panel, control, &graph))
        return error;
    return graph->setAxisScaling(axis, mode, min, max);
}
