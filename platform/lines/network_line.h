// Network lines, the serial service's transport for serial device servers: rfc2217://HOST:PORT
// (Telnet COM Port Control: the program sets the line and purges the server's buffers) and
// tcp://HOST:PORT (raw bytes, the line the server's business), over TCP without delay.
#pragma once

#include "telnet_com_port.h"

#include <memory>
#include <string>
#include <sys/types.h>

// The largest input queue a port can have: no more of what comes before a line is in use is
// kept.
const size_t MAX_INPUT_QUEUE_BYTES = 65536;
// How long a connection may take to be made, and an RFC 2217 server to confirm the line.
const double NETWORK_CONNECT_TIMEOUT_S = 5.0;
const double NETWORK_NEGOTIATION_TIMEOUT_S = 3.0;
// A connection that dies without a word (cable pulled, server's power gone) is noticed within
// this, idle or sending: TCP keep-alive and the user time-out.
const int NETWORK_SILENCE_LIMIT_S = 5;

struct NetworkLine {
    int fd = -1;
    std::unique_ptr<TelnetComPort> telnet; // nullptr for raw TCP
    std::string address;                   // HOST:PORT, for the operator's messages
    std::string lastText;                  // the tail of what came, for a server's parting words
    int purgeDue = 0;                      // PURGE-DATA bits to send before the next data
    std::string taken, reply; // a read's data and Telnet answer, kept to reuse their memory
};

// True when name is rfc2217://… or tcp://… (whether or not the rest is a valid HOST:PORT).
bool IsNetworkLineName(const std::string &name);
// Connects to the server name names and, for rfc2217, has it set settings; both bounded. Returns
// true with line ready, or false with *cause in the operator's words (host unknown, refused, no
// route, timed out, the server refused RFC 2217). Data that came during the negotiation is
// appended to *early.
bool OpenNetworkLine(const std::string &name, const ComPortSettings &settings, NetworkLine *line,
                     std::string *cause, std::string *early);
// Reads what has arrived, at most room bytes of data into data (*stored of them). Returns the
// bytes taken from the connection (> 0), 0 when the server closed it, or -1 with errno (EAGAIN:
// nothing there now).
ssize_t ReadNetworkLine(NetworkLine &line, char *data, size_t room, size_t *stored);
// Writes count bytes of data by deadline (a Timer() reading). Returns the bytes of data that went
// out; fewer with errno set when the connection failed or the deadline passed.
size_t WriteNetworkLine(NetworkLine &line, const char *bytes, size_t count, double deadline);
// Asks an RFC 2217 server to discard its receive (1) or transmit (2) buffer before it takes the
// next data; a raw line has none to ask. The request goes out with that data, in one message.
void PurgeNetworkLine(NetworkLine &line, int which);
// Line errors the server reported since the last call (TelnetComPort::LineError bits).
int TakeNetworkLineErrors(NetworkLine &line);
// Why the server ended the connection, in words: its parting text when it sent one.
std::string NetworkLineEnding(const NetworkLine &line);
void CloseNetworkLine(NetworkLine &line);
