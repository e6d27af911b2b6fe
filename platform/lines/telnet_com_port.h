// The Telnet side of a network serial line (rfc2217://HOST:PORT): RFC 854 framing, option
// negotiation and RFC 2217 COM-PORT-OPTION as a client; bytes in, bytes out, no sockets, no clocks.
#pragma once

#include <cstddef>
#include <string>

// The line the server's port is asked to run; flow control is always none.
struct ComPortSettings {
    long baudRate;
    int dataBits; // 5 to 8
    int parity;   // 0 none, 1 odd, 2 even
    int stopBits; // 1 or 2
};

// One connection's Telnet state. Everything from the server goes through receive; what it and
// begin return goes to the server as it is; data for the line goes through escape first.
class TelnetComPort {
  public:
    enum class Negotiation { Pending, Ready, Refused };

    // Line bits of NOTIFY-LINESTATE that mean received data was damaged or a break came.
    enum LineError { BREAK = 0x10, FRAMING = 0x08, PARITY = 0x04, OVERRUN = 0x02 };

    // address is the server's "HOST:PORT", only for the refusal's words.
    TelnetComPort(const ComPortSettings &settings, std::string address);

    // The bytes that open the negotiation, all state reset for a fresh connection; "" and Refused
    // when the settings can't be asked for (refusal() says which).
    std::string begin();
    // Bytes from the server, in any chunking: data bytes (IAC IAC undoubled) appended to *data,
    // whatever the protocol must answer appended to *reply. Never fails; a hostile stream only
    // loses its own bytes.
    void receive(const char *bytes, size_t count, std::string *data, std::string *reply);
    // Ready once binary transmission is agreed both ways and the server confirmed every setting.
    Negotiation negotiation() const;
    // Why the server refused, in words an operator can act on; "" unless Refused.
    const std::string &refusal() const { return refusal_; }
    // What is not agreed or confirmed yet, for a time-out's message: e.g. "baud rate, parity";
    // "" when nothing is missing.
    std::string unconfirmed() const;
    // The LineError bits the server reported since the last call; 0 when none.
    int takeLineErrors();

    // Appends data for the line to *out with every 0xFF doubled.
    static void escape(const char *bytes, size_t count, std::string *out);
    // The PURGE-DATA request: which 1 the server's receive buffer, 2 its transmit buffer, 3 both;
    // "" for any other which.
    static std::string purge(int which);

    // The longest subnegotiation taken; a longer one is dropped and its rest read as data.
    static constexpr size_t SUBNEGOTIATION_LIMIT = 64;

  private:
    // RFC 1143's states without the queue: this client never withdraws an option it asked for.
    enum class Side { No, WantYes, Yes };
    enum class Parse { Data, Command, Option, Subnegotiation, SubnegotiationCommand };
    enum Setting { BAUD_RATE, DATA_BITS, PARITY_SETTING, STOP_BITS, FLOW_CONTROL };
    static constexpr int SETTINGS = FLOW_CONTROL + 1;
    enum OptionIndex { BINARY_OPTION, SGA_OPTION, COM_PORT_OPTION, OPTIONS };
    struct Option {
        unsigned char code;
        bool wantOurs;   // we WILL it
        bool wantTheirs; // we want the server to WILL it
        Side ours;
        Side theirs;
    };

    Option *findOption(unsigned char code);
    void takeCommand(unsigned char command);
    void negotiate(unsigned char verb, unsigned char code, std::string *reply);
    void ourSideAgreed(unsigned char code, std::string *reply);
    void collect(unsigned char byte, std::string *data);
    void takeSubnegotiation();
    void confirm(Setting setting, unsigned long value);
    void refuse(const std::string &why);
    std::string lineText() const;
    std::string remedy() const;

    ComPortSettings settings_;
    std::string address_;
    unsigned long asked_[SETTINGS];
    bool confirmed_[SETTINGS];
    Option options_[OPTIONS];
    Parse parse_;
    unsigned char verb_;
    unsigned char subnegotiation_[SUBNEGOTIATION_LIMIT];
    size_t subnegotiationLength_;
    bool settingsSent_;
    int lineErrors_;
    std::string refusal_;
};
