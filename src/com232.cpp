// The device link: 36-byte frames of big-endian words, port set-up, the receive callback that
// turns each answer frame into the parameter image, the line check and the first reads.
#include "com232.h"

#include "KELVARO1V10.h"
#include "gui.h"
#include "panel_ids.h"

#include "panel.h"
#include "serial.h"
#include "utility.h"

#include <algorithm>

namespace kelvaro {

int com = 1;
int sync = 85;
int target = RAM;
int order = 1;
unsigned short pp[PNUM];
unsigned char szWriteBuf[BUFFER_BYTES];
unsigned char szReadBuf[BUFFER_BYTES];
int nBytesW;
int nBytesR;
int rx_flag = 1;
int ret;
char szVersion[FIRMWARE_BYTES];

namespace {

const double LINE_CHECK_PAUSE_S = 0.05;
const int LINE_OK_ECHO = 0x00AA;

void PutWord(unsigned char *at, int word) {
    at[0] = static_cast<unsigned char>((word >> 8) & 0xFF);
    at[1] = static_cast<unsigned char>(word & 0xFF);
}

unsigned short WordAt(const unsigned char *at) {
    return static_cast<unsigned short>(at[0] << 8 | at[1]);
}

void ShowStatus(void) {
    SetCtrlVal(panelHandle, PANEL_STATUS, szStatus);
}

unsigned short *const PARAMETERS[PNUM] = {
    &power,    &reference, &tolerance, &hysteresis, &polarity, &hold,   &hwmode, &average,
    &evalmode, &maxmode,   &triglvl,   &trigmode,   &sdelay,   &para13, &para14, &para15};

} // namespace

void FillTxBuf(int order, const unsigned short *words) {
    PutWord(szWriteBuf, sync);
    PutWord(szWriteBuf + 2, order);
    for (int i = 0; i < PNUM; ++i)
        PutWord(szWriteBuf + 4 + 2 * i, words[i]);
}

void GetRxBuf(int count) {
    order = WordAt(szReadBuf + 2);
    for (int i = 0; i < std::clamp(count, 0, PNUM); ++i)
        pp[i] = WordAt(szReadBuf + 4 + 2 * i);
}

void CopyVarsToPP(void) {
    for (int i = 0; i < PNUM; ++i)
        pp[i] = *PARAMETERS[i];
}

void CopyPPtoVars(void) {
    for (int i = 0; i < PNUM; ++i)
        *PARAMETERS[i] = pp[i];
}

const char *ComErrorText(int code) {
    switch (code) {
    case COM_UNKNOWN_SYSTEM_ERROR:
        return "Unknown system error";
    case COM_INVALID_PORT_NUMBER:
        return "Invalid port number";
    case COM_PORT_NOT_OPEN:
        return "Port is not open";
    case COM_IO_ERROR:
        return "Unknown I/0 error";
    case COM_NO_SERIAL_PORT:
        return "No serial port found";
    case COM_CANNOT_OPEN_PORT:
        return "Cannot open port";
    case COM_INVALID_PARAMETER:
        return "Invalid parameter";
    case COM_TIMEOUT:
        return "Timeout";
    default:
        return "RS-232 error!";
    }
}

void InitRS232(int port) {
    const int result = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (result < 0) {
        CopyText(szStatus, ComErrorText(result));
    } else {
        SetComTime(port, LINE_TIMEOUT_S);
        FlushInQ(port);
        FlushOutQ(port);
        SetCTSMode(port, 0);
        InstallComCallback(port, eventMask, FRAME_BYTES, sync, RX_Receive_Function, nullptr);
        if (CheckComLine(port) == 1) {
            target = RAM;
            PushGET(RAM);
            if (GetVERSIONInfo() < FIRMWARE_BYTES)
                CopyText(szStatus, "Error reading firmware-info!");
        }
    }
    ShowStatus();
}

void RX_Receive_Function(int, int events, void *) {
    if (!(events & LWRS_RECEIVE))
        return;
    ComRd(com, Bytes(szReadBuf), FRAME_BYTES);
    GetRxBuf(PNUM);
    ttick = 0;
    rx_flag = 1;
    graphrefresh = 1;
    FlushInQ(com);
}

int WaitRxFull(void) {
    ret = 1;
    tstart = Timer();
    for (;;) {
        ProcessSystemEvents();
        tdiff = Timer() - tstart;
        if (tdiff > LINE_TIMEOUT_S) {
            CopyText(szStatus, "Timeout-RS-232...");
            ret = 0;
            break;
        }
        if (rx_flag != 0)
            break;
    }
    return ret;
}

int CheckComLine(int port) {
    CopyVarsToPP();
    FillTxBuf(5, pp);
    FlushInQ(port);
    FlushOutQ(port);
    nBytesW = ComWrt(port, Bytes(szWriteBuf), FRAME_BYTES);
    Delay(LINE_CHECK_PAUSE_S);
    nBytesR = ComRd(port, Bytes(szReadBuf), FRAME_BYTES);
    int result = 0;
    if (nBytesR != FRAME_BYTES) {
        CopyText(szStatus, "Timeout < 36 Bytes");
    } else if (WordAt(szReadBuf + 4) == LINE_OK_ECHO) {
        CopyText(szStatus, "Echo Check - Line Ok!");
        result = 1;
    } else {
        CopyText(szStatus, "read error - not sync byte 0xAA!");
    }
    ShowStatus();
    return result;
}

void PushGET(int target) {
    if (target != DATFILE) {
        order = target == EEPROM ? 4 : 2;
        CopyVarsToPP();
        FlushInQ(com);
        FlushOutQ(com);
        FillTxBuf(order, pp);
        rx_flag = 0;
        nBytesW = ComWrt(com, Bytes(szWriteBuf), FRAME_BYTES);
        if (nBytesW == FRAME_BYTES)
            SetCtrlVal(panelHandle, PANEL_STATUS, "Waiting for parameter-frame ...");
        WaitRxFull();
        if (rx_flag == 1) {
            GetRxBuf(PNUM);
            CopyPPtoVars();
            CopyText(szStatus, "Parameter-frame received! - Line Ok!");
            SetPanelValues();
        }
    }
    ShowStatus();
}

int GetVERSIONInfo(void) {
    InstallComCallback(com, 0, FRAME_BYTES, sync, nullptr, nullptr);
    FlushInQ(com);
    FlushOutQ(com);
    order = 7;
    FillTxBuf(7, pp);
    nBytesW = ComWrt(com, Bytes(szWriteBuf), FRAME_BYTES);
    SetCtrlVal(panelHandle, PANEL_STATUS, "Waiting for firmware info ...");
    // A busy poll by design: the reply has no frame header, so the callback must not see it.
    int queued = 0;
    tstart = Timer();
    for (;;) {
        queued = GetInQLen(com);
        tdiff = Timer() - tstart;
        if (tdiff > LINE_TIMEOUT_S) {
            CopyText(szStatus, "Timeout - reading firmware info!");
            break;
        }
        if (queued >= FIRMWARE_BYTES)
            break;
    }
    szVersion[0] = '\0';
    nBytesR = ComRd(com, Bytes(szReadBuf), std::clamp(queued, 0, BUFFER_BYTES));
    if (nBytesR == FIRMWARE_BYTES) {
        int values[FIRMWARE_BYTES / 2];
        for (int i = 0; i < FIRMWARE_BYTES / 2; ++i)
            values[i] = WordAt(szReadBuf + 2 * i);
        FmtWordsAsText(szVersion, FIRMWARE_BYTES, values, FIRMWARE_BYTES / 2);
        CopyText(szStatus, szVersion);
    }
    InstallComCallback(com, eventMask, FRAME_BYTES, sync, RX_Receive_Function, nullptr);
    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;
    ShowStatus();
    return queued;
}

} // namespace kelvaro
