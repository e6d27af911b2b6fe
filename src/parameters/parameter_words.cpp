// The sixteen parameter words in the order of the parameter image, with their panel labels and
// defaults; the three without a control are known by their position.
#include "parameter_words.h"

#include "KELVARO1V10.h"
#include "panel_ids.h"

namespace kelvaro {

const ParameterWord PARAMETER_WORDS[PARAMETER_WORD_COUNT] = {
    {"power", "Power", &power, PANEL_POWER, 500},
    {"reference", "Reference", &reference, PANEL_REFERENCE, 2048},
    {"tolerance", "Tolerance", &tolerance, PANEL_TOLERANCE, 512},
    {"hysteresis", "Hysteresis", &hysteresis, PANEL_HYSTERESIS, 20},
    {"polarity", "Polarity", &polarity, PANEL_POLARITY, 1},
    {"hold", "Hold", &hold, PANEL_HOLD, 100},
    {"hwmode", "HW mode", &hwmode, PANEL_HWMODE, 1},
    {"average", "Average", &average, PANEL_AVERAGE, 8},
    {"evalmode", "Eval mode", &evalmode, PANEL_EVALMODE, 0},
    {"maxmode", "Max mode", &maxmode, PANEL_MAXMODE, 0},
    {"triglvl", "Trigger level", &triglvl, PANEL_TRIGLVL, 950},
    {"trigmode", "Trigger mode", &trigmode, PANEL_TRIGMODE, 0},
    {"sdelay", "Sensor delay", &sdelay, PANEL_SDELAY, 500},
    {"para13", "word 13", &para13, 0, 0},
    {"para14", "word 14", &para14, 0, 0},
    {"para15", "word 15", &para15, 0, 0},
};

Words DefaultSet(void) {
    Words set;
    for (int i = 0; i < PARAMETER_WORD_COUNT; ++i)
        set[size_t(i)] = PARAMETER_WORDS[i].defaultValue;
    return set;
}

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
