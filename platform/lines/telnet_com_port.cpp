// Telnet client codec for serial device servers (ser2net, hardware boxes): framing, option
// negotiation that cannot loop, and the COM-PORT-OPTION settings with their confirmations.
#include "telnet_com_port.h"

#include <cstring>
#include <utility>

namespace {

const unsigned char IAC = 255;
const unsigned char DONT = 254;
const unsigned char DO = 253;
const unsigned char WONT = 252;
const unsigned char WILL = 251;
const unsigned char SB = 250;
const unsigned char SE = 240;

const unsigned char OPTION_BINARY = 0;
const unsigned char OPTION_SGA = 3;
const unsigned char OPTION_COM_PORT = 44;

// COM-PORT-OPTION codes from the client; the server answers each with the code plus 100.
const unsigned char SET_BAUDRATE = 1;
const unsigned char SET_DATASIZE = 2;
const unsigned char SET_PARITY = 3;
const unsigned char SET_STOPSIZE = 4;
const unsigned char SET_CONTROL = 5;
const unsigned char NOTIFY_LINESTATE = 6;
const unsigned char SET_LINESTATE_MASK = 10;
const unsigned char PURGE_DATA = 12;
const unsigned char SERVER_CODE = 100;

const unsigned long PARITY_NONE = 1;
const unsigned long CONTROL_NO_FLOW = 1;
const unsigned long CONTROL_XON_XOFF = 2;
const unsigned long CONTROL_HARDWARE = 3;
const unsigned long CONTROL_DCD = 17;
const unsigned long CONTROL_DSR = 19;
const int LINE_ERRORS =
    TelnetComPort::BREAK | TelnetComPort::FRAMING | TelnetComPort::PARITY | TelnetComPort::OVERRUN;
const unsigned long LARGEST_BAUD_RATE = 0xFFFFFFFFul;
const int PURGE_BOTH = 3;

const char *const SETTING_NAMES[] = {"baud rate", "data bits", "parity", "stop bits",
                                     "flow control"};

void appendEscaped(unsigned char byte, std::string *out) {
    out->push_back(char(byte));
    if (byte == IAC)
        out->push_back(char(IAC));
}

// IAC SB COM-PORT-OPTION code value IAC SE, the value big-endian in size bytes and IAC-escaped.
std::string comPortCommand(unsigned char code, unsigned long value, int size) {
    std::string bytes{char(IAC), char(SB), char(OPTION_COM_PORT), char(code)};
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        appendEscaped(static_cast<unsigned char>(value >> shift), &bytes);
    bytes += {char(IAC), char(SE)};
    return bytes;
}

std::string parityName(unsigned long code) {
    const char *const names[] = {"none", "odd", "even", "mark", "space"};
    if (code >= 1 && code <= 5)
        return names[code - 1];
    return "code " + std::to_string(code);
}

std::string stopBitsName(unsigned long code) {
    if (code == 3)
        return "1.5";
    return std::to_string(code);
}

std::string flowControlName(unsigned long code) {
    switch (code) {
    case CONTROL_NO_FLOW:
        return "none";
    case CONTROL_XON_XOFF:
        return "XON/XOFF";
    case CONTROL_HARDWARE:
        return "RTS/CTS";
    case CONTROL_DCD:
        return "DCD";
    case CONTROL_DSR:
        return "DSR";
    default:
        return "code " + std::to_string(code);
    }
}

unsigned long bigEndian(const unsigned char *bytes, size_t count) {
    unsigned long value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// The SET-CONTROL answers that report outbound flow control; the others report break, DTR, RTS
// or inbound flow control, which this client never sets.
bool isFlowControl(unsigned long code) {
    return code == CONTROL_NO_FLOW || code == CONTROL_XON_XOFF || code == CONTROL_HARDWARE ||
           code == CONTROL_DCD || code == CONTROL_DSR;
}

} // namespace

TelnetComPort::TelnetComPort(const ComPortSettings &settings, std::string address)
    : settings_(settings), address_(std::move(address)) {
    begin();
}

std::string TelnetComPort::begin() {
    asked_[BAUD_RATE] = static_cast<unsigned long>(settings_.baudRate);
    asked_[DATA_BITS] = static_cast<unsigned long>(settings_.dataBits);
    asked_[PARITY_SETTING] = static_cast<unsigned long>(settings_.parity) + PARITY_NONE;
    asked_[STOP_BITS] = static_cast<unsigned long>(settings_.stopBits);
    asked_[FLOW_CONTROL] = CONTROL_NO_FLOW;
    for (bool &confirmed : confirmed_)
        confirmed = false;
    // SGA both ways, as ser2net and pyserial negotiate it: the line is full duplex and never waits
    // for a go-ahead.
    options_[BINARY_OPTION] = {OPTION_BINARY, true, true, Side::WantYes, Side::WantYes};
    options_[SGA_OPTION] = {OPTION_SGA, true, true, Side::WantYes, Side::WantYes};
    options_[COM_PORT_OPTION] = {OPTION_COM_PORT, true, false, Side::WantYes, Side::No};
    parse_ = Parse::Data;
    verb_ = 0;
    subnegotiationLength_ = 0;
    settingsSent_ = false;
    lineErrors_ = 0;
    refusal_.clear();

    const std::string asking = "cannot ask the server at " + address_ + " for ";
    if (settings_.baudRate <= 0 ||
        static_cast<unsigned long>(settings_.baudRate) > LARGEST_BAUD_RATE)
        refuse(asking + std::to_string(settings_.baudRate) + " baud");
    else if (settings_.dataBits < 5 || settings_.dataBits > 8)
        refuse(asking + std::to_string(settings_.dataBits) + " data bits: a line has 5 to 8");
    else if (settings_.parity < 0 || settings_.parity > 2)
        refuse(asking + "parity " + std::to_string(settings_.parity) + ": 0 none, 1 odd, 2 even");
    else if (settings_.stopBits < 1 || settings_.stopBits > 2)
        refuse(asking + std::to_string(settings_.stopBits) + " stop bits: a line has 1 or 2");
    if (!refusal_.empty()) {
        // Nothing is agreed, so no setting can go out later either.
        for (Option &option : options_)
            option = {option.code, false, false, Side::No, Side::No};
        return "";
    }
    return {char(IAC), char(WILL), char(OPTION_BINARY),  char(IAC), char(DO), char(OPTION_BINARY),
            char(IAC), char(WILL), char(OPTION_SGA),     char(IAC), char(DO), char(OPTION_SGA),
            char(IAC), char(WILL), char(OPTION_COM_PORT)};
}

void TelnetComPort::receive(const char *bytes, size_t count, std::string *data,
                            std::string *reply) {
    const auto *next = reinterpret_cast<const unsigned char *>(bytes);
    const unsigned char *const end = next + count;
    while (next < end) {
        if (parse_ == Parse::Data) {
            // Data comes in runs between commands: take each run whole.
            const void *found = std::memchr(next, IAC, size_t(end - next));
            const auto *iac = found ? static_cast<const unsigned char *>(found) : end;
            data->append(reinterpret_cast<const char *>(next), size_t(iac - next));
            next = iac;
            if (next < end) {
                parse_ = Parse::Command;
                ++next;
            }
            continue;
        }
        const unsigned char byte = *next++;
        switch (parse_) {
        case Parse::Command:
            if (byte == IAC)
                data->push_back(char(IAC));
            takeCommand(byte);
            break;
        case Parse::Option:
            negotiate(verb_, byte, reply);
            parse_ = Parse::Data;
            break;
        case Parse::Subnegotiation:
            if (byte == IAC)
                parse_ = Parse::SubnegotiationCommand;
            else
                collect(byte, data);
            break;
        case Parse::SubnegotiationCommand:
            if (byte == IAC) {
                parse_ = Parse::Subnegotiation;
                collect(byte, data);
            } else if (byte == SE) {
                takeSubnegotiation();
                parse_ = Parse::Data;
            } else {
                // A subnegotiation cut short by a command: drop it and resynchronise on the
                // command.
                takeCommand(byte);
            }
            break;
        case Parse::Data:
            break;
        }
    }
}

void TelnetComPort::takeCommand(unsigned char command) {
    if (command >= WILL && command <= DONT) {
        verb_ = command;
        parse_ = Parse::Option;
    } else if (command == SB) {
        subnegotiationLength_ = 0;
        parse_ = Parse::Subnegotiation;
    } else {
        // IAC IAC was data; NOP, DM, BRK, IP, AO, AYT, EC, EL, GA and a stray SE mean nothing on a
        // serial line.
        parse_ = Parse::Data;
    }
}

TelnetComPort::Option *TelnetComPort::findOption(unsigned char code) {
    for (Option &option : options_)
        if (option.code == code)
            return &option;
    return nullptr;
}

// RFC 1143 without the queue: a request that matches the agreed state is never answered, so two
// parties cannot echo each other forever.
void TelnetComPort::negotiate(unsigned char verb, unsigned char code, std::string *reply) {
    // Options not in the table are refused both ways and keep no state.
    Option unknown{code, false, false, Side::No, Side::No};
    Option *found = findOption(code);
    Option &option = found ? *found : unknown;
    const bool theirSide = verb == WILL || verb == WONT;
    Side &side = theirSide ? option.theirs : option.ours;
    const bool wanted = theirSide ? option.wantTheirs : option.wantOurs;
    const unsigned char agree = theirSide ? DO : WILL;
    const unsigned char decline = theirSide ? DONT : WONT;
    const Side before = side;

    if (verb == WILL || verb == DO) {
        if (before == Side::No)
            reply->append({char(IAC), char(wanted ? agree : decline), char(code)});
        if (!wanted)
            return;
        side = Side::Yes;
        if (!theirSide && before != Side::Yes)
            ourSideAgreed(code, reply);
        return;
    }
    if (before == Side::Yes)
        reply->append({char(IAC), char(decline), char(code)});
    side = Side::No;
    const char *const verbName = verb == WONT ? "WONT" : "DONT";
    if (code == OPTION_BINARY && before != Side::No)
        refuse("the server at " + address_ + " refused binary transmission (" + verbName +
               " BINARY), which the line's frames need: " + remedy());
    // A server that answers our WILL with WONT means the same as DONT, only said the wrong way.
    const bool comPortAsked =
        theirSide ? options_[COM_PORT_OPTION].ours == Side::WantYes : before != Side::No;
    if (code == OPTION_COM_PORT && comPortAsked)
        refuse("the server at " + address_ + " refused RFC 2217 (" + verbName +
               " COM-PORT-OPTION): " + remedy());
}

void TelnetComPort::ourSideAgreed(unsigned char code, std::string *reply) {
    if (code != OPTION_COM_PORT || settingsSent_)
        return;
    settingsSent_ = true;
    *reply += comPortCommand(SET_BAUDRATE, asked_[BAUD_RATE], 4);
    *reply += comPortCommand(SET_DATASIZE, asked_[DATA_BITS], 1);
    *reply += comPortCommand(SET_PARITY, asked_[PARITY_SETTING], 1);
    *reply += comPortCommand(SET_STOPSIZE, asked_[STOP_BITS], 1);
    *reply += comPortCommand(SET_CONTROL, asked_[FLOW_CONTROL], 1);
    *reply += comPortCommand(SET_LINESTATE_MASK, LINE_ERRORS, 1);
}

void TelnetComPort::collect(unsigned char byte, std::string *data) {
    if (subnegotiationLength_ < SUBNEGOTIATION_LIMIT) {
        subnegotiation_[subnegotiationLength_++] = byte;
        return;
    }
    // Longer than any this client takes: a hostile or broken stream must not hold the data back.
    subnegotiationLength_ = 0;
    parse_ = Parse::Data;
    data->push_back(char(byte));
}

void TelnetComPort::takeSubnegotiation() {
    if (subnegotiationLength_ < 3 || subnegotiation_[0] != OPTION_COM_PORT)
        return;
    const unsigned char code = subnegotiation_[1];
    const unsigned char *value = subnegotiation_ + 2;
    const size_t size = subnegotiationLength_ - 2;
    // Modem state, flow control suspend and resume, mask and purge answers, the signature and
    // codes unknown here change nothing on this line.
    if (code == SERVER_CODE + SET_BAUDRATE && size == 4)
        confirm(BAUD_RATE, bigEndian(value, size));
    else if (size != 1)
        return;
    else if (code == SERVER_CODE + SET_DATASIZE)
        confirm(DATA_BITS, value[0]);
    else if (code == SERVER_CODE + SET_PARITY)
        confirm(PARITY_SETTING, value[0]);
    else if (code == SERVER_CODE + SET_STOPSIZE)
        confirm(STOP_BITS, value[0]);
    else if (code == SERVER_CODE + SET_CONTROL && isFlowControl(value[0]))
        confirm(FLOW_CONTROL, value[0]);
    else if (code == SERVER_CODE + NOTIFY_LINESTATE)
        lineErrors_ |= value[0] & LINE_ERRORS;
}

void TelnetComPort::confirm(Setting setting, unsigned long value) {
    // Before our settings went out the server can only be telling its old ones.
    if (!settingsSent_)
        return;
    const unsigned long asked = asked_[setting];
    if (value == asked) {
        confirmed_[setting] = true;
        return;
    }
    std::string what;
    switch (setting) {
    case BAUD_RATE:
        what = std::to_string(value) + " baud, not " + std::to_string(asked);
        break;
    case DATA_BITS:
        what = std::to_string(value) + " data bits, not " + std::to_string(asked);
        break;
    case PARITY_SETTING:
        what = "parity " + parityName(value) + ", not " + parityName(asked);
        break;
    case STOP_BITS:
        what = stopBitsName(value) + " stop bits, not " + stopBitsName(asked);
        break;
    case FLOW_CONTROL:
        what = flowControlName(value) + " flow control, not " + flowControlName(asked);
        break;
    }
    refuse("the server at " + address_ + " set " + what + ": check that its port can run " +
           lineText());
}

void TelnetComPort::refuse(const std::string &why) {
    // The first cause is the one to act on; what follows is often its consequence.
    if (refusal_.empty())
        refusal_ = why;
}

// "19200 8N1"
std::string TelnetComPort::lineText() const {
    const char parities[] = {'N', 'O', 'E'};
    return std::to_string(settings_.baudRate) + " " + std::to_string(settings_.dataBits) +
           parities[settings_.parity] + std::to_string(settings_.stopBits);
}

std::string TelnetComPort::remedy() const {
    return "use tcp://" + address_ + " for a raw port, set to " + lineText() + " on the server";
}

TelnetComPort::Negotiation TelnetComPort::negotiation() const {
    if (!refusal_.empty())
        return Negotiation::Refused;
    const Option &binary = options_[BINARY_OPTION];
    if (binary.ours != Side::Yes || binary.theirs != Side::Yes)
        return Negotiation::Pending;
    for (bool confirmed : confirmed_)
        if (!confirmed)
            return Negotiation::Pending;
    return Negotiation::Ready;
}

std::string TelnetComPort::unconfirmed() const {
    std::string missing;
    const auto add = [&missing](const char *what) {
        missing += missing.empty() ? "" : ", ";
        missing += what;
    };
    const Option &binary = options_[BINARY_OPTION];
    if (options_[COM_PORT_OPTION].ours != Side::Yes)
        add("RFC 2217 (COM-PORT-OPTION)");
    if (binary.ours != Side::Yes || binary.theirs != Side::Yes)
        add("binary transmission");
    for (int setting = 0; setting < SETTINGS; ++setting)
        if (!confirmed_[setting])
            add(SETTING_NAMES[setting]);
    return missing;
}

int TelnetComPort::takeLineErrors() {
    return std::exchange(lineErrors_, 0);
}

void TelnetComPort::escape(const char *bytes, size_t count, std::string *out) {
    for (size_t i = 0; i < count; ++i)
        appendEscaped(static_cast<unsigned char>(bytes[i]), out);
}

std::string TelnetComPort::purge(int which) {
    if (which < 1 || which > PURGE_BOTH)
        return "";
    return comPortCommand(PURGE_DATA, static_cast<unsigned long>(which), 1);
}
