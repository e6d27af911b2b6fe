// The sixteen parameter words by name: the one table that the panel exchange, the compare view,
// diff, the JSON output, the journal and the station's messages use.
#pragma once

#include "exchange.h"
#include "json.h"

#include <string>

namespace kelvaro {

struct ParameterWord {
    const char *key;             // in JSON and the journal: the variable's name
    const char *label;           // for the operator: as the panel labels it
    unsigned short *variable;    // the program's variable
    int control;                 // its control on the panel, 0 for none
    unsigned short defaultValue; // what a program starts with before it has read a set
};

const int PARAMETER_WORD_COUNT = 16;
// The positions of the words the program itself works with.
enum ParameterWordIndex {
    WORD_REFERENCE = 1,
    WORD_TOLERANCE = 2,
    WORD_HYSTERESIS = 3,
    WORD_POLARITY = 4,
};
extern const ParameterWord PARAMETER_WORDS[PARAMETER_WORD_COUNT];

// The sixteen words a program starts with.
Words DefaultSet(void);
// Adds "words": [the sixteen], then each word by its key, to object.
void AddParameterSet(JsonObject &object, const unsigned short *words);
// The sixteen as a JSON array.
std::string ParameterWordsJson(const unsigned short *words);

} // namespace kelvaro
