// The sixteen parameter words in the order of the parameter image, with their panel labels; the
// three without a control are known by their position.
#include "parameter_words.h"

#include "KELVARO1V10.h"
#include "panel_ids.h"

namespace kelvaro {

const ParameterWord PARAMETER_WORDS[PARAMETER_WORD_COUNT] = {
    {"power", "Power", &power, PANEL_POWER},
    {"reference", "Reference", &reference, PANEL_REFERENCE},
    {"tolerance", "Tolerance", &tolerance, PANEL_TOLERANCE},
    {"hysteresis", "Hysteresis", &hysteresis, PANEL_HYSTERESIS},
    {"polarity", "Polarity", &polarity, PANEL_POLARITY},
    {"hold", "Hold", &hold, PANEL_HOLD},
    {"hwmode", "HW mode", &hwmode, PANEL_HWMODE},
    {"average", "Average", &average, PANEL_AVERAGE},
    {"evalmode", "Eval mode", &evalmode, PANEL_EVALMODE},
    {"maxmode", "Max mode", &maxmode, PANEL_MAXMODE},
    {"triglvl", "Trigger level", &triglvl, PANEL_TRIGLVL},
    {"trigmode", "Trigger mode", &trigmode, PANEL_TRIGMODE},
    {"sdelay", "Sensor delay", &sdelay, PANEL_SDELAY},
    {"para13", "word 13", &para13, 0},
    {"para14", "word 14", &para14, 0},
    {"para15", "word 15", &para15, 0},
};

std::string ParameterWordsJson(const unsigned short *words) {
    JsonArray array;
    for (int i = 0; i < PARAMETER_WORD_COUNT; ++i)
        array.add(int(words[i]));
    return array.text();
}

void AddParameterSet(JsonObject &object, const unsigned short *words) {
    object.addRaw("words", ParameterWordsJson(words));
    for (int i = 0; i < PARAMETER_WORD_COUNT; ++i)
        object.add(PARAMETER_WORDS[i].key, int(words[i]));
}

} // namespace kelvaro
