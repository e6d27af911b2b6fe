// Panel value exchange, and the live display: one answer becomes a time step on a strip chart,
// the numeric displays and the REF / TOL LEDs with their hysteresis.
#include "gui.h"

#include "KELVARO1V10.h"
#include "com232.h"
#include "panel_ids.h"
#include "parameter_words.h"
#include "readings.h"
#include "set_files.h"

#include "arrayfile.h"
#include "chart.h"
#include "filedialog.h"
#include "graph.h"
#include "panel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace kelvaro {

namespace {

const int POINTS_PER_SCREEN = 101;
const int NORM_SCALE_TOP = 1000;
const int DATA_BAND_TOP = 4095;
const int RGB_BLACK = 0x000000;
const int RGB_RED = 0xFF0000;

void CopyLiveWords(void) {
    valNORM = pp[0];
    adcCHA = pp[1];
    adcCHB = pp[2];
    Amax = pp[3];
    Bmax = pp[4];
    UPval = pp[5];
    LOval = pp[6];
    tolval = pp[7];
    btnval = pp[8];
}

void ShowLiveValues(int toleranceShown) {
    SetCtrlVal(panelHandle, PANEL_VALNORM, valNORM);
    SetCtrlVal(panelHandle, PANEL_ADCCHA, adcCHA);
    SetCtrlVal(panelHandle, PANEL_ADCCHB, adcCHB);
    SetCtrlVal(panelHandle, PANEL_AMAX, Amax);
    SetCtrlVal(panelHandle, PANEL_UPVAL, UPval);
    SetCtrlVal(panelHandle, PANEL_LOVAL, LOval);
    SetCtrlVal(panelHandle, PANEL_TOLERANCE, toleranceShown);
}

void SetUpStripChart(int chart, int traces) {
    SetCtrlAttribute(panelHandle, chart, ATTR_POINTS_PER_SCREEN, POINTS_PER_SCREEN);
    SetCtrlAttribute(panelHandle, chart, ATTR_SCROLL_MODE, VAL_CONTINUOUS);
    SetCtrlAttribute(panelHandle, chart, ATTR_NUM_TRACES, traces);
}

const int RGB_GREEN = 0x00FF00;
const int RGB_BLUE = 0x0000FF;

void PlotCurve(const unsigned short *y, int plotStyle, int lineStyle, int colour) {
    PlotXY(panelHandle, PANEL_GRAPH, xArray, y, CURVE_POINTS, VAL_UNSIGNED_SHORT_INTEGER,
           VAL_UNSIGNED_SHORT_INTEGER, plotStyle, VAL_SIMPLE_DOT, lineStyle, 1, colour);
}

void NameYAxis(const char *name) {
    SetCtrlAttribute(panelHandle, PANEL_GRAPH, ATTR_YNAME, name);
    SetAxisScalingMode(panelHandle, PANEL_GRAPH, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, 1000.0);
}

void SetLed(int led, int state) {
    SetCtrlVal(panelHandle, led, IndicatorLit(state, polarity));
}

} // namespace

void ShowStatus(const char *text) {
    SetCtrlVal(panelHandle, PANEL_STATUS, text);
}

void ShowFlashProgress(int words) {
    SetCtrlVal(panelHandle, PANEL_VALNORM, words);
}

void GetPanelValues(void) {
    for (const ParameterWord &word : PARAMETER_WORDS)
        if (word.control)
            GetCtrlVal(panelHandle, word.control, word.variable);
}

void SetPanelValues(void) {
    for (const ParameterWord &word : PARAMETER_WORDS)
        if (word.control)
            SetCtrlVal(panelHandle, word.control, static_cast<int>(*word.variable));
}

void FillarrayNORM(int tol, int ref, int value) {
    for (int k = 0; k < 100; ++k) {
        arrayNORM[4 * k] = ref + tol;
        arrayNORM[4 * k + 1] = ref - tol;
        arrayNORM[4 * k + 2] = ref;
        arrayNORM[4 * k + 3] = value;
    }
}

void FillarrayRAW(int first, int second) {
    for (int k = 0; k < 100; ++k) {
        arrayRAW[2 * k] = first;
        arrayRAW[2 * k + 1] = second;
    }
}

void SetPlotLines(int bandTolerance, int top) {
    upTHR = reference + bandTolerance;
    loTHR = reference - bandTolerance;
    valREF = reference;
    if (upTHR > top)
        upTHR = top;
    if (loTHR < 1)
        loTHR = 1;
}

void PlotRAWValues(void) {
    Shift(arrayRAW, 200, -2, arrayRAW);
    CopyLiveWords();
    arrayRAW[198] = adcCHA;
    arrayRAW[199] = adcCHB;
    SetUpStripChart(PANEL_RAWCHART, 2);
    PlotStripChart(panelHandle, PANEL_RAWCHART, arrayRAW, 200, 0, 0, VAL_DOUBLE);
    ShowLiveValues(tolval);
    SetREFLed(valNORM);
    SetTOLLed(valNORM);
}

void PlotNORMValues(double window[400]) {
    Shift(window, 400, -4, window);
    CopyLiveWords();
    unsigned short hwmodeShown = 0;
    GetCtrlVal(panelHandle, PANEL_HWMODE, &hwmodeShown);
    const int effectiveTolerance =
        (hwmodeShown == 0 || hwmodeShown == 2) ? int(tolerance) : int(tolval);
    SetPlotLines(effectiveTolerance, NORM_SCALE_TOP);
    window[396] = upTHR;
    window[397] = loTHR;
    window[398] = valREF;
    window[399] = valNORM;
    SetUpStripChart(PANEL_NORMCHART, 4);
    for (int trace = 1; trace <= 3; ++trace)
        SetTraceAttribute(panelHandle, PANEL_NORMCHART, trace, ATTR_TRACE_COLOR, RGB_BLACK);
    SetTraceAttribute(panelHandle, PANEL_NORMCHART, 4, ATTR_TRACE_COLOR, RGB_RED);
    PlotStripChart(panelHandle, PANEL_NORMCHART, window, 400, 0, 0, VAL_DOUBLE);
    ShowLiveValues(effectiveTolerance);
    SetREFLed(valNORM);
    SetTOLLed(valNORM);
}

void SetREFLed(unsigned int value) {
    SetLed(PANEL_REFLED, ReferenceState(value, refTHD, reference, hysteresis));
}

int LedShown(int led) {
    int lit = 0;
    GetCtrlVal(panelHandle, led, &lit);
    return lit;
}

void SetTOLLed(unsigned int value) {
    SetLed(PANEL_TOLLED, ToleranceState(value, upTHD, lowTHD, reference, tolerance, hysteresis));
}

int Copy1D(const double *input, int count, double *output) {
    if (count < 1)
        return ARRAY_COUNT_ERROR;
    for (int i = 0; i < count; ++i)
        output[i] = input[i];
    return 0;
}

int Shift(const double *input, int count, int shift, double *output) {
    if (count < 1)
        return ARRAY_COUNT_ERROR;
    if (shift <= -count || shift >= count)
        return ARRAY_SHIFT_ERROR;
    if (shift == 0)
        return Copy1D(input, count, output);
    // The copying directions let input and output be the same array.
    if (shift > 0) {
        for (int i = count - 1; i >= shift; --i)
            output[i] = input[i - shift];
        for (int i = shift - 1; i >= 0; --i)
            output[i] = 0.0;
    } else {
        const int s = -shift;
        for (int i = 0; i <= count - s - 1; ++i)
            output[i] = input[i + s];
        for (int i = count - 1; i >= count - s; --i)
            output[i] = 0.0;
    }
    return 0;
}

void SendParaToFile(void) {
    GetPanelValues();
    CopyVarsToPP();
    std::string why;
    if (!WriteParameterFile(file_name, Image(), VAL_TRUNCATE, &why))
        ShowStatus(why.c_str());
}

int ReadParaFromFile(void) {
    if (FileSelectPopup(proj_dir, PARAMETER_FILE, PARAMETER_FILE_TYPES, PARAMETER_FILE_TITLE,
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, file_name) <= 0)
        return 0;
    return LoadParameterSet(file_name);
}

void TakeParameterWords(const Words &words) {
    std::copy(words.begin(), words.end(), pp);
    CopyPPtoVars();
}

int LoadParameterSet(const char *path) {
    Words words;
    std::string why;
    if (!ReadParameterFile(path, words, &why)) {
        ShowStatus(why.c_str());
        return -1;
    }
    TakeParameterWords(words);
    return 1;
}

void PlotCapture(void) {
    PlotRAWValues();
    SetPlotLines(tolerance, DATA_BAND_TOP);
    for (int i = 0; i < CURVE_POINTS; ++i) {
        upArray[i] = static_cast<unsigned short>(upTHR);
        loArray[i] = static_cast<unsigned short>(loTHR);
        refArray[i] = valREF;
    }
    PlotDATACurve(yArrayA, yArrayB, upArray, loArray, refArray);
}

void PlotDATACurve(const unsigned short *curveA, const unsigned short *curveB,
                   const unsigned short *upper, const unsigned short *lower,
                   const unsigned short *referenceLine) {
    SetCtrlAttribute(panelHandle, PANEL_RAWCHART, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_NORMCHART, ATTR_VISIBLE, 0);
    SetAxisScalingMode(panelHandle, PANEL_GRAPH, VAL_XAXIS, VAL_MANUAL, 1.0, 128.0);
    DeleteGraphPlot(panelHandle, PANEL_GRAPH, -1, VAL_IMMEDIATE_DRAW);
    int source = 0;
    GetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, &source);
    if (source == 0) {
        NameYAxis("RAW-values / [ADC-units]");
        PlotCurve(curveA, VAL_FAT_LINE, VAL_SOLID, RGB_GREEN);
        PlotCurve(curveB, VAL_FAT_LINE, VAL_SOLID, RGB_BLUE);
    } else if (source == 1) {
        NameYAxis("NORM=1000*(A/Amax)");
        PlotCurve(upper, VAL_THIN_LINE, VAL_SOLID, RGB_BLACK);
        PlotCurve(lower, VAL_THIN_LINE, VAL_SOLID, RGB_BLACK);
        PlotCurve(curveA, VAL_FAT_LINE, VAL_SOLID, RGB_RED);
        PlotCurve(referenceLine, VAL_THIN_LINE, VAL_DASH, RGB_BLACK);
    }
}

int ReadCorrData(const char *path) {
    static unsigned short columns[CORRECTION_COLUMNS];
    static int table[CORRECTION_KEYS];
    std::string why;
    if (!ReadCorrectionFile(path, columns, &why)) {
        ShowStatus(why.c_str());
        return -1;
    }
    const bool written = BuildCorrectionTable(columns, table, TABLE_FILE, &why);
    int *const pages[] = {flashp4, flashp5, flashp6, flashp7};
    for (int page = 0; page < FLASH_PAGES; ++page)
        std::copy(table + page * FLASH_PAGE_WORDS, table + (page + 1) * FLASH_PAGE_WORDS,
                  pages[page]);
    if (written)
        return 0;
    ShowStatus(why.c_str());
    return TABLE_NOT_WRITTEN;
}

} // namespace kelvaro
