// The device link as the window runs it. Each function keeps its place in the window's sequences
// and leaves the exchange itself to the core: it hands the core the parameter image, shows the
// texts the core reports on the way, and puts what came into the image, the variables and the
// panel.
#include "com232.h"

#include "KELVARO1V10.h"
#include "gui.h"
#include "journal.h"
#include "parameter_words.h"

#include "serial.h"
#include "utility.h"

#include <algorithm>

namespace kelvaro {

int com = 1;
int target = RAM;
int order = 1;
unsigned short pp[PNUM];
unsigned char szReadBuf[BUFFER_BYTES];
int rx_flag = 1;
char szVersion[FIRMWARE_BYTES];

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

Words Image(void) {
    Words image;
    std::copy(pp, pp + PNUM, image.begin());
    return image;
}

std::string StatusOf(const Outcome &outcome) {
    const std::string shown = outcome.shown();
    if (outcome.code == OUTCOME_DEVICE_GONE)
        return shown + " - pick it again in the ring when it is back";
    if (outcome.code == OUTCOME_NO_PORT && !outcome.cause.empty() &&
        outcome.cause.rfind(ComPortLabel(com) + " is not open", 0) == 0)
        return shown + " - pick a port in the ring";
    return shown;
}

void ShowOutcome(const Outcome &outcome) {
    ShowStatus(StatusOf(outcome).c_str());
}

namespace {

// Opens port's line; one reached over the network says so while it connects.
Outcome OpenPortLine(int port) {
    char device[512] = "";
    if (ComIsNetworkLine(port) && GetComDeviceName(port, device, sizeof device) == 0)
        ShowStatus((ComPortLabel(port) + ": connecting to " + device + " ...").c_str());
    return OpenLine(port);
}

} // namespace

void InitRS232(int port) {
    int picked = com;
    Outcome opened = OpenPortLine(port);
    // A port picked in the ring while a server was reached replaces it.
    while (!opened.ok() && com != picked) {
        port = picked = com;
        ShowStatus("Init COM-Port ...");
        opened = OpenPortLine(port);
    }
    if (!opened.ok()) {
        CopyText(szStatus, opened.shown().c_str());
    } else {
        InstallComLostCallback(port, RX_Lost_Function, nullptr);
        if (CheckComLine(port) == 1) {
            target = RAM;
            PushGET(RAM);
            if (GetVERSIONInfo() < FIRMWARE_BYTES)
                CopyText(szStatus,
                         ("Error reading firmware-info!: " + std::string(szStatus)).c_str());
        }
    }
    ShowStatus(szStatus);
}

void RX_Receive_Function(const Outcome &answer) {
    const size_t count = std::min(answer.bytes.size(), sizeof szReadBuf);
    std::copy(answer.bytes.begin(), answer.bytes.begin() + long(count), szReadBuf);
    GetRxBuf(PNUM);
    ttick = 0;
    rx_flag = 1;
    graphrefresh = 1;
}

void RX_Lost_Function(int port, int, void *) {
    // Between exchanges nothing else would look: the line is closed and the operator told now.
    if (port != LinePort() || LineBusyWith())
        return;
    Outcome gone;
    gone.code = OUTCOME_DEVICE_GONE;
    gone.cause = PortName(port) + " is gone";
    const std::string why = GetComFailureCause(port);
    if (!why.empty())
        gone.cause += " (" + why + ")";
    CloseLine();
    CopyText(szStatus, StatusOf(gone).c_str());
    ShowStatus(szStatus);
}

int CheckComLine(int) {
    CopyVarsToPP();
    const Outcome checked = CheckLine(Image(), ShowStatus);
    CopyText(szStatus, StatusOf(checked).c_str());
    ShowStatus(szStatus);
    return checked.ok() ? 1 : 0;
}

void PushGET(int target) {
    if (target != DATFILE) {
        CopyVarsToPP();
        const Outcome set = ReadSet(target, Image(), READ_BACK_TEXTS, ShowStatus);
        CopyText(szStatus, StatusOf(set).c_str());
        if (set.ok()) {
            RX_Receive_Function(set);
            JournalSetRead(target, pp);
            CopyPPtoVars();
            SetPanelValues();
        }
    }
    ShowStatus(szStatus);
}

int GetVERSIONInfo(void) {
    order = ORDER_FIRMWARE;
    const Outcome firmware = ReadFirmware(Image(), ShowStatus);
    szVersion[0] = '\0';
    if (firmware.ok())
        CopyText(szVersion, firmware.text.c_str());
    CopyText(szStatus, StatusOf(firmware).c_str());
    rx_flag = 0;
    ShowStatus(szStatus);
    return firmware.ok() ? FIRMWARE_BYTES : 0;
}

int ReadData64(int offset, int source, int) {
    const Outcome block = ReadBlock(offset, source, ShowStatus);
    CopyText(szStatus, StatusOf(block).c_str());
    int result = 0;
    if (block.ok()) {
        result = BLOCK_WORDS;
        unsigned short *destination = offset == 0     ? yArrayA
                                      : offset == 64  ? yArrayA + 64
                                      : offset == 128 ? yArrayB
                                      : offset == 192 ? yArrayB + 64
                                                      : nullptr;
        if (destination)
            std::copy(block.words.begin(), block.words.end(), destination);
    } else if (block.code != OUTCOME_READ_ERROR) {
        std::fill(yArrayA, yArrayA + CURVE_POINTS, 0);
        std::fill(yArrayB, yArrayB + CURVE_POINTS, 0);
        ttick = 0;
    }
    ShowStatus(szStatus);
    return result;
}

int SendCorrDataToFlash(void) {
    int table[FLASH_PAGES * FLASH_PAGE_WORDS];
    int *end = table;
    for (const int *page : {flashp4, flashp5, flashp6, flashp7})
        end = std::copy(page, page + FLASH_PAGE_WORDS, end);
    const Outcome flashed =
        JournaledWrite({JOURNAL_FLASH, 0, nullptr, TableDigest(table)}, [&table] {
            return FlashTable(table, {ShowStatus, ShowFlashProgress});
        });
    ShowOutcome(flashed);
    return flashed.ok() ? 1 : 0;
}

} // namespace kelvaro
