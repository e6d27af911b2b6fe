// Fuzz target of the Telnet / RFC 2217 codec: a hostile server's stream in pieces whose sizes the
// input chooses, checked against the same stream taken whole; and line data through escape and
// back.
#include "telnet_com_port.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const ComPortSettings LINE = {19200, 8, 0, 1};
const char ADDRESS[] = "127.0.0.1:4001";
const int MOST_PIECE_SIZES = 8;
const int LARGEST_PIECE = 64;
const unsigned char IAC = 255;
const unsigned char SB = 250;
const unsigned char SE = 240;
const unsigned char WILL = 251;
const unsigned char DONT = 254;
// The settings go out once and are the only answer longer than the command it answers.
const size_t SETTINGS_BYTES = 10 + 5 * 7;

[[noreturn]] void Fail(const char *what, size_t value) {
    std::fprintf(stderr, "fuzz_telnet: %s (%zu)\n", what, value);
    std::abort();
}

struct Outcome {
    std::string data;
    std::string reply;
    TelnetComPort::Negotiation negotiation;
    std::string refusal;
    std::string unconfirmed;
    int lineErrors;
};

Outcome Feed(const std::string &stream, const std::vector<size_t> &pieces) {
    TelnetComPort telnet(LINE, ADDRESS);
    telnet.begin();
    Outcome outcome;
    size_t at = 0;
    for (size_t turn = 0; at < stream.size(); ++turn) {
        const size_t count = std::min(pieces[turn % pieces.size()], stream.size() - at);
        telnet.receive(stream.data() + at, count, &outcome.data, &outcome.reply);
        at += count;
    }
    outcome.negotiation = telnet.negotiation();
    outcome.refusal = telnet.refusal();
    outcome.unconfirmed = telnet.unconfirmed();
    outcome.lineErrors = telnet.takeLineErrors();
    if (telnet.takeLineErrors() != 0)
        Fail("line errors survived being taken", 0);
    return outcome;
}

// A reply holds only option answers and COM-PORT-OPTION subnegotiations, each whole.
void CheckReply(const std::string &reply) {
    size_t at = 0;
    while (at < reply.size()) {
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(reply[i]); };
        if (byte(at) != IAC || at + 2 >= reply.size())
            Fail("reply is not made of Telnet commands", at);
        if (byte(at + 1) >= WILL && byte(at + 1) <= DONT) {
            at += 3;
            continue;
        }
        if (byte(at + 1) != SB || byte(at + 2) != 44)
            Fail("reply holds a command the client never sends", at);
        size_t end = at + 3;
        while (end + 1 < reply.size() && !(byte(end) == IAC && byte(end + 1) == SE))
            end += byte(end) == IAC ? 2 : 1;
        if (end + 1 >= reply.size())
            Fail("reply ends inside a subnegotiation", at);
        at = end + 2;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The piece sizes come from the input's end, the server's bytes from its start.
    FuzzedDataProvider input(data, size);
    std::vector<size_t> pieces(size_t(input.ConsumeIntegralInRange(1, MOST_PIECE_SIZES)));
    for (size_t &piece : pieces)
        piece = input.ConsumeIntegralInRange<size_t>(1, LARGEST_PIECE);
    const std::string stream = input.ConsumeRemainingBytesAsString();

    const Outcome whole = Feed(stream, {stream.size() + 1});
    const Outcome cut = Feed(stream, pieces);
    if (cut.data != whole.data || cut.reply != whole.reply)
        Fail("the pieces gave other data or another reply than the whole stream", stream.size());
    if (cut.negotiation != whole.negotiation || cut.refusal != whole.refusal ||
        cut.unconfirmed != whole.unconfirmed || cut.lineErrors != whole.lineErrors)
        Fail("the pieces left another state than the whole stream", stream.size());
    if (whole.data.size() > stream.size())
        Fail("more data out than bytes in", whole.data.size());
    if (whole.reply.size() > stream.size() + SETTINGS_BYTES)
        Fail("reply out of proportion to the stream", whole.reply.size());
    CheckReply(whole.reply);
    if ((whole.negotiation == TelnetComPort::Negotiation::Refused) == whole.refusal.empty())
        Fail("a refusal without words, or words without a refusal", whole.refusal.size());
    if (whole.negotiation == TelnetComPort::Negotiation::Ready && !whole.unconfirmed.empty())
        Fail("ready with settings unconfirmed", whole.unconfirmed.size());
    if (whole.lineErrors & ~(TelnetComPort::BREAK | TelnetComPort::FRAMING | TelnetComPort::PARITY |
                             TelnetComPort::OVERRUN))
        Fail("line errors outside break, framing, parity and overrun", size_t(whole.lineErrors));

    // Line data escaped comes back exactly, in any pieces, with nothing to answer.
    std::string escaped;
    TelnetComPort::escape(stream.data(), stream.size(), &escaped);
    const Outcome back = Feed(escaped, pieces);
    if (back.data != stream)
        Fail("escaped data did not come back as it was", stream.size());
    if (!back.reply.empty() || back.negotiation != TelnetComPort::Negotiation::Pending)
        Fail("escaped data was taken for commands", back.reply.size());
    return 0;
}
