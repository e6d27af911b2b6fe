// Panel value exchange, the chart history windows, the strip charts and the REF / TOL LEDs,
// the data-curve graph, parameter files and the correction table.
#pragma once

#include "exchange.h"

namespace kelvaro {

// The one way a status text reaches the operator: the status line.
void ShowStatus(const char *text);
// Progress of the flash programming: the words of the page taken so far, 0 at the end.
void ShowFlashProgress(int words);

void GetPanelValues(void);
void SetPanelValues(void);
void FillarrayNORM(int tol, int ref, int value);
void FillarrayRAW(int first, int second);

// The band and reference lines of the plots: upTHR and loTHR at reference +/- bandTolerance,
// the upper one at most top, the lower one at least 1; valREF the reference.
void SetPlotLines(int bandTolerance, int top);
void PlotRAWValues(void);
void PlotNORMValues(double window[400]);
void SetREFLed(unsigned int value);
// 1 when the LED (PANEL_REFLED or PANEL_TOLLED) is lit as shown, else 0.
int LedShown(int led);
void SetTOLLed(unsigned int value);

const int ARRAY_COUNT_ERROR = -20003; // count below 1
const int ARRAY_SHIFT_ERROR = -20102; // shift not below count in magnitude
int Copy1D(const double *input, int count, double *output);
int Shift(const double *input, int count, int shift, double *output);

// Saves the panel's parameter set to file_name; a failed save says why in the status line.
void SendParaToFile(void);
// Asks for a parameter file and loads it into pp and the variables. Returns 1 when loaded,
// 0 when the dialog was cancelled, -1 when the file was refused (nothing changes then and the
// status line says why).
int ReadParaFromFile(void);
// The sixteen words become pp and the parameter variables.
void TakeParameterWords(const Words &words);
// Loads the parameter file at path into pp and the variables. Returns 1, or -1 when the file was
// refused (the status line says why).
int LoadParameterSet(const char *path);

// Builds the correction table from the two columns of the file at path, writes "LTlinear.dat"
// to the current directory and cuts the table into flashp4 .. flashp7. Returns 0;
// TABLE_NOT_WRITTEN when the pages were cut but "LTlinear.dat" could not be written; or -1 when
// the file was refused: not read whole, a value that does not fit a word, a key outside 0..1023.
// The page arrays are then untouched, nothing is written, and the status line says why.
const int TABLE_NOT_WRITTEN = 1;
int ReadCorrData(const char *path);

// What a capture shows: the live values of its moment, and the curve with its band and reference
// line (the band at reference +/- tolerance, within 1..4095).
void PlotCapture(void);
// Draws a captured curve on the XY graph: curves A and B for RAW, the NORM curve with its
// tolerance band and reference line for NORM. Every array holds at least 128 words.
void PlotDATACurve(const unsigned short *curveA, const unsigned short *curveB,
                   const unsigned short *upper, const unsigned short *lower,
                   const unsigned short *referenceLine);

} // namespace kelvaro
