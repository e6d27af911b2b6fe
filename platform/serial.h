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

// deviceName "" picks the device by port number: $KELVARO_COM<n>, else the n-th listed device.
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
int FlushInQ(int port);
int FlushOutQ(int port);
int ComWrt(int port, const char *buffer, int count);
int ComRd(int port, char *buffer, int count);
int GetInQLen(int port);
// eventMask 0 with no callback removes it.
int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData);
