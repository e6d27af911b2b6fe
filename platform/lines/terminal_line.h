// Terminal devices as lines: a serial port or USB adapter on this machine, held for the program
// alone and set to the line's format.
#pragma once

#include "line.h"

// Opens the terminal at path exclusively (UUCP lock files by its node's name and by path's,
// TIOCEXCL, flock), sets it to settings and asks its driver for low latency. Returns the line, or
// nullptr with *cause in the operator's words (no such device; in use, and by which program;
// permission denied, with the remedy; not a serial device).
std::unique_ptr<Line> OpenTerminalLine(const std::string &path, const ComPortSettings &settings,
                                       std::string *cause);
