// Panel value exchange, and the live display: one answer becomes a time step on a strip chart,
// the numeric displays and the REF / TOL LEDs with their hysteresis.
#include "gui.h"

#include "KELVARO1V10.h"
#include "com232.h"
#include "panel_ids.h"
#include "parameter_words.h"

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
bool statusToStandardError = false;
std::string statusPrefix; // names the port when several processes share standard error

// The sixteen parameter variables as the array-file service takes them.
struct ParameterWords {
    unsigned int words[PNUM];
    ParameterWords() {
        CopyVarsToPP();
        for (int i = 0; i < PNUM; ++i)
            words[i] = pp[i];
    }
};
const int NORM_SCALE_TOP = 1000;
const int DATA_BAND_TOP = 4095;
const int RGB_BLACK = 0x000000;
const int RGB_RED = 0xFF0000;

// The thresholds are 16-bit words; a negative one compares as the signed number it is.
short Word(int value) {
    return static_cast<short>(static_cast<unsigned short>(value));
}

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

const int PARAMETER_FIELD_WIDTH = 4;
const int TABLE_FIELD_WIDTH = 6;

// The mean of two table entries as 32-bit signed arithmetic gives it, wrap-around included.
int Mean(int a, int b) {
    return static_cast<int>(static_cast<unsigned int>(static_cast<long long>(a) + b)) / 2;
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

// The operation's own text, then the file service's cause: which file, which line, what.
void ShowFileError(const char *text) {
    const std::string why = std::string(text) + ": " + GetArrayFileError();
    ShowStatus(why.c_str());
}

void SetLed(int led, int state) {
    SetCtrlVal(panelHandle, led, polarity == 1 ? state : 1 - state);
}

} // namespace

void ShowStatus(const char *text) {
    // The status line shows a text set again unchanged just once: so does standard error.
    static std::string lastEchoed;
    SetCtrlVal(panelHandle, PANEL_STATUS, text);
    if (statusToStandardError && lastEchoed != text) {
        std::fprintf(stderr, "%s%s\n", statusPrefix.c_str(), text);
        lastEchoed = text;
    }
}

std::string FileNameOf(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void EchoStatusToStandardError(const char *prefix) {
    statusToStandardError = true;
    statusPrefix = prefix;
}

std::string ShownStatus(void) {
    char text[STATUS_LEN * 2] = "";
    GetCtrlVal(panelHandle, PANEL_STATUS, text, sizeof text);
    return text;
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
    int state = 0;
    if (long(value) >= refTHD) {
        state = 1;
        refTHD = Word(reference);
    } else {
        refTHD = Word(reference + hysteresis);
    }
    SetLed(PANEL_REFLED, state);
}

int LedShown(int led) {
    int lit = 0;
    GetCtrlVal(panelHandle, led, &lit);
    return lit;
}

void SetTOLLed(unsigned int value) {
    int state = 0;
    if (long(value) > upTHD) {
        upTHD = Word(reference + tolerance - hysteresis);
    } else {
        upTHD = Word(reference + tolerance);
        if (long(value) < lowTHD) {
            lowTHD = Word(reference - tolerance + hysteresis);
        } else {
            state = 1;
            lowTHD = Word(reference - tolerance);
        }
    }
    SetLed(PANEL_TOLLED, state);
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
    if (WriteParameterSet(file_name, VAL_TRUNCATE) != 0)
        ShowFileError("Error writing parameter-file!");
}

int WriteParameterSet(const char *path, int action) {
    ParameterWords working;
    return ArrayToFile(path, working.words, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                       VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, PARAMETER_FIELD_WIDTH, VAL_ASCII,
                       action);
}

std::string ParameterSetText(void) {
    ParameterWords working;
    char text[PNUM * 16];
    ArrayToString(text, sizeof text, working.words, VAL_UNSIGNED_INTEGER, PNUM, 1,
                  VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH,
                  PARAMETER_FIELD_WIDTH);
    return text;
}

int ReadParaFromFile(void) {
    if (FileSelectPopup(proj_dir, PARAMETER_FILE, PARAMETER_FILE_TYPES, PARAMETER_FILE_TITLE,
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, file_name) <= 0)
        return 0;
    return LoadParameterSet(file_name);
}

int ReadParameterFile(const char *path, unsigned short words[PNUM]) {
    // Read as words: a number that does not fit one is refused, never cut to its low 16 bits.
    if (FileToArray(path, words, VAL_UNSIGNED_SHORT_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) != 0) {
        ShowFileError("Error reading parameter-file!");
        return 0;
    }
    return 1;
}

void TakeParameterWords(const unsigned short words[PNUM]) {
    std::copy(words, words + PNUM, pp);
    CopyPPtoVars();
}

int LoadParameterSet(const char *path) {
    unsigned short words[PNUM];
    if (!ReadParameterFile(path, words))
        return -1;
    TakeParameterWords(words);
    return 1;
}

int CaptureOntoGraph(int source) {
    SetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, source);
    const int whole = CaptureCurve(source);
    PlotCapture();
    return whole;
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
    // Read as words: every value must reach the flash as the table in "LTlinear.dat" shows it.
    static unsigned short columns[2 * CORRECTION_KEYS];
    if (FileToArray(path, columns, VAL_UNSIGNED_SHORT_INTEGER, 2 * CORRECTION_KEYS, 2,
                    VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII) != 0) {
        ShowFileError("Error reading correction-file!");
        return -1;
    }
    for (int row = 0; row < CORRECTION_KEYS; ++row) {
        const int rowKey = columns[CORRECTION_KEYS + row];
        if (rowKey >= CORRECTION_KEYS) {
            const std::string why = std::string("Error reading correction-file!: ") +
                                    FileNameOf(path) + " line " +
                                    std::to_string(ArrayFileLineOfRow(row)) + ": key " +
                                    std::to_string(rowKey) + " is outside 0..1023";
            ShowStatus(why.c_str());
            return -1;
        }
    }
    return TakeCorrTable(columns);
}

int TakeCorrTable(const unsigned short *columns) {
    static int value[CORRECTION_KEYS], key[CORRECTION_KEYS], table[CORRECTION_KEYS];
    for (int i = 0; i < CORRECTION_KEYS; ++i) {
        value[i] = columns[i];
        // The key column is read from the bottom up.
        key[i] = columns[2 * CORRECTION_KEYS - 1 - i];
        table[i] = 0;
    }
    for (int i = 0; i < CORRECTION_KEYS; ++i)
        table[key[i]] = value[i];
    for (int j = 1; j < CORRECTION_KEYS; ++j)
        if (table[j] == 0)
            table[j] = table[j - 1];
    for (int j = 1; j < CORRECTION_KEYS - 1; ++j)
        if (table[j] < table[j - 1])
            table[j] =
                table[j + 1] > table[j - 1] ? Mean(table[j + 1], table[j - 1]) : table[j - 1];
    if (table[CORRECTION_KEYS - 1] < table[CORRECTION_KEYS - 2])
        table[CORRECTION_KEYS - 1] = table[CORRECTION_KEYS - 2];

    for (int i = 0; i < CORRECTION_KEYS; ++i) {
        vcorr[i] = i;
        vcorr[CORRECTION_KEYS + i] = key[i];
        vcorr[2 * CORRECTION_KEYS + i] = table[i];
    }
    const int written = ArrayToFile("LTlinear.dat", vcorr, VAL_INTEGER, 3 * CORRECTION_KEYS, 3,
                                    VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH,
                                    TABLE_FIELD_WIDTH, VAL_ASCII, VAL_TRUNCATE);
    int *const pages[] = {flashp4, flashp5, flashp6, flashp7};
    for (int page = 0; page < 4; ++page)
        for (int k = 0; k < 256; ++k)
            pages[page][k] = table[256 * page + k];
    if (written == 0)
        return 0;
    ShowFileError("Error writing LTlinear.dat!");
    return TABLE_NOT_WRITTEN;
}

} // namespace kelvaro
