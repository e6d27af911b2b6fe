// The device link: 36-byte frames of big-endian words and the one path they take, port set-up,
// the receive callback that turns each answer frame into the parameter image, and the sequences
// of the controller's commands.
#include "com232.h"

#include "KELVARO1V10.h"
#include "frame_log.h"
#include "gui.h"
#include "journal.h"
#include "parameter_words.h"

#include "panel.h"
#include "utility.h"

#include <algorithm>
#include <cstdio>
#include <string>

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
const char *lostDeviceAdvice = "pick it again in the ring when it is back";

namespace {

// The polls for replies without a frame header process no events; this pause keeps them from
// holding a core while the line is slow, and is far below a byte's time on the line.
const double POLL_PAUSE_S = 0.0002;
const int LINE_OK_ECHO = 0x00AA;
const int FLASH_INFO_ACCEPTED = 0x00AA;
const double FLASH_FIRST_BLOCK_PAUSE_S = 0.15;
const double FLASH_PAGE_PAUSE_S = 0.05;

// A live request is out and its answer not yet in, during a run or just after Stop. The next
// exchange lets that answer come in before it flushes: its bytes would otherwise end up inside
// the exchange's own answer, or be taken for it. A flush does not make it come any less.
bool liveAnswerDue = false;

// Waits for a live answer that is on its way; it is taken in as any answer is.
void LetLiveAnswerIn(void) {
    if (!liveAnswerDue)
        return;
    rx_flag = 0;
    AwaitAnswer(GET_TIMEOUT_S, nullptr);
    liveAnswerDue = false;
}

void PutWord(unsigned char *at, int word) {
    at[0] = static_cast<unsigned char>((word >> 8) & 0xFF);
    at[1] = static_cast<unsigned char>(word & 0xFF);
}

// The frame buffers go to the serial service as plain chars.
char *Bytes(unsigned char *buffer) {
    return reinterpret_cast<char *>(buffer);
}

// Whatever the input queue held goes; the frame log shows up to a buffer of it as discarded.
void DiscardInput(int port) {
    const int queued = FrameLogOn() ? GetInQLen(port) : 0;
    if (queued > 0) {
        unsigned char discarded[BUFFER_BYTES];
        LogDiscarded(discarded, ComRd(port, Bytes(discarded), std::min(queued, BUFFER_BYTES)));
    }
    FlushInQ(port);
}

int ParameterReadOrder(int target) {
    return target == EEPROM ? ORDER_READ_EEPROM : ORDER_READ_RAM;
}

// The parameter read of get and of the read-back: the variables go out as the request, and
// writtenText shows once the whole frame is out.
void RequestParameterSet(int target, const char *writtenText) {
    order = ParameterReadOrder(target);
    CopyVarsToPP();
    if (StartExchange(com, order, pp))
        ShowStatus(writtenText);
}

// "COM1: /dev/ttyUSB0", as the ring names the port.
std::string PortName(int port) {
    char device[MAX_PATHNAME_LEN];
    GetComDeviceName(port, device, sizeof device);
    return "COM" + std::to_string(port) + ": " + device;
}

// What the line reported beside its data, for a time-out's cause: damaged bytes mean another baud
// rate or format at the controller, or a bad cable.
std::string LineErrorsText(int errors) {
    std::string seen;
    const std::pair<int, const char *> kinds[] = {{COM_LINE_BREAK, "a break"},
                                                  {COM_LINE_FRAMING, "framing errors"},
                                                  {COM_LINE_PARITY, "parity errors"},
                                                  {COM_LINE_OVERRUN, "overruns"}};
    for (const auto &[bit, words] : kinds)
        if (errors & bit)
            seen += (seen.empty() ? "" : ", ") + std::string(words);
    return seen.empty() ? ""
                        : " The line reported " + seen +
                              ": check that the controller runs 19200 8N1 and the cable.";
}

// The set of target in the answer, into pp: the journal knows it as what a write there replaces.
// A parameter set is not live values: a run this read is nested in must not plot it.
void TakeAnswerSet(int target) {
    GetRxBuf(PNUM);
    JournalSetRead(target, pp);
    graphrefresh = 0;
}

} // namespace

unsigned short WordAt(const unsigned char *at) {
    return static_cast<unsigned short>(at[0] << 8 | at[1]);
}

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
        pp[i] = *PARAMETER_WORDS[i].variable;
}

void CopyPPtoVars(void) {
    for (int i = 0; i < PNUM; ++i)
        *PARAMETER_WORDS[i].variable = pp[i];
}

int SendFrame(int port, int code, const unsigned short *words) {
    FillTxBuf(code, words);
    nBytesW = ComWrt(port, Bytes(szWriteBuf), FRAME_BYTES);
    LogSentFrame(szWriteBuf, std::max(nBytesW, 0));
    return nBytesW == FRAME_BYTES;
}

int StartExchange(int port, int code, const unsigned short *words) {
    // The words are taken first: the live answer let in below lands in pp, often the caller's
    // words.
    unsigned short frame[PNUM];
    std::copy(words, words + PNUM, frame);
    LetLiveAnswerIn();
    FlushQueues(port);
    rx_flag = 0;
    return SendFrame(port, code, frame);
}

void FlushQueues(int port) {
    DiscardInput(port);
    FlushOutQ(port);
}

int AwaitAnswer(double limit, const int *endWhenSet) {
    tstart = Timer();
    for (;;) {
        tdiff = Timer() - tstart;
        if (endWhenSet && *endWhenSet)
            return 0;
        if (rx_flag)
            return 1;
        if (ComDeviceGone(com)) {
            // Said now, not when the event loop next comes round, and by every command on the
            // port until it is picked again: the caller ends on it.
            RX_Lost_Function(com, 0, nullptr);
            liveAnswerDue = false;
            return DEVICE_GONE;
        }
        if (tdiff > limit) {
            liveAnswerDue = false; // whatever was asked will not come now
            return 0;
        }
        ProcessSystemEventsUntil(tstart + limit);
    }
}

int ExchangeDirect(int port, int code, const unsigned short *words) {
    SendFrame(port, code, words);
    Delay(LINE_PAUSE_S);
    nBytesR = ComRd(port, Bytes(szReadBuf), FRAME_BYTES);
    LogAnswerFrame(szReadBuf, std::max(nBytesR, 0));
    return nBytesR == FRAME_BYTES ? WordAt(szReadBuf + 4) : NO_ANSWER;
}

int ReadReply(int wanted, double limit) {
    int queued = 0;
    tstart = Timer();
    for (;;) {
        queued = GetInQLen(com);
        tdiff = Timer() - tstart;
        if (tdiff > limit || queued >= wanted || ComDeviceGone(com))
            break;
        Delay(POLL_PAUSE_S);
    }
    nBytesR = ComRd(com, Bytes(szReadBuf), std::clamp(queued, 0, BUFFER_BYTES));
    LogReply(szReadBuf, std::max(nBytesR, 0), wanted);
    return queued;
}

void RemoveReceiveCallback(void) {
    LetLiveAnswerIn();
    InstallComCallback(com, 0, FRAME_BYTES, sync, nullptr, nullptr);
}

void RestoreReceiveCallback(void) {
    InstallComCallback(com, eventMask, FRAME_BYTES, sync, RX_Receive_Function, nullptr);
    FlushQueues(com);
    rx_flag = 0;
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

int InitRS232(int port) {
    int outcome = STARTUP_NO_PORT;
    liveAnswerDue = false; // a new line owes no answer
    const int result = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (result < 0) {
        const char *cause = ComOpenFailureCause(port);
        std::snprintf(szStatus, sizeof szStatus, *cause ? "%s: %s" : "%s", ComErrorText(result),
                      cause);
    } else {
        SetComTime(port, LINE_TIMEOUT_S);
        FlushQueues(port);
        SetCTSMode(port, 0);
        InstallComCallback(port, eventMask, FRAME_BYTES, sync, RX_Receive_Function, nullptr);
        InstallComLostCallback(port, RX_Lost_Function, nullptr);
        outcome = STARTUP_NO_CONTROLLER;
        if (CheckComLine(port) == 1) {
            target = RAM;
            PushGET(RAM);
            const bool setRead = rx_flag == 1;
            if (GetVERSIONInfo() < FIRMWARE_BYTES)
                CopyText(szStatus, "Error reading firmware-info!");
            else if (setRead && nBytesR == FIRMWARE_BYTES)
                outcome = STARTUP_DONE;
        }
    }
    ShowStatus(szStatus);
    return outcome;
}

void RX_Receive_Function(int, int events, void *) {
    if (!(events & LWRS_RECEIVE))
        return;
    nBytesR = ComRd(com, Bytes(szReadBuf), FRAME_BYTES);
    LogAnswerFrame(szReadBuf, std::max(nBytesR, 0));
    GetRxBuf(PNUM);
    ttick = 0;
    rx_flag = 1;
    graphrefresh = 1;
    liveAnswerDue = false;
    DiscardInput(com);
}

void RX_Lost_Function(int port, int, void *) {
    CopyText(szStatus, DeviceGoneText(port).c_str());
    ShowStatus(szStatus);
}

std::string DeviceGoneText(int port) {
    CloseCom(port);
    const std::string why = GetComFailureCause(port);
    return PortName(port) + " is gone" + (why.empty() ? "" : " (" + why + ")") + " - " +
           lostDeviceAdvice;
}

std::string WriteFailureCause(void) {
    if (ComDeviceGone(com))
        return DeviceGoneText(com);
    if (GetInQLen(com) == COM_PORT_NOT_OPEN) {
        const std::string why = ComOpenFailureCause(com);
        return "COM" + std::to_string(com) + " is not open" +
               (why.empty() ? "" : " (" + why + ")") + " - pick a port in the ring";
    }
    if (nBytesW == FRAME_BYTES)
        return "";
    return "only " + std::to_string(std::max(nBytesW, 0)) + " of " + std::to_string(FRAME_BYTES) +
           " bytes went out to " + PortName(com) + " (" + GetComFailureCause(com) + ")";
}

std::string NoAnswerText(const char *text, double limit) {
    std::string cause = WriteFailureCause();
    if (cause.empty()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", limit);
        cause = "no answer on " + PortName(com) + " within " + seconds +
                " s \u2014 is the controller powered and on this port?" +
                LineErrorsText(GetComLineErrors(com));
    }
    return std::string(text) + ": " + cause;
}

int WaitRxFull(void) {
    const int answered = AwaitAnswer(LINE_TIMEOUT_S, nullptr);
    ret = answered == 1;
    if (answered == 0)
        CopyText(szStatus, NoAnswerText("Timeout-RS-232...", LINE_TIMEOUT_S).c_str());
    return ret;
}

int CheckComLine(int port) {
    CopyVarsToPP();
    FlushQueues(port);
    int result = 0;
    const int echo = ExchangeDirect(port, ORDER_LINE_CHECK, pp);
    if (echo == NO_ANSWER) {
        CopyText(szStatus, NoAnswerText("Timeout < 36 Bytes", LINE_TIMEOUT_S).c_str());
    } else if (echo == LINE_OK_ECHO) {
        CopyText(szStatus, "Echo Check - Line Ok!");
        result = 1;
    } else {
        CopyText(szStatus, "read error - not sync byte 0xAA!");
    }
    ShowStatus(szStatus);
    return result;
}

void PushGET(int target) {
    if (target != DATFILE) {
        RequestParameterSet(target, "Waiting for parameter-frame ...");
        WaitRxFull();
        if (rx_flag == 1) {
            TakeAnswerSet(target);
            CopyPPtoVars();
            CopyText(szStatus, "Parameter-frame received! - Line Ok!");
            SetPanelValues();
        }
    }
    ShowStatus(szStatus);
}

int GetVERSIONInfo(void) {
    RemoveReceiveCallback();
    order = ORDER_FIRMWARE;
    StartExchange(com, order, pp);
    ShowStatus("Waiting for firmware info ...");
    const int queued = ReadReply(FIRMWARE_BYTES, LINE_TIMEOUT_S);
    if (queued < FIRMWARE_BYTES)
        CopyText(szStatus,
                 NoAnswerText("Timeout - reading firmware info!", LINE_TIMEOUT_S).c_str());
    szVersion[0] = '\0';
    if (nBytesR == FIRMWARE_BYTES) {
        int values[FIRMWARE_BYTES / 2];
        for (int i = 0; i < FIRMWARE_BYTES / 2; ++i)
            values[i] = WordAt(szReadBuf + 2 * i);
        FmtWordsAsText(szVersion, FIRMWARE_BYTES, values, FIRMWARE_BYTES / 2);
        CopyText(szStatus, szVersion);
    }
    RestoreReceiveCallback();
    ShowStatus(szStatus);
    return queued;
}

namespace {

// The teach or reset frame, its answer, and the read-back of the set from RAM. Returns 1 when the
// set was read back in time.
int TeachOrReset(int code) {
    if (StartExchange(com, order, pp))
        ShowStatus("Line Ok!");
    if (code == ORDER_TEACH)
        ShowStatus("New setpoint value teached!");
    bool readBack = false;
    if (AwaitAnswer(TEACH_TIMEOUT_S, nullptr) == 1) {
        PushGET(RAM);
        readBack = rx_flag == 1;
    }
    // tdiff is what the read-back's own wait left, when there was one.
    if (tdiff > TEACH_TIMEOUT_S)
        ShowStatus(NoAnswerText("Timeout RS-232!!", TEACH_TIMEOUT_S).c_str());
    return readBack && !(tdiff > TEACH_TIMEOUT_S);
}

} // namespace

int SendCommandAndReadBack(int code) {
    order = code;
    GetPanelValues();
    CopyVarsToPP();
    if (!JournalWrite(code == ORDER_TEACH ? JOURNAL_TEACH : JOURNAL_RESET, RAM, pp, nullptr))
        return 0;
    const int answered = TeachOrReset(code);
    CopyVarsToPP();
    JournalResult(ShownStatus(), answered ? pp : nullptr);
    return answered;
}

int ReadParameterSet(int target, unsigned short *words) {
    RequestParameterSet(target, "Transmit Ok!");
    const int answered = AwaitAnswer(GET_TIMEOUT_S, nullptr);
    if (answered == 1) {
        TakeAnswerSet(target);
        std::copy(pp, pp + PNUM, words);
        ShowStatus("Data Transfer Ok!");
    } else if (answered == 0) {
        ShowStatus(NoAnswerText("Timeout RS232-Line!", GET_TIMEOUT_S).c_str());
    }
    return answered;
}

int GetFromController(int target) {
    unsigned short words[PNUM];
    const int answered = ReadParameterSet(target, words);
    if (answered == DEVICE_GONE)
        return answered;
    if (answered == 1)
        TakeParameterWords(words);
    SetPanelValues();
    return answered;
}

int SendToController(int target) {
    sync = 85;
    order = target == EEPROM ? ORDER_WRITE_EEPROM : ORDER_WRITE_RAM;
    GetPanelValues();
    CopyVarsToPP();
    if (!JournalWrite(JOURNAL_SEND, target, pp, nullptr))
        return 0;
    const int written = SendFrame(com, order, pp);
    if (written)
        ShowStatus("Transmit Ok!");
    else
        ShowStatus(("Transmit...: " + WriteFailureCause()).c_str());
    JournalResult(ShownStatus());
    return written;
}

int SendLiveRequest(void) {
    order = ORDER_LIVE_VALUES;
    CopyVarsToPP();
    const int written = StartExchange(com, order, pp);
    liveAnswerDue = true;
    return written;
}

int ReadData64(int offset, int source, int order) {
    const unsigned short request[PNUM] = {static_cast<unsigned short>(offset),
                                          static_cast<unsigned short>(source)};
    StartExchange(com, order, request);
    ShowStatus("Waiting for Data[64] ...");
    if (ReadReply(BLOCK_BYTES, BLOCK_TIMEOUT_S) < BLOCK_BYTES) {
        CopyText(
            szStatus,
            NoAnswerText("Timeout-RS-232 while reading 64 data-words!", BLOCK_TIMEOUT_S).c_str());
        std::fill(yArrayA, yArrayA + 2 * BLOCK_WORDS, 0);
        std::fill(yArrayB, yArrayB + 2 * BLOCK_WORDS, 0);
        ttick = 0;
    }
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
    ShowStatus(szStatus);
    return result;
}

int CaptureCurve(int source) {
    RemoveReceiveCallback();
    FlushQueues(com);
    int whole = 0;
    const int blocks = source == 1 ? 2 : 4;
    for (int block = 0; block < blocks; ++block) {
        order = ORDER_DATA_BLOCK;
        whole += ReadData64(block * BLOCK_WORDS, source, order) == BLOCK_WORDS;
    }
    RestoreReceiveCallback();
    // The live values of the moment of the capture: pp goes out as the last answer left it.
    order = ORDER_LIVE_VALUES;
    StartExchange(com, order, pp);
    WaitRxFull();
    return whole == blocks;
}

int SendCorrDataToFlash(void) {
    struct Page {
        int address;
        const int *data;
        char digit;
    };
    const Page pages[] = {
        {PAGE4, flashp4, '4'}, {PAGE5, flashp5, '5'}, {PAGE6, flashp6, '6'}, {PAGE7, flashp7, '7'}};
    if (!JournalWrite(JOURNAL_FLASH, 0, nullptr, TableDigest().c_str()))
        return int(std::size(pages));
    // A live answer still on its way must not be taken for the first echo.
    LetLiveAnswerIn();
    DiscardInput(com);
    int failed = 0;
    for (const Page &page : pages) {
        const int written = WritePageDataToFlash(page.address, page.data);
        failed += written < 255;
        std::snprintf(szStatus, sizeof szStatus,
                      written < 255 ? "error : F801 FLASH page%c-write <255 words!"
                                    : "ok : F801 FLASH page%c-write 255 words!",
                      page.digit);
        ShowStatus(szStatus);
        if (page.address != PAGE7)
            Delay(FLASH_PAGE_PAUSE_S);
    }
    ShowFlashProgress(0);
    // The last page's "ok" must not stand for the whole table.
    if (failed > 0) {
        std::snprintf(szStatus, sizeof szStatus, "error : F801 FLASH %d of 4 pages not written!",
                      failed);
        ShowStatus(szStatus);
    }
    JournalResult(ShownStatus());
    return failed;
}

int WritePageDataToFlash(unsigned int page, const int *data) {
    int taken = 0;
    unsigned int offset = 0;
    for (int block = 0; block < MAXBLOCK; ++block) {
        for (int i = 0; i < PNUM; ++i) {
            pp[i] = static_cast<unsigned short>(data[taken] & 0xFFFF);
            ++taken;
            ShowFlashProgress(taken);
        }
        if (SendInfoBlockToFlash(static_cast<int>(page + offset), 0) < 0)
            return -1;
        order = ORDER_FLASH_DATA;
        if (WriteBlockDataToFlash(pp) < 0)
            return -2;
        if (offset == 0)
            Delay(FLASH_FIRST_BLOCK_PAUSE_S);
        offset += PNUM;
    }
    return taken;
}

int SendInfoBlockToFlash(int address, int info) {
    order = ORDER_FLASH_INFO;
    const unsigned short request[PNUM] = {static_cast<unsigned short>(info),
                                          static_cast<unsigned short>(address)};
    const int echo = ExchangeDirect(com, order, request);
    if (echo == NO_ANSWER) {
        CopyText(szStatus,
                 NoAnswerText("Timeout: SendInfoBlockToFlash < 36 Bytes", LINE_TIMEOUT_S).c_str());
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
    order = ORDER_FLASH_DATA;
    int result = 0;
    switch (ExchangeDirect(com, order, words)) {
    case NO_ANSWER:
        CopyText(szStatus, NoAnswerText("Timeout < 36 Bytes", LINE_TIMEOUT_S).c_str());
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
    ShowStatus(szStatus);
    return result;
}

} // namespace kelvaro
