// The device link: frames and the parameter image, port set-up, the receive callback, the
// line check and the parameter and firmware reads.
#pragma once

namespace kelvaro {

const int PNUM = 16;
const int FRAME_BYTES = PNUM * 2 + 4;
const int RAM = 1, EEPROM = 2, DATFILE = 3;
const int eventMask = 0x8006;
const int BUFFER_BYTES = 1024;
const int FIRMWARE_BYTES = 64;
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
// The status text for a negative result of OpenComConfig.
const char *ComErrorText(int code);

// The frame buffers go to the serial service as plain chars.
inline char *Bytes(unsigned char *buffer) {
    return reinterpret_cast<char *>(buffer);
}

} // namespace kelvaro
