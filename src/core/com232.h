// The device link as the window runs it: the parameter image, port set-up, the answer taken into
// the image, the line check, the parameter and firmware reads, the curve block read and flash
// programming, each a wrapper over the exchange core that shows its texts in the status line.
#pragma once

#include "exchange.h"
#include "serial.h"

#include <string>

namespace kelvaro {

const int DATFILE = 3;
const int BUFFER_BYTES = 1024;

extern int com, target, order;
extern unsigned short pp[PNUM];
extern unsigned char szReadBuf[BUFFER_BYTES];
extern int rx_flag;
extern char szVersion[FIRMWARE_BYTES];

// The answer frame in szReadBuf into order and words 0 .. count - 1 of pp.
void GetRxBuf(int count);
void CopyVarsToPP(void);
void CopyPPtoVars(void);
// pp as the core takes a request's words.
Words Image(void);

// The window's words for an outcome: its text and cause, and what the operator can do about a
// port that is gone or not open.
std::string StatusOf(const Outcome &outcome);
void ShowOutcome(const Outcome &outcome);

// Opens port, checks the line and, when the controller answers, reads its RAM's set onto the panel
// and its firmware text into the status line; the outcome stands in the status line.
void InitRS232(int port);
// An answer frame the core took: into szReadBuf and pp, and the flags of a received frame.
void RX_Receive_Function(const Outcome &answer);
// Runs when the port's device goes away between exchanges: says so, naming the device.
void RX_Lost_Function(int port, int events, void *data);
int CheckComLine(int port);
void PushGET(int target);
// Returns 64 when the whole firmware text came, else 0.
int GetVERSIONInfo(void);
// Reads one 64-word curve block into yArrayA or yArrayB by its offset. Returns 64 when it came
// whole; a block that timed out zeroes both curves.
int ReadData64(int offset, int source, int order);
// Programs flash pages 4 to 7 from flashp4 .. flashp7, block by block, each echo checked, once
// the journal has recorded it. Returns 1 when every page was written, else 0.
int SendCorrDataToFlash(void);

} // namespace kelvaro
