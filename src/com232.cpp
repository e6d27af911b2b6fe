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
#include <cstdio>

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
const double BLOCK_TIMEOUT_S = 1.5;
// The polls for replies without a frame header process no events; this pause keeps them from
// holding a core while the line is slow, and is far below a byte's time on the line.
const double POLL_PAUSE_S = 0.0002;
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

const int FLASH_INFO_ACCEPTED = 0x00AA;
const double FLASH_READ_PAUSE_S = 0.05;
const double FLASH_FIRST_BLOCK_PAUSE_S = 0.15;
const double FLASH_PAGE_PAUSE_S = 0.05;

// Polls the input queue, without processing events, until `wanted` bytes are in (true) or
// more than `limit` seconds have passed (false); `queued` is the count at the last look. The
// replies polled for have no frame header, so the receive callback must be removed meanwhile.
bool PollInQ(int wanted, double limit, int *queued) {
    tstart = Timer();
    for (;;) {
        *queued = GetInQLen(com);
        tdiff = Timer() - tstart;
        if (tdiff > limit)
            return false;
        if (*queued >= wanted)
            return true;
        Delay(POLL_PAUSE_S);
    }
}

// One flash order and its answer, read directly: the answer's word 0, or -1 when fewer than
// 36 bytes came.
int ExchangeFlashFrame(const unsigned short *words) {
    FillTxBuf(order, words);
    nBytesW = ComWrt(com, Bytes(szWriteBuf), FRAME_BYTES);
    Delay(FLASH_READ_PAUSE_S);
    nBytesR = ComRd(com, Bytes(szReadBuf), FRAME_BYTES);
    return nBytesR == FRAME_BYTES ? WordAt(szReadBuf + 4) : -1;
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
    int queued = 0;
    if (!PollInQ(FIRMWARE_BYTES, LINE_TIMEOUT_S, &queued))
        CopyText(szStatus, "Timeout - reading firmware info!");
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

int ReadData64(int offset, int source, int order) {
    const unsigned short request[PNUM] = {static_cast<unsigned short>(offset),
                                          static_cast<unsigned short>(source)};
    FillTxBuf(order, request);
    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;
    nBytesW = ComWrt(com, Bytes(szWriteBuf), FRAME_BYTES);
    SetCtrlVal(panelHandle, PANEL_STATUS, "Waiting for Data[64] ...");
    int queued = 0;
    if (!PollInQ(BLOCK_BYTES, BLOCK_TIMEOUT_S, &queued)) {
        CopyText(szStatus, "Timeout-RS-232 while reading 64 data-words!");
        std::fill(yArrayA, yArrayA + 2 * BLOCK_WORDS, 0);
        std::fill(yArrayB, yArrayB + 2 * BLOCK_WORDS, 0);
        ttick = 0;
    }
    nBytesR = ComRd(com, Bytes(szReadBuf), std::clamp(queued, 0, BUFFER_BYTES));
    int result = 0;
    if (nBytesR == BLOCK_BYTES) {
        CopyText(szStatus, "Data[64] block received!");
        result = BLOCK_WORDS;
        unsigned short *destination = offset == 0     ? yArrayA
                                      : offset == 64  ? yArrayA + 64
                                      : offset == 128 ? yArrayB
                                      : offset == 192 ? yArrayB + 64
                                                      : nullptr;
        for (int i = 0; destination && i < BLOCK_WORDS; ++i)
            destination[i] = WordAt(szReadBuf + 2 * i);
    }
    ShowStatus();
    return result;
}

void SendCorrDataToFlash(void) {
    struct Page {
        int address;
        const int *data;
        char digit;
    };
    const Page pages[] = {
        {PAGE4, flashp4, '4'}, {PAGE5, flashp5, '5'}, {PAGE6, flashp6, '6'}, {PAGE7, flashp7, '7'}};
    // A live answer still on its way must not be taken for the first echo.
    FlushInQ(com);
    for (const Page &page : pages) {
        const int written = WritePageDataToFlash(page.address, page.data);
        std::snprintf(szStatus, sizeof szStatus,
                      written < 255 ? "error : F801 FLASH page%c-write <255 words!"
                                    : "ok : F801 FLASH page%c-write 255 words!",
                      page.digit);
        ShowStatus();
        if (page.address != PAGE7)
            Delay(FLASH_PAGE_PAUSE_S);
    }
    SetCtrlVal(panelHandle, PANEL_VALNORM, 0);
}

int WritePageDataToFlash(unsigned int page, const int *data) {
    int taken = 0;
    unsigned int offset = 0;
    for (int block = 0; block < MAXBLOCK; ++block) {
        for (int i = 0; i < PNUM; ++i) {
            pp[i] = static_cast<unsigned short>(data[taken] & 0xFFFF);
            ++taken;
            SetCtrlVal(panelHandle, PANEL_VALNORM, taken);
        }
        if (SendInfoBlockToFlash(static_cast<int>(page + offset), 0) < 0)
            return -1;
        order = 21;
        if (WriteBlockDataToFlash(pp) < 0)
            return -2;
        if (offset == 0)
            Delay(FLASH_FIRST_BLOCK_PAUSE_S);
        offset += PNUM;
    }
    return taken;
}

int SendInfoBlockToFlash(int address, int info) {
    order = 20;
    const unsigned short request[PNUM] = {static_cast<unsigned short>(info),
                                          static_cast<unsigned short>(address)};
    const int echo = ExchangeFlashFrame(request);
    if (echo < 0) {
        CopyText(szStatus, "Timeout: SendInfoBlockToFlash < 36 Bytes");
        return -1;
    }
    if (echo == FLASH_INFO_ACCEPTED) {
        CopyText(szStatus, "ok:  SendInfoBlockToFlash!");
        return 1;
    }
    CopyText(szStatus, "error : unknown F801 echo at order-20!");
    return -2;
}

int WriteBlockDataToFlash(const unsigned short *words) {
    order = 21;
    int result = 0;
    switch (ExchangeFlashFrame(words)) {
    case -1:
        CopyText(szStatus, "Timeout < 36 Bytes");
        result = -1;
        break;
    case 0:
        CopyText(szStatus, "error : F801 FLASH erase-adress not valid!");
        result = -2;
        break;
    case 1:
        CopyText(szStatus, "ok : F801 FLASH erase-adress valid!");
        result = 2;
        break;
    case 2:
        CopyText(szStatus, "ok : F801 FLASH block-write 16-words!");
        result = 1;
        break;
    default:
        CopyText(szStatus, "error : F801 unknown-echo at order=21!");
        result = -3;
        break;
    }
    ShowStatus();
    return result;
}

} // namespace kelvaro
