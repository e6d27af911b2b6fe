// Tests of the Telnet / RFC 2217 client codec: RFC 2217's numbers, ser2net's conversation in any
// chunking, refusals, 0xFF-heavy data and hostile streams (test_network.cpp runs a real ser2net).
#include "telnet_com_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Negotiation = TelnetComPort::Negotiation;

const ComPortSettings LINE_19200_8N1 = {19200, 8, 0, 1};
const char ADDRESS[] = "127.0.0.1:4001";

std::string bytes(std::initializer_list<int> values) {
    return std::string(values.begin(), values.end());
}

// IAC SB COM-PORT-OPTION, then code and value as given (any 0xFF already doubled), IAC SE.
std::string comPort(std::initializer_list<int> codeAndValue) {
    return bytes({0xFF, 0xFA, 0x2C}) + bytes(codeAndValue) + bytes({0xFF, 0xF0});
}

// What a stream gave: the line's data, the protocol's answers and where the negotiation stands.
struct Outcome {
    std::string data, reply, refusal, unconfirmed;
    Negotiation negotiation;
    int errors;
    auto fields() const { return std::tie(data, reply, negotiation, refusal, unconfirmed, errors); }
};

// Feeds stream to fresh codecs whole, byte by byte and cut in two at every point: one outcome.
Outcome feed(const std::string &stream, const ComPortSettings &settings = LINE_19200_8N1) {
    const auto inPieces = [&](std::vector<size_t> sizes) { // taken in turn
        TelnetComPort telnet(settings, ADDRESS);
        telnet.begin();
        Outcome out{};
        for (size_t at = 0, turn = 0, count; at < stream.size(); at += count, ++turn) {
            count = std::min(sizes[turn % sizes.size()], stream.size() - at);
            telnet.receive(stream.data() + at, count, &out.data, &out.reply);
        }
        out.negotiation = telnet.negotiation();
        out.refusal = telnet.refusal();
        out.unconfirmed = telnet.unconfirmed();
        out.errors = telnet.takeLineErrors();
        return out;
    };
    const Outcome whole = inPieces({stream.size()});
    const std::string shown = ::testing::PrintToString(stream);
    EXPECT_EQ(inPieces({1}).fields(), whole.fields()) << "byte by byte: " << shown;
    for (size_t cut = 1; cut < stream.size(); ++cut)
        EXPECT_EQ(inPieces({cut, stream.size()}).fields(), whole.fields()) << cut << ": " << shown;
    return whole;
}

const std::string WONT_BINARY = bytes({0xFF, 0xFC, 0x00});
const std::string DO_COM_PORT = bytes({0xFF, 0xFD, 0x2C});
const std::string DONT_COM_PORT = bytes({0xFF, 0xFE, 0x2C});
const std::string DONT_ECHO = bytes({0xFF, 0xFE, 0x01});
// WILL BINARY, DO BINARY, WILL SGA, DO SGA, WILL COM-PORT-OPTION.
const std::string OPENING = bytes(
    {0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x2C});

// What this client sends once the server takes COM-PORT-OPTION: SET-BAUDRATE 19200, SET-DATASIZE 8,
// -PARITY none, -STOPSIZE 1, -CONTROL no flow control, -LINESTATE-MASK break and errors.
const std::string SETTINGS_19200_8N1 =
    comPort({0x01, 0x00, 0x00, 0x4B, 0x00}) + comPort({0x02, 0x08}) + comPort({0x03, 0x01}) +
    comPort({0x04, 0x01}) + comPort({0x05, 0x01}) + comPort({0x0A, 0x1E});
// The server's confirmations of those: each code plus 100.
const std::string CONFIRMATIONS_19200_8N1 = comPort({0x65, 0x00, 0x00, 0x4B, 0x00}) +
                                            comPort({0x66, 0x08}) + comPort({0x67, 0x01}) +
                                            comPort({0x68, 0x01}) + comPort({0x69, 0x01});

// ser2net 4.3 (gensio 2.6), telnet(rfc2217), recorded on loopback: greeting WILL SGA, DO SGA, WILL
// ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT-OPTION; then DO SGA, NOTIFY-MODEMSTATE 0,
// NOTIFY-LINESTATE 0 where code 110 would confirm the mask, and the five confirmations.
const std::string SER2NET_GREETING =
    bytes({0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE,
           0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C});
const std::string SER2NET_CONVERSATION =
    SER2NET_GREETING + bytes({0xFF, 0xFD, 0x03, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0}) +
    bytes({0xFF, 0xFA, 0x2C, 0x6A, 0x00, 0xFF, 0xF0}) + CONFIRMATIONS_19200_8N1;

const char ALL_SETTINGS[] = "baud rate, data bits, parity, stop bits, flow control";

TEST(TelnetComPort, NegotiatesWithSer2netUntilReady) {
    const Outcome done = feed(SER2NET_CONVERSATION);
    EXPECT_EQ(done.reply, DONT_ECHO + SETTINGS_19200_8N1);
    EXPECT_EQ(done.negotiation, Negotiation::Ready);
    EXPECT_EQ(done.refusal + done.unconfirmed, "");
    // Four of five confirmations are not enough.
    const Outcome four = feed(SER2NET_CONVERSATION.substr(0, SER2NET_CONVERSATION.size() - 7));
    EXPECT_EQ(four.unconfirmed, "flow control");
    EXPECT_EQ(four.negotiation, Negotiation::Pending);

    // Requests repeated after agreement get no answers, so none can loop; only an offer refused
    // before is refused again. Options not used here are declined, their refusals not answered.
    const Outcome again = feed(SER2NET_CONVERSATION + SER2NET_GREETING +
                               bytes({0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x03, 0xFF, 0xFE, 0x01}));
    EXPECT_EQ(again.reply, DONT_ECHO + SETTINGS_19200_8N1 + DONT_ECHO);
    EXPECT_EQ(again.negotiation, Negotiation::Ready);
    const std::string others = bytes({0xFF, 0xFB, 0x18, 0xFF, 0xFD, 0x1F, 0xFF, 0xFD, 0x01, 0xFF,
                                      0xFC, 0x18, 0xFF, 0xFE, 0x1F, 0xFF, 0xFB, 0x2C});
    EXPECT_EQ(feed(others).reply,
              bytes({0xFF, 0xFE, 0x18, 0xFF, 0xFC, 0x1F, 0xFF, 0xFC, 0x01, 0xFF, 0xFE, 0x2C}));

    // Binary both ways and the five settings are what Ready needs: SGA left open is no refusal.
    const Outcome noSga =
        feed(bytes({0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00}) + DO_COM_PORT + CONFIRMATIONS_19200_8N1);
    EXPECT_EQ(noSga.negotiation, Negotiation::Ready);
    const Outcome oneWay = feed(bytes({0xFF, 0xFD, 0x00}) + DO_COM_PORT + CONFIRMATIONS_19200_8N1);
    EXPECT_EQ(oneWay.negotiation, Negotiation::Pending);
    EXPECT_EQ(oneWay.unconfirmed, "binary transmission");

    // The program empties the server's buffers with these; values outside them send nothing.
    EXPECT_EQ(TelnetComPort::purge(1) + TelnetComPort::purge(3),
              comPort({0x0C, 0x01}) + comPort({0x0C, 0x03}));
    EXPECT_EQ(TelnetComPort::purge(0) + TelnetComPort::purge(4), "");
}

TEST(TelnetComPort, RefusalsNameTheCauseAndTheWayOut) {
    // ser2net with plain telnet: no DO COM-PORT-OPTION in its greeting, DONT to this client's WILL.
    const std::string plainTelnet = SER2NET_GREETING.substr(0, 18) + DONT_COM_PORT;
    const Outcome plain = feed(plainTelnet);
    EXPECT_EQ(plain.refusal,
              "the server at 127.0.0.1:4001 refused RFC 2217 (DONT COM-PORT-OPTION): use "
              "tcp://127.0.0.1:4001 for a raw port, set to 19200 8N1 on the server");
    EXPECT_EQ(plain.reply, DONT_ECHO);
    EXPECT_EQ(plain.unconfirmed, std::string("RFC 2217 (COM-PORT-OPTION), ") + ALL_SETTINGS);
    EXPECT_NE(feed(bytes({0xFF, 0xFC, 0x2C})).refusal.find("RFC 2217 (WONT COM-PORT-OPTION)"),
              std::string::npos);

    const std::vector<std::pair<std::string, std::string>> mismatches = {
        {comPort({0x65, 0x00, 0x00, 0x25, 0x80}), "9600 baud, not 19200"},
        {comPort({0x69, 0x03}), "RTS/CTS flow control, not none"}};
    for (const auto &[confirmation, words] : mismatches)
        EXPECT_EQ(feed(SER2NET_GREETING + confirmation + CONFIRMATIONS_19200_8N1).refusal,
                  "the server at 127.0.0.1:4001 set " + words +
                      ": check that its port can run 19200 8N1");
    // Its old baud rate told before the settings went out, and SET-CONTROL answers about DTR, RTS
    // or break, which are no flow control setting, refuse nothing.
    EXPECT_EQ(feed(mismatches[0].first + SER2NET_CONVERSATION + comPort({0x69, 0x08})).negotiation,
              Negotiation::Ready);

    const Outcome noBinary = feed(SER2NET_GREETING + WONT_BINARY + CONFIRMATIONS_19200_8N1);
    EXPECT_NE(noBinary.refusal.find("binary transmission (WONT BINARY)"), std::string::npos);
    // Agreed, then withdrawn: acknowledged as RFC 1143 wants, and still a refusal.
    EXPECT_EQ(noBinary.reply, DONT_ECHO + SETTINGS_19200_8N1 + bytes({0xFF, 0xFE, 0x00}));
    EXPECT_NE(feed(bytes({0xFF, 0xFE, 0x00}) + DO_COM_PORT).refusal.find("(DONT BINARY)"),
              std::string::npos);
    // The first cause stays: what follows a refusal is often its consequence.
    EXPECT_NE(feed(plainTelnet + WONT_BINARY).refusal.find("COM-PORT-OPTION"), std::string::npos);
}

TEST(TelnetComPort, CarriesEvery0xFFIntact) {
    std::string appended = "ab";
    TelnetComPort::escape("\xFF\x00\xFF\xFF\x01", 5, &appended);
    EXPECT_EQ(appended, "ab" + bytes({0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

    // Words 65535 and 255, commands amid the data and a whole negotiation between frames.
    std::string frame, escapedFrame;
    for (int word = 0; word < 18; ++word)
        frame += word % 3 == 2 ? bytes({0x00, 0xFF}) : bytes({0xFF, 0xFF});
    TelnetComPort::escape(frame.data(), frame.size(), &escapedFrame);
    const Outcome mixed = feed(escapedFrame.substr(0, 9) +
                               bytes({0xFF, 0xF1, 0xFF, 0xF9, 0xFF, 0xF2, 0xFF, 0xF3, 0xFF, 0xF6}) +
                               escapedFrame.substr(9) + SER2NET_CONVERSATION + escapedFrame);
    Outcome expected = feed(SER2NET_CONVERSATION);
    expected.data = frame + frame;
    EXPECT_EQ(mixed.fields(), expected.fields());
}

TEST(TelnetComPort, HostileStreamsDoNotEatData) {
    // Longer than any subnegotiation taken: dropped, its 9600 baud not believed, its rest data.
    const std::string padding(100, 'x');
    const Outcome dropped =
        feed(SER2NET_GREETING + bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80}) + padding +
             bytes({0xFF, 0xF0}) + "after");
    EXPECT_EQ(dropped.negotiation, Negotiation::Pending) << dropped.refusal;
    EXPECT_EQ(dropped.data,
              std::string(6 + padding.size() - TelnetComPort::SUBNEGOTIATION_LIMIT, 'x') + "after");

    // A subnegotiation never closed holds back no more than its bound.
    EXPECT_EQ(feed(bytes({0xFF, 0xFA, 0x2C}) + std::string(1000, 'L')).data,
              std::string(1000 - (TelnetComPort::SUBNEGOTIATION_LIMIT - 1), 'L'));

    // A stray SE, an undefined command, an empty subnegotiation and one of another option.
    const Outcome stray = feed("a" + bytes({0xFF, 0xF0}) + "b" + bytes({0xFF, 0x10}) + "c" +
                               bytes({0xFF, 0xFA, 0xFF, 0xF0}) + "d" +
                               bytes({0xFF, 0xFA, 0x18, 0x01, 0xFF, 0xF0}) + "e");
    EXPECT_EQ(stray.data, "abcde");
    EXPECT_EQ(stray.reply, "");

    // A subnegotiation cut short by a command: the command counts, the data after it arrives.
    const Outcome cut = feed(bytes({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0xFF, 0xFB, 0x01}) + "after");
    EXPECT_EQ(cut.reply, DONT_ECHO);
    EXPECT_EQ(cut.data, "after");

    // A server switching COM-PORT-OPTION on and off gets the settings once, not once a switch.
    EXPECT_EQ(feed(DO_COM_PORT + DONT_COM_PORT + DO_COM_PORT + DONT_COM_PORT).reply,
              SETTINGS_19200_8N1 + bytes({0xFF, 0xFC, 0x2C, 0xFF, 0xFB, 0x2C, 0xFF, 0xFC, 0x2C}));

    // Only complete answers count: a short baud rate confirms nothing and refuses nothing.
    EXPECT_EQ(feed(SER2NET_GREETING + comPort({0x65, 0x25, 0x80})).fields(),
              feed(SER2NET_GREETING).fields());
}

TEST(TelnetComPort, CollectsLineStateErrorsAndStartsCleanOnANewConnection) {
    const Outcome reported = feed(SER2NET_CONVERSATION + comPort({0x6A, 0x11}) +
                                  comPort({0x6A, 0x08}) + comPort({0x6A, 0x60}));
    EXPECT_EQ(reported.errors, TelnetComPort::BREAK | TelnetComPort::FRAMING);
    // Every error bit, its byte an IAC-escaped 0xFF.
    EXPECT_EQ(feed(comPort({0x6A, 0xFF, 0xFF})).errors,
              TelnetComPort::BREAK | TelnetComPort::FRAMING | TelnetComPort::PARITY |
                  TelnetComPort::OVERRUN);
    // What changes nothing here: modem state, flow control suspend and resume, mask and purge
    // answers, a signature, an unknown code, and another option's look-alike of a line state.
    const Outcome quiet =
        feed(SER2NET_CONVERSATION + comPort({0x6B, 0xB0}) + comPort({0x6C}) + comPort({0x6D}) +
             comPort({0x6E, 0x1E}) + comPort({0x70, 0x03}) + comPort({0x64, 0x73, 0x32}) +
             comPort({0x96, 0x1E}) + bytes({0xFF, 0xFA, 0x18, 0x6A, 0x1E, 0xFF, 0xF0}));
    EXPECT_EQ(quiet.fields(), feed(SER2NET_CONVERSATION).fields());

    // A new connection starts clean though the last was lost with an error untaken, inside a
    // subnegotiation; errors are taken once.
    TelnetComPort telnet(LINE_19200_8N1, ADDRESS);
    std::string data, reply;
    const std::string lost = SER2NET_CONVERSATION + comPort({0x6A, 0x10}) + bytes({0xFF, 0xFA});
    telnet.receive(lost.data(), lost.size(), &data, &reply);
    EXPECT_EQ(telnet.begin(), OPENING);
    EXPECT_EQ(telnet.negotiation(), Negotiation::Pending);
    EXPECT_EQ(telnet.unconfirmed(),
              std::string("RFC 2217 (COM-PORT-OPTION), binary transmission, ") + ALL_SETTINGS);
    const std::string next = "y" + comPort({0x6A, 0x08});
    telnet.receive(next.data(), next.size(), &data, &reply);
    EXPECT_EQ(data, "y");
    EXPECT_EQ(telnet.takeLineErrors(), TelnetComPort::FRAMING);
    EXPECT_EQ(telnet.takeLineErrors(), 0);
}

} // namespace
