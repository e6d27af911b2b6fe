// Serial port service: numbered ports with the program's own input queue and a receive
// callback that runs while events are processed.
#pragma once

// Results of the serial operations: counts are >= 0, failures one of these.
enum ComError {
    COM_UNKNOWN_SYSTEM_ERROR = -1,
    COM_INVALID_PORT_NUMBER = -2,
    COM_PORT_NOT_OPEN = -3,
    COM_IO_ERROR = -4,
    COM_NO_SERIAL_PORT = -6,
    COM_CANNOT_OPEN_PORT = -7,
    COM_INVALID_PARAMETER = -13,
    COM_TIMEOUT = -99,
};

// Event bits handed to a receive callback.
enum ComEvent {
    LWRS_RXFLAG = 0x0002,  // the event character arrived
    LWRS_TXEMPTY = 0x0004, // the output queue became empty
    LWRS_RECEIVE = 0x8000, // the input queue holds at least the notify count of bytes
};

enum { MAX_COM_PORT = 64 };

typedef void (*ComCallbackPtr)(int port, int events, void *callbackData);

// Opens port (1..MAX_COM_PORT) exclusively and configures its line; deviceName "" picks the
// device by port number: $KELVARO_COM<n>, else the n-th listed device. Returns 0; or
// COM_INVALID_PORT_NUMBER (no such port or device), COM_INVALID_PARAMETER (line settings),
// COM_CANNOT_OPEN_PORT (the device refused: missing, busy, not permitted, not a terminal).
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
// Returns 0; COM_PORT_NOT_OPEN or COM_INVALID_PORT_NUMBER when there was nothing to close.
int CloseCom(int port);
// The limit of each later ComRd and ComWrt. Returns 0, COM_PORT_NOT_OPEN or COM_INVALID_PARAMETER.
int SetComTime(int port, double timeoutSeconds);
// mode 1 waits for CTS before sending, 0 does not. Returns 0, COM_PORT_NOT_OPEN or COM_IO_ERROR.
int SetCTSMode(int port, int mode);
// Discards what was received and not read. Returns 0 or COM_PORT_NOT_OPEN.
int FlushInQ(int port);
// Discards what was written and not sent. Returns 0 or COM_PORT_NOT_OPEN.
int FlushOutQ(int port);
// Writes count bytes. Returns the count written, short after the port's time-out or when the
// device is gone; COM_PORT_NOT_OPEN or COM_INVALID_PARAMETER.
int ComWrt(int port, const char *buffer, int count);
// Reads count bytes, waiting up to the port's time-out. Returns the count read, short after the
// time-out and at once when the device is gone; COM_PORT_NOT_OPEN or COM_INVALID_PARAMETER.
int ComRd(int port, char *buffer, int count);
// Returns the bytes waiting in the input queue, taking in what the device has first; or
// COM_PORT_NOT_OPEN.
int GetInQLen(int port);
// Installs callback for the events of eventMask, run while events are processed; eventMask 0
// with no callback removes it. Returns 0, COM_PORT_NOT_OPEN or COM_INVALID_PARAMETER (a notify
// count outside the input queue).
int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData);
