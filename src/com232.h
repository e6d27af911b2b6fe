// The device link: frames and the parameter image, the one exchange path every frame takes, port
// set-up, the receive callback, the controller's commands, the curve block read and flash
// programming.
#pragma once

#include "serial.h"

#include <string>

namespace kelvaro {

// Order codes of the command frames.
enum OrderCode {
    ORDER_WRITE_RAM = 1,
    ORDER_READ_RAM = 2,
    ORDER_WRITE_EEPROM = 3,
    ORDER_READ_EEPROM = 4,
    ORDER_LINE_CHECK = 5,
    ORDER_TEACH = 6,
    ORDER_FIRMWARE = 7,
    ORDER_LIVE_VALUES = 8,
    ORDER_DATA_BLOCK = 9,
    ORDER_RESET = 10,
    ORDER_FLASH_INFO = 20,
    ORDER_FLASH_DATA = 21,
};

const int PNUM = 16;
const int FRAME_BYTES = PNUM * 2 + 4;
const int RAM = 1, EEPROM = 2, DATFILE = 3;
// The receive callback acts on a full frame; the event character and the empty output queue are
// part of its installation.
const int eventMask = LWRS_RECEIVE | LWRS_TXEMPTY | LWRS_RXFLAG;
const int BUFFER_BYTES = 1024;
const int FIRMWARE_BYTES = 64;
const int BLOCK_WORDS = 64;
const int BLOCK_BYTES = BLOCK_WORDS * 2;
const double LINE_TIMEOUT_S = 2.0;  // each read and write, WaitRxFull, the firmware text
const double GET_TIMEOUT_S = 2.0;   // get from the controller, and each live request
const double TEACH_TIMEOUT_S = 1.5; // teach and reset
const double BLOCK_TIMEOUT_S = 1.5; // a curve block
const double LINE_PAUSE_S = 0.05;   // between a directly read order and its read
const int NO_ANSWER = -1;           // what ExchangeDirect returns when fewer than 36 bytes came
const int DEVICE_GONE = -1;         // what AwaitAnswer returns when the port's device went away

extern int com, sync, target, order;
extern unsigned short pp[PNUM];
extern unsigned char szWriteBuf[BUFFER_BYTES], szReadBuf[BUFFER_BYTES];
extern int nBytesW, nBytesR, rx_flag, ret;
extern char szVersion[FIRMWARE_BYTES];

void FillTxBuf(int order, const unsigned short *words);
void GetRxBuf(int count);
void CopyVarsToPP(void);
void CopyPPtoVars(void);
// The word at `at` as the line carries it, high byte first.
unsigned short WordAt(const unsigned char *at);

// The exchange path. Every frame leaves through SendFrame; answers come through the receive
// callback (AwaitAnswer), a direct read (ExchangeDirect) or, without a frame header, ReadReply.

// Builds the frame for code from words in szWriteBuf and writes it to port. nBytesW is the count
// written (negative: a serial error); returns 1 when all 36 bytes went out, else 0.
int SendFrame(int port, int code, const unsigned short *words);
// Empties port's queues and clears rx_flag, then sends: an exchange whose answer the receive
// callback takes in. Returns as SendFrame.
int StartExchange(int port, int code, const unsigned short *words);
// Discards what port's input queue holds (nothing when the port is not open) and its output queue.
void FlushQueues(int port);
// Waits, processing events, from tstart = now until the receive callback has taken in an answer
// (1), or more than limit seconds have passed (0), or *endWhenSet became non-zero (0; nullptr
// for none), or the port's device went away (DEVICE_GONE). tdiff holds the time waited.
int AwaitAnswer(double limit, const int *endWhenSet);
// Sends, pauses, and reads the 36-byte answer directly, without the receive callback. Returns the
// answer's word 0, or NO_ANSWER when fewer than 36 bytes came within the port's time-out.
int ExchangeDirect(int port, int code, const unsigned short *words);
// A reply without frame header: polls the input queue, processing no events, until wanted bytes
// are in, more than limit seconds have passed or the device went away, then reads what is queued
// into szReadBuf (nBytesR). Returns the count queued at the last look.
int ReadReply(int wanted, double limit);
// The receive callback is out of the way of a header-less reply between these two; Restore
// installs it again, empties both queues and clears rx_flag.
void RemoveReceiveCallback(void);
void RestoreReceiveCallback(void);

// Port set-up and the receive callback. The outcome stands in the status line; the command line
// also takes it from the result: STARTUP_DONE (line check, parameter set and firmware text),
// STARTUP_NO_PORT (the port did not open) or STARTUP_NO_CONTROLLER (something went unanswered).
enum StartUpOutcome { STARTUP_NO_PORT = -1, STARTUP_NO_CONTROLLER = 0, STARTUP_DONE = 1 };
int InitRS232(int port);
void RX_Receive_Function(int port, int events, void *data);
// Runs when the port's device goes away: closes the port and says so, naming the device.
void RX_Lost_Function(int port, int events, void *data);
int WaitRxFull(void);
int CheckComLine(int port);
void PushGET(int target);
int GetVERSIONInfo(void);
// The status text for a negative result of OpenComConfig.
const char *ComErrorText(int code);
// What the lost-device text tells the operator to do; the command line has its own words.
extern const char *lostDeviceAdvice;
// Closes port and says its device is gone: "COM1: /dev/ttyUSB0 is gone (why) - advice".
std::string DeviceGoneText(int port);
// Why the last frame did not go out whole on com: its device is gone, the port is not open, or
// the bytes that went and the system's words; "" when it went out whole.
std::string WriteFailureCause(void);
// text, then why nothing came within limit seconds: WriteFailureCause, or which device stayed
// silent and what to check.
std::string NoAnswerText(const char *text, double limit);

// The controller's commands, as the panel's buttons and the command line run them.

// Teach (ORDER_TEACH) or reset (ORDER_RESET) with the panel's set, then the read-back from RAM.
// Returns 1 when the set was read back in time, else 0.
int SendCommandAndReadBack(int code);
// Reads the set of RAM or EEPROM (target) into words, with get's order and texts; the variables
// and the panel stay as they are. Returns as AwaitAnswer.
int ReadParameterSet(int target, unsigned short *words);
// Reads the set from RAM or EEPROM (target) into the variables and the panel. Returns as
// AwaitAnswer; when the device went away the panel keeps what it shows.
int GetFromController(int target);
// Writes the panel's set to RAM or EEPROM (target); no answer is awaited. Returns 1 when the whole
// frame went out.
int SendToController(int target);
// The live request of a run: the parameter variables go out with order 8.
int SendLiveRequest(void);
// Reads one 64-word curve block by polling; the receive callback must be removed. Returns 64
// when a reply of exactly 128 bytes came.
int ReadData64(int offset, int source, int order);
// Reads the curve of source (0 RAW, 1 NORM) block by block, then one live frame. Returns 1 when
// every block came whole, else 0.
int CaptureCurve(int source);

// Programs flash pages 4 to 7 from flashp4 .. flashp7, block by block, each echo checked.
// Returns the number of pages that failed.
int SendCorrDataToFlash(void);
// 256 when all 16 blocks went through; -1 when an information block failed, -2 a data block.
int WritePageDataToFlash(unsigned int page, const int *data);
// 1 accepted; -1 no answer; -2 unknown echo.
int SendInfoBlockToFlash(int address, int info);
// 2 erase address valid, 1 block written; -1 no answer, -2 address refused, -3 unknown echo.
int WriteBlockDataToFlash(const unsigned short *words);

} // namespace kelvaro
