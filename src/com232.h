// The device link: frames and the parameter image, port set-up, the receive callback, the
// line check, the parameter and firmware reads, the curve block read and flash programming.
#pragma once

namespace kelvaro {

const int PNUM = 16;
const int FRAME_BYTES = PNUM * 2 + 4;
const int RAM = 1, EEPROM = 2, DATFILE = 3;
const int eventMask = 0x8006;
const int BUFFER_BYTES = 1024;
const int FIRMWARE_BYTES = 64;
const int BLOCK_WORDS = 64;
const int BLOCK_BYTES = BLOCK_WORDS * 2;
const double LINE_TIMEOUT_S = 2.0; // each read and write, and every wait for an answer frame

extern int com, sync, target, order;
extern unsigned short pp[PNUM];
extern unsigned char szWriteBuf[BUFFER_BYTES], szReadBuf[BUFFER_BYTES];
extern int nBytesW, nBytesR, rx_flag, ret;
extern char szVersion[FIRMWARE_BYTES];

void FillTxBuf(int order, const unsigned short *words);
void GetRxBuf(int count);
void CopyVarsToPP(void);
void CopyPPtoVars(void);

void InitRS232(int port);
void RX_Receive_Function(int port, int events, void *data);
int WaitRxFull(void);
int CheckComLine(int port);
void PushGET(int target);
int GetVERSIONInfo(void);
// Reads one 64-word curve block by polling; the receive callback must be removed. Returns 64
// when a reply of exactly 128 bytes came.
int ReadData64(int offset, int source, int order);

// Programs flash pages 4 to 7 from flashp4 .. flashp7, block by block, each echo checked.
void SendCorrDataToFlash(void);
// 256 when all 16 blocks went through; -1 when an information block failed, -2 a data block.
int WritePageDataToFlash(unsigned int page, const int *data);
// 1 accepted; -1 no answer; -2 unknown echo.
int SendInfoBlockToFlash(int address, int info);
// 2 erase address valid, 1 block written; -1 no answer, -2 address refused, -3 unknown echo.
int WriteBlockDataToFlash(const unsigned short *words);
// The status text for a negative result of OpenComConfig.
const char *ComErrorText(int code);

// The frame buffers go to the serial service as plain chars.
inline char *Bytes(unsigned char *buffer) {
    return reinterpret_cast<char *>(buffer);
}

} // namespace kelvaro
