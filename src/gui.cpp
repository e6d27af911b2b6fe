// Panel value exchange: the thirteen parameter controls and their variables, and the resets
// of the chart history windows.
#include "gui.h"

#include "KELVARO1V10.h"
#include "panel_ids.h"

#include "panel.h"

namespace kelvaro {

namespace {

struct ParameterControl {
    int control;
    unsigned short *variable;
};

const ParameterControl PANEL_PARAMETERS[] = {
    {PANEL_POWER, &power},           {PANEL_REFERENCE, &reference}, {PANEL_TOLERANCE, &tolerance},
    {PANEL_HYSTERESIS, &hysteresis}, {PANEL_POLARITY, &polarity},   {PANEL_HOLD, &hold},
    {PANEL_HWMODE, &hwmode},         {PANEL_AVERAGE, &average},     {PANEL_EVALMODE, &evalmode},
    {PANEL_MAXMODE, &maxmode},       {PANEL_TRIGLVL, &triglvl},     {PANEL_TRIGMODE, &trigmode},
    {PANEL_SDELAY, &sdelay}};

} // namespace

void GetPanelValues(void) {
    for (const ParameterControl &p : PANEL_PARAMETERS)
        GetCtrlVal(panelHandle, p.control, p.variable);
}

void SetPanelValues(void) {
    for (const ParameterControl &p : PANEL_PARAMETERS)
        SetCtrlVal(panelHandle, p.control, static_cast<int>(*p.variable));
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

} // namespace kelvaro
