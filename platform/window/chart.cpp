// The strip chart service over the panel's KvStripChart controls.
#include "chart.h"

#include "panel.h"
#include "strip_chart.h"

// A count that is not a whole number of time steps is refused and nothing is appended, so an
// error never leaves a partial step in the traces.
int PlotStripChart(int panel, int control, const void *values, int count, int startIndex, int skip,
                   int dataType) {
    KvStripChart *chart = nullptr;
    if (const int error = FindPanelControl(panel, control, &chart))
        return error;
    const int traces = chart->traceCount();
    if (!values || count < 0 || startIndex < 0 || skip < 0 || !IsDataType(dataType) ||
        count % traces != 0)
        return UIE_VALUE_TYPE;
    const qint64 stride = qint64(traces) + skip;
    chart->appendSteps(count / traces, [&](qint64 step, int index) {
        return DataValue(values, dataType, startIndex + step * stride + index);
    });
    return 0;
}

int SetTraceAttribute(int panel, int control, int trace, int attribute, int value) {
    KvStripChart *chart = nullptr;
    if (const int error = FindPanelControl(panel, control, &chart))
        return error;
    if (attribute != ATTR_TRACE_COLOR)
        return UIE_ATTRIBUTE;
    if (trace < 1 || trace > chart->traceCount() || value < 0 || value > 0xFFFFFF)
        return UIE_VALUE_TYPE;
    chart->setTraceColour(trace, QRgb(value));
    return 0;
}
