// Serial port service: numbered ports that keep their devices, each with the program's own input
// queue, waits that sleep until a time or the line's first byte, and word when its device goes.
#pragma once

#include <string>

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

// What a line reports beside its data: a break, or bytes it received damaged.
enum ComLineError {
    COM_LINE_BREAK = 0x10,
    COM_LINE_FRAMING = 0x08,
    COM_LINE_PARITY = 0x04,
    COM_LINE_OVERRUN = 0x02,
};

enum { MAX_COM_PORT = 64 };

typedef void (*ComCallbackPtr)(int port, int events, void *callbackData);

// Opens port (1..MAX_COM_PORT) exclusively, configures its line and asks the driver for low
// latency; deviceName "" takes the device the port number names (a number keeps its device for
// the life of the program: $KELVARO_COM<n>, the start-up device, a typed path, or a listed device
// numbered when first seen). Returns 0; or COM_INVALID_PORT_NUMBER (no such port or device),
// COM_INVALID_PARAMETER (line settings), COM_CANNOT_OPEN_PORT (the device refused: see
// ComOpenFailureCause).
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
// Closes port, or abandons its opening under way (the opening then returns COM_CANNOT_OPEN_PORT).
// Returns 0; COM_PORT_NOT_OPEN or COM_INVALID_PORT_NUMBER when there was nothing to close.
int CloseCom(int port);
// The limit of each later ComRd and ComWrt. Returns 0, COM_PORT_NOT_OPEN or COM_INVALID_PARAMETER.
int SetComTime(int port, double timeoutSeconds);
// mode 1 waits for CTS before sending, 0 does not. Returns 0, COM_PORT_NOT_OPEN or COM_IO_ERROR
// (GetComFailureCause says why).
int SetCTSMode(int port, int mode);
// Discards what was received and not read. Returns 0, COM_PORT_NOT_OPEN or COM_IO_ERROR (the
// device refused; the program's queue is empty all the same).
int FlushInQ(int port);
// Discards what was written and not sent. Returns 0, COM_PORT_NOT_OPEN or COM_IO_ERROR.
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
// Why the last OpenComConfig of port failed, in words an operator can act on (the device does not
// exist; in use by another program, and which; permission denied, with the remedy; not a serial
// device); "" when it did not fail on the device.
const char *ComOpenFailureCause(int port);
// The ComLineError bits port's line reported since the last call: a terminal's error counters,
// or an RFC 2217 server's notifications; 0 when none (or the device can't tell).
int GetComLineErrors(int port);
// The system's words for the last failure of port since it was opened: a transfer that failed or
// fell short, a refused setting, or why its device went away; "" when nothing failed.
const char *GetComFailureCause(int port);
// 1 when port's device went away (hang-up, I/O error, end of file) since the port was last
// opened, whether it was closed since or not; else 0.
int ComDeviceGone(int port);
// Installs callback, run once from the event loop when port's device goes away; nullptr removes
// it. Returns 0 or COM_PORT_NOT_OPEN.
int InstallComLostCallback(int port, ComCallbackPtr callback, void *callbackData);
// Port 1, the start-up port, is the device at path from now on (named on the command line).
void SetComStartUpDevice(const char *path);
// Why port 1 names the device it does: "named on the command line", "named by $KELVARO_COM1", "the
// first USB serial adapter" or "the first serial device the system lists"; "" when it names none.
const char *GetComStartUpReason(void);
// The name of device that survives a replug and holds no '/': a USB adapter's by-id name, a
// path's file name, a network line's HOST_PORT. Returns 0, or -1 when it does not fit.
int GetComStableName(const char *device, char *name, int size);
// The number of the device at path, given now when the program has not seen it yet; 0 for an
// empty path or when every number is taken.
int GetComPortOfDevice(const char *path);
// The path of port's device into name ("" when the number names none). Returns 0,
// COM_INVALID_PORT_NUMBER or COM_INVALID_PARAMETER.
int GetComDeviceName(int port, char *name, int size);
// 1 when the device port names is reached over the network (rfc2217://, tcp://): its opening
// waits for a server, and in a window the window stays usable meanwhile; else 0.
int ComIsNetworkLine(int port);
// "COM1": how the ring and every message name port.
std::string ComPortLabel(int port);

// The one wait of an exchange: sleeps until Timer() reaches until, processing events meanwhile
// (events 1, returning after each batch of them) or not (0, repainting what changed first), and
// waking early when bytes arrive on port (watch 1). Returns the bytes waiting in port's input
// queue then, or COM_PORT_NOT_OPEN.
int ComWaitUntil(int port, double until, int watch, int events);
// The same for several ports at once, always processing events: watch[i] for ports[i], which
// stays so after the wait until ComWatch says otherwise (in a program without a window the wait
// watches the lines itself, and they are not watched between waits until ComWatch). Only the
// watched ports that have bytes are read: GetInQLen looks at the others that need it. Returns 0.
int ComWaitAny(const int *ports, const int *watch, int count, double until);
// Whether bytes or a hang-up on port wake the event loop outside a wait (1, so that a device that
// goes away is noticed at once) or not (0). Returns 0 or COM_PORT_NOT_OPEN.
int ComWatch(int port, int watch);
// The bytes port's input queue holds, without asking the device for more; or COM_PORT_NOT_OPEN.
int ComQueued(int port);
// Waits up to seconds for data on port, processing no events, and returns as soon as the input
// queue holds some. Returns the bytes waiting in the queue, 0 when it stayed empty, or
// COM_PORT_NOT_OPEN.
int ComQuietFor(int port, double seconds);
