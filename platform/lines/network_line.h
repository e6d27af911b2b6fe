// Network lines, the serial service's transport for serial device servers: rfc2217://HOST:PORT
// (Telnet COM Port Control: the program sets the line and purges the server's buffers) and
// tcp://HOST:PORT (raw bytes, the line the server's business), over TCP without delay.
#pragma once

#include "line.h"

// How long a connection may take to be made, and an RFC 2217 server to confirm the line.
const double NETWORK_CONNECT_TIMEOUT_S = 5.0;
const double NETWORK_NEGOTIATION_TIMEOUT_S = 3.0;
// A connection that dies without a word (cable pulled, server's power gone) is noticed within
// this, idle or sending: TCP keep-alive and the user time-out.
const int NETWORK_SILENCE_LIMIT_S = 5;

// True when name is rfc2217://… or tcp://… (whether or not the rest is a valid HOST:PORT).
bool IsNetworkLineName(const std::string &name);
// Connects to the server name names and, for rfc2217, has it set settings; both bounded, waiting
// through wait. Returns the line, or nullptr with *cause in the operator's words (host unknown,
// refused, no route, timed out, the server refused RFC 2217). What came during the opening is the
// line's first data.
std::unique_ptr<Line> OpenNetworkLine(const std::string &name, const ComPortSettings &settings,
                                      const LineOpenWait &wait, std::string *cause);
