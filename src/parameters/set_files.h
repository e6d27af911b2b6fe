// Parameter files and the correction table as files, for the window, the command line and the
// station alike: read whole and checked, or refused with the file, the line and what is wrong;
// written whole.
#pragma once

#include "exchange.h"

#include <string>

namespace kelvaro {

const char PARAMETER_FILE_ERROR[] = "Error reading parameter-file!";
const char CORRECTION_FILE_ERROR[] = "Error reading correction-file!";
const int CORRECTION_KEYS = 1024;
const int CORRECTION_COLUMNS = 2 * CORRECTION_KEYS;

// The name of the file at path, without its folder, as the messages name it.
std::string FileNameOf(const char *path);
// Reads the parameter file at path into words: sixteen whole numbers from 0 to 65535, one a line.
// Returns true, or false with *why the status text and its cause (words untouched).
bool ReadParameterFile(const char *path, Words &words, std::string *why);
// The sixteen words as a parameter file holds them.
std::string ParameterSetText(const Words &words);
// Writes words as a parameter file at path: a new file (VAL_TRUNCATE) or added to one
// (VAL_APPEND). Returns true, or false with *why.
bool WriteParameterFile(const char *path, const Words &words, int action, std::string *why);

// Reads the correction file at path: 1024 rows of a value and a key from 0 to 1023, into
// columns (its values row by row, then its keys). Returns true, or false with *why.
bool ReadCorrectionFile(const char *path, unsigned short columns[CORRECTION_COLUMNS],
                        std::string *why);
// Writes columns (values row by row, then keys) as a correction file at path, as
// ReadCorrectionFile reads it back. Returns true, or false with *why.
bool WriteCorrectionFile(const char *path, const unsigned short columns[CORRECTION_COLUMNS],
                         std::string *why);
// The table file the window and the command line write, in the current directory.
const char TABLE_FILE[] = "LTlinear.dat";
// Builds the correction table from columns whose keys lie in 0..1023 into table: each key takes its
// value, a key no row names the entry before it, and dips are filled so that the table never falls.
// Writes index, key and entry to tablePath. Returns true, or false with *why when it could not be
// written (the table is built all the same).
bool BuildCorrectionTable(const unsigned short columns[CORRECTION_COLUMNS],
                          int table[CORRECTION_KEYS], const char *tablePath, std::string *why);

} // namespace kelvaro
