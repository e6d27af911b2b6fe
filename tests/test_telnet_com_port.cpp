// Tests of the Telnet / RFC 2217 client codec: its bytes against RFC 2217's numbers, ser2net's own
// conversation, refusals, 0xFF-heavy data in any chunking, hostile streams, and a real ser2net.
#include "telnet_com_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Negotiation = TelnetComPort::Negotiation;

const ComPortSettings LINE_19200_8N1 = {19200, 8, 0, 1};
const char ADDRESS[] = "127.0.0.1:4001";

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values)
        out.push_back(char(value));
    return out;
}

std::string hex(const std::string &text) {
    std::ostringstream out;
    for (unsigned char byte : text)
        out << std::hex << (byte < 16 ? "0" : "") << int(byte) << ' ';
    return out.str();
}

// What a stream gave: the line's data, the protocol's answers and where the negotiation stands.
struct Outcome {
    std::string data;
    std::string reply;
    Negotiation negotiation;
    std::string refusal;
    std::string unconfirmed;
    int lineErrors;

    bool operator==(const Outcome &other) const {
        return data == other.data && reply == other.reply && negotiation == other.negotiation &&
               refusal == other.refusal && unconfirmed == other.unconfirmed &&
               lineErrors == other.lineErrors;
    }
};

// Feeds stream to a codec fresh from begin, in pieces of the sizes given in turn (0: the rest).
Outcome feed(const std::string &stream, std::vector<size_t> pieces = {0},
             const ComPortSettings &settings = LINE_19200_8N1) {
    TelnetComPort telnet(settings, ADDRESS);
    telnet.begin();
    Outcome outcome{};
    size_t at = 0;
    for (size_t turn = 0; at < stream.size(); ++turn) {
        const size_t piece = pieces[turn % pieces.size()];
        const size_t count = piece == 0 ? stream.size() - at : std::min(piece, stream.size() - at);
        telnet.receive(stream.data() + at, count, &outcome.data, &outcome.reply);
        at += count;
    }
    outcome.negotiation = telnet.negotiation();
    outcome.refusal = telnet.refusal();
    outcome.unconfirmed = telnet.unconfirmed();
    outcome.lineErrors = telnet.takeLineErrors();
    return outcome;
}

// The same stream whole, byte by byte, cut at every point in two, and in uneven pieces: one
// outcome, which is returned.
Outcome feedEveryWay(const std::string &stream) {
    const Outcome whole = feed(stream);
    EXPECT_TRUE(feed(stream, {1}) == whole) << "byte by byte: " << hex(stream);
    EXPECT_TRUE(feed(stream, {2, 3, 5, 7}) == whole) << "uneven pieces: " << hex(stream);
    for (size_t cut = 1; cut < stream.size(); ++cut)
        EXPECT_TRUE(feed(stream, {cut, 0}) == whole) << "cut at " << cut << ": " << hex(stream);
    return whole;
}

const std::string WILL_BINARY = bytes({0xFF, 0xFB, 0x00});
const std::string DO_BINARY = bytes({0xFF, 0xFD, 0x00});
const std::string WONT_BINARY = bytes({0xFF, 0xFC, 0x00});
const std::string DO_COM_PORT = bytes({0xFF, 0xFD, 0x2C});
const std::string DONT_COM_PORT = bytes({0xFF, 0xFE, 0x2C});

// What this client sends once the server takes COM-PORT-OPTION, for 19200 8N1, no flow control.
const std::string SETTINGS_19200_8N1 =
    bytes({0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x4B, 0x00, 0xFF, 0xF0}) + // SET-BAUDRATE
    bytes({0xFF, 0xFA, 0x2C, 0x02, 0x08, 0xFF, 0xF0}) +                   // SET-DATASIZE 8
    bytes({0xFF, 0xFA, 0x2C, 0x03, 0x01, 0xFF, 0xF0}) +                   // SET-PARITY none
    bytes({0xFF, 0xFA, 0x2C, 0x04, 0x01, 0xFF, 0xF0}) +                   // SET-STOPSIZE 1
    bytes({0xFF, 0xFA, 0x2C, 0x05, 0x01, 0xFF, 0xF0}) +                   // SET-CONTROL none
    bytes({0xFF, 0xFA, 0x2C, 0x0A, 0x1E, 0xFF, 0xF0}); // SET-LINESTATE-MASK break, errors

// The server's confirmations of 19200 8N1, no flow control.
const std::string CONFIRMATIONS_19200_8N1 =
    bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x4B, 0x00, 0xFF, 0xF0}) +
    bytes({0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0}) +
    bytes({0xFF, 0xFA, 0x2C, 0x67, 0x01, 0xFF, 0xF0}) +
    bytes({0xFF, 0xFA, 0x2C, 0x68, 0x01, 0xFF, 0xF0}) +
    bytes({0xFF, 0xFA, 0x2C, 0x69, 0x01, 0xFF, 0xF0});

// ser2net 4.3 (gensio 2.6) with telnet(rfc2217), recorded on a loopback port: its greeting
// (WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT-OPTION), its answer
// to this client's opening (DO SGA once more, NOTIFY-MODEMSTATE 0) and to the settings: a
// NOTIFY-LINESTATE 0 where code 110 would confirm the mask, then the five confirmations.
const std::string SER2NET_GREETING =
    bytes({0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE,
           0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C});
const std::string SER2NET_CONVERSATION =
    SER2NET_GREETING + bytes({0xFF, 0xFD, 0x03, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0}) +
    bytes({0xFF, 0xFA, 0x2C, 0x6A, 0x00, 0xFF, 0xF0}) + CONFIRMATIONS_19200_8N1;
const std::string DONT_ECHO = bytes({0xFF, 0xFE, 0x01});

const char ALL_SETTINGS[] = "baud rate, data bits, parity, stop bits, flow control";

TEST(TelnetComPort, SpeaksRfc2217Numbers) {
    TelnetComPort telnet(LINE_19200_8N1, ADDRESS);
    EXPECT_EQ(hex(telnet.begin()), hex(WILL_BINARY + DO_BINARY + bytes({0xFF, 0xFB, 0x03}) +
                                       bytes({0xFF, 0xFD, 0x03}) + bytes({0xFF, 0xFB, 0x2C})));
    EXPECT_EQ(telnet.negotiation(), Negotiation::Pending);
    EXPECT_EQ(telnet.unconfirmed(),
              std::string("RFC 2217 (COM-PORT-OPTION), binary transmission, ") + ALL_SETTINGS);

    std::string data, reply;
    telnet.receive(DO_COM_PORT.data(), DO_COM_PORT.size(), &data, &reply);
    EXPECT_EQ(hex(reply), hex(SETTINGS_19200_8N1));
    // Asked again, the option is already agreed: no answer and no second set of settings.
    reply.clear();
    telnet.receive(DO_COM_PORT.data(), DO_COM_PORT.size(), &data, &reply);
    EXPECT_EQ(hex(reply), "");
    EXPECT_EQ(data, "");

    // Values other than 19200 8N1, and a baud rate whose byte 0xFF is doubled inside the
    // subnegotiation.
    const std::string other511_7E2 =
        bytes({0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xF0}) +
        bytes({0xFF, 0xFA, 0x2C, 0x02, 0x07, 0xFF, 0xF0}) +
        bytes({0xFF, 0xFA, 0x2C, 0x03, 0x03, 0xFF, 0xF0}) +
        bytes({0xFF, 0xFA, 0x2C, 0x04, 0x02, 0xFF, 0xF0});
    const Outcome other = feed(DO_COM_PORT, {0}, {0x1FF, 7, 2, 2});
    EXPECT_EQ(hex(other.reply.substr(0, other511_7E2.size())), hex(other511_7E2));

    EXPECT_EQ(hex(TelnetComPort::purge(1)), hex(bytes({0xFF, 0xFA, 0x2C, 0x0C, 0x01, 0xFF, 0xF0})));
    EXPECT_EQ(hex(TelnetComPort::purge(2)), hex(bytes({0xFF, 0xFA, 0x2C, 0x0C, 0x02, 0xFF, 0xF0})));
    EXPECT_EQ(hex(TelnetComPort::purge(3)), hex(bytes({0xFF, 0xFA, 0x2C, 0x0C, 0x03, 0xFF, 0xF0})));
    EXPECT_EQ(TelnetComPort::purge(0), "");
    EXPECT_EQ(TelnetComPort::purge(4), "");

    // Settings no serial line has cannot be asked for, and say which.
    TelnetComPort nineBits({19200, 9, 0, 1}, ADDRESS);
    EXPECT_EQ(nineBits.begin(), "");
    EXPECT_EQ(nineBits.negotiation(), Negotiation::Refused);
    EXPECT_NE(nineBits.refusal().find("9 data bits"), std::string::npos) << nineBits.refusal();
    EXPECT_EQ(feed(DO_COM_PORT, {0}, {19200, 8, 3, 1}).reply, bytes({0xFF, 0xFC, 0x2C}));
}

TEST(TelnetComPort, NegotiatesWithSer2netUntilReady) {
    const Outcome greeted = feedEveryWay(SER2NET_GREETING);
    EXPECT_EQ(hex(greeted.reply), hex(DONT_ECHO + SETTINGS_19200_8N1));
    EXPECT_EQ(greeted.negotiation, Negotiation::Pending);
    EXPECT_EQ(greeted.unconfirmed, ALL_SETTINGS);

    const Outcome done = feedEveryWay(SER2NET_CONVERSATION);
    EXPECT_EQ(hex(done.reply), hex(DONT_ECHO + SETTINGS_19200_8N1));
    EXPECT_EQ(done.data, "");
    EXPECT_EQ(done.negotiation, Negotiation::Ready) << done.refusal << " / " << done.unconfirmed;
    EXPECT_EQ(done.unconfirmed, "");
    EXPECT_EQ(done.lineErrors, 0);

    // Four of five confirmations are not enough.
    const std::string withoutFlow = SER2NET_CONVERSATION.substr(0, SER2NET_CONVERSATION.size() - 7);
    EXPECT_EQ(feed(withoutFlow).unconfirmed, "flow control");
    EXPECT_EQ(feed(withoutFlow).negotiation, Negotiation::Pending);

    // A server that repeats its requests after agreement gets no answers, so none can loop; only
    // an offer refused before is refused again. Options this client does not use are declined
    // each way, and their refusals taken without an answer.
    const std::string repeated = SER2NET_CONVERSATION + SER2NET_GREETING +
                                 bytes({0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x03, 0xFF, 0xFE, 0x01});
    const Outcome again = feed(repeated);
    EXPECT_EQ(hex(again.reply), hex(DONT_ECHO + SETTINGS_19200_8N1 + DONT_ECHO));
    EXPECT_EQ(again.negotiation, Negotiation::Ready);
    const Outcome others = feed(bytes({0xFF, 0xFB, 0x18, 0xFF, 0xFD, 0x1F, 0xFF, 0xFD, 0x01, 0xFF,
                                       0xFC, 0x18, 0xFF, 0xFE, 0x1F, 0xFF, 0xFB, 0x2C}));
    EXPECT_EQ(hex(others.reply),
              hex(bytes({0xFF, 0xFE, 0x18, 0xFF, 0xFC, 0x1F, 0xFF, 0xFC, 0x01, 0xFF, 0xFE, 0x2C})));

    // A server that never answered leaves SGA open and is not refused; binary both ways and the
    // five settings are what Ready needs.
    const Outcome noSga = feed(WILL_BINARY + DO_BINARY + DO_COM_PORT + CONFIRMATIONS_19200_8N1);
    EXPECT_EQ(noSga.negotiation, Negotiation::Ready);
    const Outcome oneWay = feed(DO_BINARY + DO_COM_PORT + CONFIRMATIONS_19200_8N1);
    EXPECT_EQ(oneWay.negotiation, Negotiation::Pending);
    EXPECT_EQ(oneWay.unconfirmed, "binary transmission");
}

TEST(TelnetComPort, RefusalsNameTheCauseAndTheWayOut) {
    // ser2net with plain telnet: no DO COM-PORT-OPTION in its greeting, DONT to this client's WILL.
    const std::string plainTelnet = SER2NET_GREETING.substr(0, 18) + DONT_COM_PORT;
    const Outcome plain = feedEveryWay(plainTelnet);
    EXPECT_EQ(plain.negotiation, Negotiation::Refused);
    EXPECT_EQ(plain.refusal,
              "the server at 127.0.0.1:4001 refused RFC 2217 (DONT COM-PORT-OPTION): "
              "use tcp://127.0.0.1:4001 for a raw port, set to 19200 8N1 on the "
              "server");
    EXPECT_EQ(hex(plain.reply), hex(DONT_ECHO));
    EXPECT_EQ(plain.unconfirmed, std::string("RFC 2217 (COM-PORT-OPTION), ") + ALL_SETTINGS);
    const Outcome saidWont = feed(bytes({0xFF, 0xFC, 0x2C}));
    EXPECT_NE(saidWont.refusal.find("refused RFC 2217 (WONT COM-PORT-OPTION)"), std::string::npos)
        << saidWont.refusal;

    const auto confirmedAs = [](const std::string &confirmation) {
        return feed(SER2NET_GREETING + confirmation + CONFIRMATIONS_19200_8N1);
    };
    EXPECT_EQ(
        confirmedAs(bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0})).refusal,
        "the server at 127.0.0.1:4001 set 9600 baud, not 19200: check that its port can "
        "run 19200 8N1");
    const Outcome even = confirmedAs(bytes({0xFF, 0xFA, 0x2C, 0x67, 0x03, 0xFF, 0xF0}));
    EXPECT_EQ(even.negotiation, Negotiation::Refused);
    EXPECT_NE(even.refusal.find("set parity even, not none"), std::string::npos) << even.refusal;
    EXPECT_NE(confirmedAs(bytes({0xFF, 0xFA, 0x2C, 0x66, 0x07, 0xFF, 0xF0}))
                  .refusal.find("set 7 data bits, not 8"),
              std::string::npos);
    EXPECT_NE(confirmedAs(bytes({0xFF, 0xFA, 0x2C, 0x68, 0x02, 0xFF, 0xF0}))
                  .refusal.find("set 2 stop bits, not 1"),
              std::string::npos);
    EXPECT_NE(confirmedAs(bytes({0xFF, 0xFA, 0x2C, 0x69, 0x03, 0xFF, 0xF0}))
                  .refusal.find("set RTS/CTS flow control, not none"),
              std::string::npos);
    // SET-CONTROL answers about DTR, RTS or break are no flow control setting.
    EXPECT_EQ(confirmedAs(bytes({0xFF, 0xFA, 0x2C, 0x69, 0x08, 0xFF, 0xF0})).negotiation,
              Negotiation::Ready);
    // Before the settings went out, a server telling its old baud rate refuses nothing.
    const std::string oldBaud = bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0});
    EXPECT_EQ(feed(oldBaud + SER2NET_CONVERSATION).negotiation, Negotiation::Ready);

    const Outcome noBinary = feed(SER2NET_GREETING + WONT_BINARY + CONFIRMATIONS_19200_8N1);
    EXPECT_EQ(noBinary.negotiation, Negotiation::Refused);
    EXPECT_EQ(noBinary.refusal,
              "the server at 127.0.0.1:4001 refused binary transmission (WONT BINARY), which the "
              "line's frames need: use tcp://127.0.0.1:4001 for a raw port, set to 19200 8N1 on "
              "the server");
    // Agreed, then withdrawn: acknowledged as RFC 1143 wants, and still a refusal.
    EXPECT_EQ(hex(noBinary.reply), hex(DONT_ECHO + SETTINGS_19200_8N1 + bytes({0xFF, 0xFE, 0x00})));
    const Outcome binaryDont = feed(bytes({0xFF, 0xFE, 0x00}) + DO_COM_PORT);
    EXPECT_NE(binaryDont.refusal.find("(DONT BINARY)"), std::string::npos) << binaryDont.refusal;

    // The first cause stays: what follows a refusal is often its consequence.
    EXPECT_NE(feed(plainTelnet + WONT_BINARY).refusal.find("COM-PORT-OPTION"), std::string::npos);
}

TEST(TelnetComPort, CarriesEvery0xFFIntact) {
    std::string frame;
    for (int word = 0; word < 18; ++word)
        frame += word % 3 == 2 ? bytes({0x00, 0xFF}) : bytes({0xFF, 0xFF}); // 65535 and 255
    ASSERT_EQ(frame.size(), 36u);
    const std::vector<std::string> samples = {bytes({0xFF, 0xFF}), bytes({0xFF, 0x00}),
                                              bytes({0x00, 0xFF}), bytes({0xFF}), frame};
    const std::vector<std::string> escapedSamples = {
        bytes({0xFF, 0xFF, 0xFF, 0xFF}), bytes({0xFF, 0xFF, 0x00}), bytes({0x00, 0xFF, 0xFF}),
        bytes({0xFF, 0xFF})};
    for (size_t i = 0; i < samples.size(); ++i) {
        std::string escaped;
        TelnetComPort::escape(samples[i].data(), samples[i].size(), &escaped);
        if (i < escapedSamples.size()) {
            EXPECT_EQ(hex(escaped), hex(escapedSamples[i]));
        }
        const Outcome back = feedEveryWay(escaped);
        EXPECT_EQ(hex(back.data), hex(samples[i]));
        EXPECT_EQ(back.reply, "");
    }
    std::string appended = "ab";
    TelnetComPort::escape(frame.data(), frame.size(), &appended);
    EXPECT_EQ(appended.size(), 2 + 36 + 30u);
    EXPECT_EQ(appended.substr(0, 2), "ab");

    // Commands between data bytes and a whole negotiation in the middle of frames take nothing
    // from the data.
    std::string escapedFrame;
    TelnetComPort::escape(frame.data(), frame.size(), &escapedFrame);
    const std::string commands =
        bytes({0xFF, 0xF1, 0xFF, 0xF9, 0xFF, 0xF2, 0xFF, 0xF3, 0xFF, 0xF6});
    const Outcome mixed =
        feedEveryWay(escapedFrame.substr(0, 9) + commands + escapedFrame.substr(9) +
                     SER2NET_CONVERSATION + escapedFrame);
    EXPECT_EQ(hex(mixed.data), hex(frame + frame));
    EXPECT_EQ(mixed.negotiation, Negotiation::Ready);
}

TEST(TelnetComPort, HostileStreamsDoNotEatData) {
    const std::string after = "after";
    // Longer than any subnegotiation taken: dropped, its 9600 baud not believed, its rest data.
    std::string padding(100, 'x');
    const std::string overlong =
        bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80}) + padding + bytes({0xFF, 0xF0});
    const Outcome dropped = feedEveryWay(SER2NET_GREETING + overlong + after);
    EXPECT_EQ(dropped.negotiation, Negotiation::Pending) << dropped.refusal;
    EXPECT_EQ(dropped.data,
              std::string(6 + padding.size() - TelnetComPort::SUBNEGOTIATION_LIMIT, 'x') + after);

    // A subnegotiation never closed holds back no more than its bound.
    const std::string line(1000, 'L');
    const Outcome unclosed = feedEveryWay(bytes({0xFF, 0xFA, 0x2C}) + line);
    EXPECT_EQ(unclosed.data, line.substr(TelnetComPort::SUBNEGOTIATION_LIMIT - 1));

    // A stray SE, an undefined command, an empty subnegotiation and one of another option.
    const Outcome stray = feedEveryWay("a" + bytes({0xFF, 0xF0}) + "b" + bytes({0xFF, 0x10}) + "c" +
                                       bytes({0xFF, 0xFA, 0xFF, 0xF0}) + "d" +
                                       bytes({0xFF, 0xFA, 0x18, 0x01, 0xFF, 0xF0}) + after);
    EXPECT_EQ(stray.data, "abcd" + after);
    EXPECT_EQ(stray.reply, "");

    // A subnegotiation cut short by a command: the command counts, the data after it arrives.
    const Outcome cut =
        feedEveryWay(bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0xFF, 0xFB, 0x01}) + after);
    EXPECT_EQ(hex(cut.reply), hex(DONT_ECHO));
    EXPECT_EQ(cut.data, after);

    // A server switching COM-PORT-OPTION on and off gets the settings once, not once a switch.
    const Outcome flipping = feed(DO_COM_PORT + DONT_COM_PORT + DO_COM_PORT + DONT_COM_PORT);
    EXPECT_EQ(hex(flipping.reply), hex(SETTINGS_19200_8N1 + bytes({0xFF, 0xFC, 0x2C}) +
                                       bytes({0xFF, 0xFB, 0x2C, 0xFF, 0xFC, 0x2C})));

    // Only complete answers count: a short baud rate confirms nothing and refuses nothing.
    const Outcome shortBaud =
        feed(SER2NET_GREETING + bytes({0xFF, 0xFA, 0x2C, 0x65, 0x25, 0x80, 0xFF, 0xF0}));
    EXPECT_EQ(shortBaud.unconfirmed, ALL_SETTINGS);
    EXPECT_EQ(shortBaud.negotiation, Negotiation::Pending);
}

TEST(TelnetComPort, CollectsLineStateErrors) {
    const auto lineState = [](int bits) {
        std::string state = bytes({0xFF, 0xFA, 0x2C, 0x6A});
        TelnetComPort::escape(std::string(1, char(bits)).data(), 1, &state);
        return state + bytes({0xFF, 0xF0});
    };
    TelnetComPort telnet(LINE_19200_8N1, ADDRESS);
    telnet.begin();
    std::string data, reply;
    const std::string stream =
        SER2NET_CONVERSATION + lineState(0x10 | 0x01) + "x" + lineState(0x08) + lineState(0x60);
    for (char byte : stream)
        telnet.receive(&byte, 1, &data, &reply);
    EXPECT_EQ(telnet.takeLineErrors(), TelnetComPort::BREAK | TelnetComPort::FRAMING);
    EXPECT_EQ(telnet.takeLineErrors(), 0);
    EXPECT_EQ(data, "x");

    // Every error bit, an IAC-escaped 0xFF, and the messages that change nothing here: modem
    // state, flow control suspend and resume, mask and purge answers, a signature, unknown codes.
    const std::string quiet =
        bytes({0xFF, 0xFA, 0x2C, 0x6B, 0xB0, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6C, 0xFF,
               0xF0, 0xFF, 0xFA, 0x2C, 0x6D, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6E, 0x1E,
               0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x70, 0x03, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C,
               0x64, 0x73, 0x32, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x96, 0x01, 0xFF, 0xF0});
    const std::string more = lineState(0xFF) + quiet + lineState(0x04);
    telnet.receive(more.data(), more.size(), &data, &reply);
    EXPECT_EQ(telnet.takeLineErrors(), TelnetComPort::BREAK | TelnetComPort::FRAMING |
                                           TelnetComPort::PARITY | TelnetComPort::OVERRUN);
    EXPECT_EQ(telnet.negotiation(), Negotiation::Ready);
    EXPECT_EQ(hex(reply), hex(DONT_ECHO + SETTINGS_19200_8N1));
    EXPECT_EQ(data, "x");

    // Another option's subnegotiation that looks like a line state reports nothing.
    const std::string otherOption = bytes({0xFF, 0xFA, 0x18, 0x6A, 0x1E, 0xFF, 0xF0});
    telnet.receive(otherOption.data(), otherOption.size(), &data, &reply);
    EXPECT_EQ(telnet.takeLineErrors(), 0);

    // A new connection starts clean.
    EXPECT_EQ(hex(telnet.begin()).substr(0, 9), hex(WILL_BINARY));
    EXPECT_EQ(telnet.negotiation(), Negotiation::Pending);
    EXPECT_EQ(telnet.unconfirmed(),
              std::string("RFC 2217 (COM-PORT-OPTION), binary transmission, ") + ALL_SETTINGS);
}

// A ser2net of the machine's own, started here on loopback ports with a configuration written
// here, serving two pseudo-terminals as its serial devices.
class Ser2net {
  public:
    struct Device {
        int master = -1;
        std::string path;
        int port = 0;
    };

    Ser2net() {
        char pattern[] = "/tmp/kelvaro-telnet-XXXXXX";
        if (mkdtemp(pattern))
            folder_ = pattern;
    }
    ~Ser2net() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        for (const Device &device : devices_)
            if (device.master >= 0)
                close(device.master);
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }

    static std::string program() {
        for (const char *path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
            if (access(path, X_OK) == 0)
                return path;
        return "";
    }

    // Starts ser2net with one telnet accepter per entry of accepters; "" or why not.
    std::string start(const std::vector<std::string> &accepters) {
        if (folder_.empty())
            return std::string("no temporary folder: ") + std::strerror(errno);
        std::ofstream config(folder_ + "/ser2net.yaml");
        for (size_t i = 0; i < accepters.size(); ++i) {
            Device device;
            device.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (device.master < 0 || grantpt(device.master) != 0 || unlockpt(device.master) != 0 ||
                !ptsname(device.master))
                return std::string("no pseudo-terminal: ") + std::strerror(errno);
            device.path = ptsname(device.master);
            device.port = freePort();
            if (device.port == 0)
                return std::string("no free loopback port: ") + std::strerror(errno);
            config << "connection: &line" << i << "\n  accepter: " << accepters[i]
                   << ",tcp,127.0.0.1," << device.port << "\n  connector: serialdev," << device.path
                   << ",9600n81,local\n";
            devices_.push_back(device);
        }
        config.close();
        log_ = folder_ + "/ser2net.log";
        pid_ = fork();
        if (pid_ == 0) {
            const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            const std::string file = folder_ + "/ser2net.yaml";
            const std::string pidFile = folder_ + "/ser2net.pid";
            execl(program().c_str(), "ser2net", "-n", "-u", "-c", file.c_str(), "-P",
                  pidFile.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid_ < 0 ? std::string("fork: ") + std::strerror(errno) : "";
    }

    const Device &device(size_t i) const { return devices_[i]; }

    // A connection to the accepter on port, tried while ser2net starts; -1 after the deadline.
    int connect(int port) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address = loopback(port);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
                return fd;
            close(fd);
            usleep(20000);
        }
        return -1;
    }

    std::string log() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    // A port the system just gave out, free again for ser2net to take.
    static int freePort() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        int port = 0;
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        close(fd);
        return port;
    }

    std::string folder_;
    std::string log_;
    pid_t pid_ = -1;
    std::vector<Device> devices_;
};

// Runs the codec on a connection until done says so or the time is up.
template <typename Done>
bool converse(int fd, TelnetComPort &telnet, std::string *data, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0)
            continue;
        char buffer[512];
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0)
            return false;
        std::string reply;
        telnet.receive(buffer, size_t(count), data, &reply);
        if (!reply.empty() && send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
            return false;
    }
    return done();
}

std::string readDevice(int master, size_t count) {
    std::string read;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{master, POLLIN, 0};
        char buffer[256];
        if (poll(&ready, 1, 50) > 0) {
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0)
                read.append(buffer, size_t(got));
        }
    }
    return read;
}

TEST(TelnetComPortSer2net, SetsTheLineAndCarriesFramesBothWays) {
    if (Ser2net::program().empty())
        GTEST_SKIP() << "ser2net is not installed (apt-get install ser2net): the real server "
                        "is not tried";
    Ser2net server;
    const std::string failed = server.start({"telnet(rfc2217)", "telnet"});
    ASSERT_EQ(failed, "");
    const Ser2net::Device &line = server.device(0);

    const int fd = server.connect(line.port);
    ASSERT_GE(fd, 0) << "ser2net did not accept on 127.0.0.1:" << line.port << ": " << server.log();
    TelnetComPort telnet(LINE_19200_8N1, "127.0.0.1:" + std::to_string(line.port));
    const std::string opening = telnet.begin();
    ASSERT_EQ(send(fd, opening.data(), opening.size(), MSG_NOSIGNAL), ssize_t(opening.size()));
    std::string data;
    EXPECT_TRUE(
        converse(fd, telnet, &data, [&] { return telnet.negotiation() != Negotiation::Pending; }))
        << "not agreed: " << telnet.unconfirmed();
    EXPECT_EQ(telnet.negotiation(), Negotiation::Ready) << telnet.refusal();
    EXPECT_EQ(data, "");

    // The device really runs 19200 8N1 without flow control, which a pseudo-terminal keeps.
    termios attributes{};
    ASSERT_EQ(tcgetattr(line.master, &attributes), 0) << std::strerror(errno);
    EXPECT_EQ(cfgetospeed(&attributes), speed_t(B19200));
    EXPECT_EQ(attributes.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(attributes.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(attributes.c_iflag & (IXON | IXOFF), 0u);

    // A frame of 0xFF words with the bytes flow control and line editing would take.
    std::string frame;
    for (int word = 0; word < 16; ++word)
        frame += word % 4 == 3 ? bytes({0x11, 0x13}) : bytes({0xFF, 0xFF});
    frame += bytes({0x0D, 0x0A, 0xFF, 0x00});
    ASSERT_EQ(write(line.master, frame.data(), frame.size()), ssize_t(frame.size()));
    EXPECT_TRUE(converse(fd, telnet, &data, [&] { return data.size() >= frame.size(); }));
    EXPECT_EQ(hex(data), hex(frame));

    std::string escaped;
    TelnetComPort::escape(frame.data(), frame.size(), &escaped);
    ASSERT_EQ(send(fd, escaped.data(), escaped.size(), MSG_NOSIGNAL), ssize_t(escaped.size()));
    EXPECT_EQ(hex(readDevice(line.master, frame.size())), hex(frame));
    EXPECT_EQ(telnet.takeLineErrors(), 0);
    close(fd);

    // The same server without rfc2217: refused in words that say what to use instead.
    const int plainFd = server.connect(server.device(1).port);
    ASSERT_GE(plainFd, 0) << server.log();
    const std::string address = "127.0.0.1:" + std::to_string(server.device(1).port);
    TelnetComPort plain(LINE_19200_8N1, address);
    const std::string plainOpening = plain.begin();
    ASSERT_EQ(send(plainFd, plainOpening.data(), plainOpening.size(), MSG_NOSIGNAL),
              ssize_t(plainOpening.size()));
    std::string plainData;
    EXPECT_TRUE(converse(plainFd, plain, &plainData,
                         [&] { return plain.negotiation() != Negotiation::Pending; }));
    EXPECT_EQ(plain.negotiation(), Negotiation::Refused);
    EXPECT_NE(plain.refusal().find("use tcp://" + address + " for a raw port"), std::string::npos)
        << plain.refusal();
    close(plainFd);
}

} // namespace
