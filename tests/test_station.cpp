// kelvaro serve against a real Mosquitto and simulated controllers: the retained tree after start,
// live values in order, commands and their refusals, a broker that goes and comes back, a station
// killed, a device lost and back, and credentials that are refused.
#include "broker.h"
#include "parameter_words.h"
#include "program_fixture.h"
#include "sparkplug_payload.h"
#include "station_requests.h"
#include "utility.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <set>

namespace {

const char STATION[] = "line7";
const double WAIT_S = 15;

// A correction table as the flash command takes it, [value, key] rows, key = 1023 - row; with
// bad, one row's key is 1024.
std::string TableText(bool bad = false) {
    std::string rows;
    for (int row = 0; row < 1024; ++row)
        rows += (row ? ",[" : "[") + std::to_string(row) + "," +
                std::to_string(bad && row == 7 ? 1024 : 1023 - row) + "]";
    return "{\"table\":[" + rows + "]}";
}

std::string WordsText(const kvsim::Words &words) {
    std::string text;
    for (uint16_t word : words)
        text += (text.empty() ? "" : ",") + std::to_string(word);
    return "[" + text + "]";
}

} // namespace

class StationTest : public ::testing::Test {
  protected:
    explicit StationTest(BrokerOptions options = {}) : broker(std::move(options)) {}
    void SetUp() override {
        ASSERT_TRUE(broker.start()) << broker.error();
        std::string error;
        ASSERT_TRUE(sim.start(link, &error)) << error;
        // The station runs without a display, and without the panel file beside the program.
        ASSERT_TRUE(QDir().mkpath(folder.filePath("bin")));
        ASSERT_TRUE(QFile::copy(KelvaroProgram(), QString::fromStdString(program)));
    }
    void TearDown() override {
        stop();
        sim.stop();
    }
    // kelvaro serve on the simulator's port as the broker's first user, more arguments after;
    // the plain listener unless more names a broker.
    void serve(const std::vector<std::string> &more = {}, const std::string &password = {}) {
        std::vector<std::string> arguments = {
            "serve",  "--station", STATION, "--user", broker.options().users[0].name,
            "--port", link};
        if (std::find(more.begin(), more.end(), "--broker") == more.end())
            arguments.insert(arguments.end(),
                             {"--broker", "mqtt://127.0.0.1:" + std::to_string(broker.port())});
        arguments.insert(arguments.end(), more.begin(), more.end());
        station = std::make_unique<BackgroundClient>(
            program, arguments,
            std::vector<std::string>{
                "KELVARO_MQTT_PASSWORD=" +
                    (password.empty() ? broker.options().users[0].password : password),
                "KELVARO_DIR=" + folder.path().toStdString(), "QT_QPA_PLATFORM=xcb", "DISPLAY="});
    }
    // The stop signal a service manager sends; the station's exit status, -1 when it did not end.
    int stop() {
        if (!station)
            return -1;
        // Not kill(0): a station that has ended has no pid, and 0 is this whole process group.
        if (station->pid() > 0)
            ::kill(pid_t(station->pid()), SIGTERM);
        const bool ended = station->waitForExit(WAIT_S);
        station.reset();
        return ended ? 0 : -1;
    }
    std::string topic(const std::string &suffix) const {
        return std::string("kelvaro/") + STATION + "/COM1/" + suffix;
    }
    // A request on command/name, answered on a response topic.
    std::string request(const std::string &name, const std::string &payload) {
        std::vector<std::string> arguments = broker.clientArguments();
        arguments.insert(arguments.end(), {"-t", topic("command/" + name), "-e", "replies/answers",
                                           "-m", payload, "-W", "12"});
        return RunClient("mosquitto_rr", arguments, WAIT_S).output;
    }
    std::vector<int> ordersReceived() const { return OrdersOf(sim); }

    Broker broker;
    QTemporaryDir folder;
    std::string link = folder.filePath("COM1").toStdString();
    std::string program = folder.filePath("bin/kelvaro").toStdString();
    kvsim::Simulator sim;
    std::unique_ptr<BackgroundClient> station;
};

TEST_F(StationTest, PublishesTheRetainedTreeAfterItsStartUpThenLiveValuesInOrder) {
    kvsim::Words eeprom = sim.eeprom();
    eeprom[15] = 65535;
    sim.setEeprom(eeprom);
    sim.scriptNorm({101, 102, 103, 104, 105, 106, 107, 108});
    serve();
    const auto live = broker.subscribe(topic("live"));
    ASSERT_TRUE(live->waitForOutput("\"norm\":108", WAIT_S)) << live->output();
    const std::string values = live->output();
    for (int norm = 102; norm <= 108; ++norm)
        EXPECT_LT(values.find("\"norm\":" + std::to_string(norm - 1)),
                  values.find("\"norm\":" + std::to_string(norm)))
            << "in the order the controller answered";
    EXPECT_NE(values.find("\"a\":"), std::string::npos);
    EXPECT_NE(values.find("\"tol_led\":"), std::string::npos);

    // A subscriber that comes later gets the retained tree.
    const auto tree = broker.subscribe("kelvaro/#");
    ASSERT_TRUE(tree->waitForOutput(topic("parameters/eeprom"), WAIT_S)) << tree->output();
    const std::string retained = tree->output();
    EXPECT_NE(retained.find(std::string("kelvaro/") + STATION + "/state online"),
              std::string::npos);
    EXPECT_NE(retained.find(topic("state") + " {\"state\":\"online\",\"device\":\"" + link + "\""),
              std::string::npos)
        << retained;
    EXPECT_NE(retained.find(topic("info") + " {\"firmware\":\"" + kvsim::FIRMWARE_TEXT + "\""),
              std::string::npos);
    EXPECT_NE(retained.find(topic("parameters/ram") + " {\"words\":" + WordsText(sim.ram())),
              std::string::npos);
    EXPECT_NE(retained.find(topic("parameters/eeprom") + " {\"words\":" + WordsText(eeprom)),
              std::string::npos);
    EXPECT_NE(retained.find("\"para15\":65535"), std::string::npos) << "each word by its name";
    EXPECT_EQ(stop(), 0);
    // Its own offline (the will has no time) reached the broker: what was pending went out first.
    const auto after = broker.subscribe(topic("state"));
    EXPECT_TRUE(after->waitForOutput("{\"state\":\"offline\",\"device\":\"" + link + "\",\"time\":",
                                     WAIT_S))
        << after->output();
}

// A command takes its turn between two live answers; its answer, the retained set and an event
// follow, and the live run goes on.
TEST_F(StationTest, CommandsGoOutThroughTheLiveRunAndTheirResultsFollow) {
    serve({"--allow-commands", "--allow-flash"});
    const auto events = broker.subscribe(topic("#"));
    ASSERT_TRUE(events->waitForOutput(topic("live"), WAIT_S)) << events->output();
    const kvsim::Words set = {65535, 0xFF00, 255, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(request("send", "{\"target\":\"ram\",\"words\":" + WordsText(set) + "}"),
              "{\"ok\":true}\n");
    ASSERT_TRUE(WaitUntil([&] { return sim.ram() == set; }, WAIT_S));
    ASSERT_TRUE(events->waitForOutput(
        topic("event") + " {\"event\":\"send\",\"ok\":true,\"result\":\"Transmit Ok!\"", WAIT_S));
    EXPECT_NE(events->output().find(topic("parameters/ram") + " {\"words\":" + WordsText(set)),
              std::string::npos);

    EXPECT_EQ(request("get", "{\"target\":\"ram\"}"),
              "{\"ok\":true,\"words\":" + WordsText(set) + "}\n");
    const std::string taught = request("teach", "{}");
    EXPECT_EQ(taught, "{\"ok\":true,\"words\":" + WordsText(sim.ram()) + "}\n");
    const std::string curve = request("capture", "{\"source\":\"raw\"}");
    EXPECT_EQ(curve.rfind("{\"ok\":true,\"source\":\"raw\",\"a\":[", 0), 0u) << curve;

    const size_t before = events->output().size();
    ASSERT_TRUE(WaitUntil(
        [&] { return events->output().find(topic("live"), before) != std::string::npos; }, WAIT_S))
        << "the live run goes on";
    const std::vector<int> orders = ordersReceived();
    for (int order : {1, 2, 6, 9})
        EXPECT_NE(std::find(orders.begin(), orders.end(), order), orders.end()) << order;

    // The key column is read from the bottom up: this table maps every key to itself.
    EXPECT_EQ(request("flash", TableText()), "{\"ok\":true}\n");
    EXPECT_EQ(sim.flashPage(5)[10], 266);
    EXPECT_EQ(sim.flashPage(7)[255], 1023);
    // The port's own files of its last flash: the correction file as sent, and the table.
    const QList<QByteArray> correction =
        ReadFile(folder.filePath("station-COM1-table.dat")).trimmed().split('\n');
    ASSERT_EQ(correction.size(), 1024);
    EXPECT_EQ(correction[7].simplified(), "7 1016");
    const QList<QByteArray> table =
        ReadFile(folder.filePath("station-COM1-LTlinear.dat")).trimmed().split('\n');
    ASSERT_EQ(table.size(), 1024);
    EXPECT_EQ(table[266].simplified(), "266 266 266");
    ASSERT_TRUE(events->waitForOutput(topic("event") + " {\"event\":\"flash\"", WAIT_S));
    sim.clearRequests();
    EXPECT_NE(request("flash", TableText(true)).find("row 8 key 1024 is outside 0..1023"),
              std::string::npos);
    for (int order : ordersReceived())
        EXPECT_EQ(order, 8) << "a table refused flashes nothing";
}

// Hostile JSON is refused whole, within the reader's limits, and the refusal quotes little of it.
TEST(StationRequests, HostileJsonIsRefusedWithItsFaultAndShortly) {
    const kelvaro::StationPermissions allowed{true, true};
    const auto refusal = [&](const std::string &payload) {
        kelvaro::StationRequest request;
        std::string error;
        EXPECT_FALSE(kelvaro::ReadStationRequest("get", payload, allowed, &request, &error))
            << payload.substr(0, 80);
        EXPECT_LT(error.size(), 200u) << error.substr(0, 300);
        return error;
    };
    EXPECT_NE(refusal(std::string(40, '[') + std::string(40, ']')).find("nest more than 32 deep"),
              std::string::npos);
    EXPECT_NE(refusal("{\"target\":\"" + std::string(20000, 'x') + "\"}")
                  .find("a string longer than 16384 bytes"),
              std::string::npos);
    EXPECT_NE(refusal("{\"target\":\"r\xffm\"}").find("byte "), std::string::npos);
    EXPECT_NE(refusal("{\"target\":1e400}").find("number overflow"), std::string::npos);
    EXPECT_NE(refusal("{\"target\":" + std::string(30000, 't') + "}").find("last read"),
              std::string::npos);
    EXPECT_NE(refusal("{\"target\":\"ram\",}").find("byte 17:"), std::string::npos);

    // A repeated member counts as its last.
    kelvaro::StationRequest request;
    std::string error;
    ASSERT_TRUE(kelvaro::ReadStationRequest("get", "{\"target\":\"ram\",\"target\":\"eeprom\"}",
                                            allowed, &request, &error))
        << error;
    EXPECT_EQ(request.target, kelvaro::EEPROM);
}

TEST_F(StationTest, CommandsAreRefusedUnlessAllowedAndBadRequestsSendNothing) {
    serve();
    const auto live = broker.subscribe(topic("live"));
    ASSERT_TRUE(live->waitForOutput("norm", WAIT_S));
    EXPECT_EQ(request("get", "{\"target\":\"ram\"}"),
              "{\"ok\":false,\"error\":\"commands are not allowed on this station (kelvaro serve "
              "--allow-commands)\"}\n");
    stop();

    serve({"--allow-commands"});
    const auto again = broker.subscribe(topic("live"));
    ASSERT_TRUE(again->waitForOutput("norm", WAIT_S));
    sim.clearRequests();
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"send", "not json"}, {"erase", "{}"}, {"flash", "{\"table\":[]}"}};
    for (const auto &[name, payload] : refused) {
        const std::string answer = request(name, payload);
        EXPECT_EQ(answer.rfind("{\"ok\":false,\"error\":", 0), 0u) << name << " " << payload;
    }
    EXPECT_NE(request("send", "{\"target\":\"ram\",\"words\":[70000,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
                              "0]}")
                  .find("value 1 (70000) is not a whole number from 0 to 65535"),
              std::string::npos);
    // A refusal quotes a glimpse of what it refuses, never the whole of a request up to 64 KiB.
    const std::string longValue =
        request("send", "{\"target\":\"ram\",\"words\":[\"" + std::string(10000, 'x') +
                            "\",0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}");
    EXPECT_NE(longValue.find("value 1 (\\\"xxx"), std::string::npos) << longValue.substr(0, 200);
    EXPECT_LT(longValue.size(), 200u);
    for (int order : ordersReceived())
        EXPECT_EQ(order, 8) << "nothing but the live run reached the controller";

    // Over the bound the station refuses a request itself; over twice the bound the broker keeps
    // it from the station, which reads none of it and so answers nothing.
    const std::string padded = "{\"target\":\"ram\",\"pad\":\"";
    EXPECT_NE(request("get", padded + std::string(100 * 1024, 'x') + "\"}")
                  .find("longer than the 65536 bytes allowed"),
              std::string::npos);
    const auto answers = broker.subscribe("replies/#");
    const std::string huge = folder.filePath("huge.json").toStdString();
    std::string error;
    ASSERT_TRUE(WriteText(huge, padded + std::string(1024 * 1024, 'x') + "\"}", &error)) << error;
    std::vector<std::string> arguments = broker.clientArguments();
    arguments.insert(arguments.end(), {"-t", topic("command/get"), "-f", huge, "-D", "publish",
                                       "response-topic", "replies/huge"});
    EXPECT_EQ(RunClient("mosquitto_pub", arguments, WAIT_S).exitCode, 0);
    EXPECT_EQ(request("get", "{\"target\":\"ram\"}").rfind("{\"ok\":true", 0), 0u);
    ASSERT_TRUE(answers->waitForOutput("replies/answers", WAIT_S));
    EXPECT_EQ(answers->output().find("replies/huge"), std::string::npos) << "the huge one's answer";
}

// A request whose answer would land in a station's tree (as a request there, or over a state) or
// nowhere is refused before it reaches the line, and said on standard error.
TEST_F(StationTest, AnswersGoOnlyOutsideTheStationsTreeAndARequestWithoutOneSendsNothing) {
    serve({"--allow-commands"});
    const auto tree = broker.subscribe("kelvaro/#");
    ASSERT_TRUE(tree->waitForOutput(topic("live"), WAIT_S));
    sim.clearRequests();
    const std::vector<std::string> misdirected = {
        topic("command/teach"), std::string("kelvaro/") + STATION + "2/COM1/command/reset",
        topic("state"), "$SYS/answers"};
    for (const std::string &responseTopic : misdirected)
        EXPECT_EQ(broker
                      .publish(topic("command/get"), "{\"target\":\"ram\"}", 0,
                               {"-V", "mqttv5", "-D", "publish", "response-topic", responseTopic})
                      .exitCode,
                  0);
    EXPECT_EQ(broker.publish(topic("command/reset"), "{}").exitCode, 0);
    ASSERT_TRUE(WaitUntil(
        [&] {
            size_t refusals = 0;
            for (size_t at = 0;
                 (at = station->errors().find(" refused: ", at)) != std::string::npos; ++at)
                ++refusals;
            return refusals == misdirected.size() + 1;
        },
        WAIT_S))
        << station->errors();
    EXPECT_NE(
        station->errors().find("COM1: a request on command/get refused: its response topic \"" +
                               topic("command/teach") + "\" lies in the stations' own tree"),
        std::string::npos)
        << station->errors();
    EXPECT_NE(station->errors().find("command/reset refused: it names no response topic"),
              std::string::npos);

    // The live run went on meanwhile, and a request answered where it may be still works.
    const size_t before = tree->output().size();
    ASSERT_TRUE(WaitUntil(
        [&] { return tree->output().find(topic("live"), before) != std::string::npos; }, WAIT_S));
    EXPECT_EQ(request("get", "{\"target\":\"eeprom\"}"),
              "{\"ok\":true,\"words\":" + WordsText(sim.eeprom()) + "}\n");
    const std::vector<int> orders = ordersReceived();
    EXPECT_EQ(std::count(orders.begin(), orders.end(), 6), 0) << "no teach by the back door";
    EXPECT_EQ(std::count_if(orders.begin(), orders.end(), [](int order) { return order != 8; }), 1)
        << "nothing but the live run and the one answered get reached the controller";
    EXPECT_EQ(tree->output().find("{\"ok\""), std::string::npos) << "no answer in the tree";
}

// Requests at 40 a second, more than the line can serve: the live run keeps more than half the
// line's rate, the requests beyond the waiting ones are answered busy, and every one is answered.
TEST_F(StationTest, ARequestFloodLeavesTheLiveRunMoreThanHalfTheLine) {
    serve({"--allow-commands"});
    const auto live = broker.subscribe(topic("live"));
    const auto answers = broker.subscribe("replies/flood");
    ASSERT_TRUE(live->waitForOutput("norm", WAIT_S));
    QProcess flood;
    std::vector<std::string> arguments = broker.clientArguments();
    arguments.insert(arguments.end(), {"-V", "mqttv5", "-t", topic("command/get"), "-D", "publish",
                                       "response-topic", "replies/flood", "-q", "1", "-l"});
    QStringList floodArguments;
    for (const std::string &argument : arguments)
        floodArguments << QString::fromStdString(argument);
    flood.start("mosquitto_pub", floodArguments);
    ASSERT_TRUE(flood.waitForStarted());
    const auto liveMessages = [&] {
        return std::count(live->output().begin(), live->output().end(), '\n');
    };
    const int requests = 160;
    const double period = 1.0 / 40;
    const double start = Timer();
    long liveAtOneSecond = -1;
    double oneSecond = 0;
    for (int sent = 0; sent < requests;) {
        for (const int due = std::min(requests, int((Timer() - start) / period) + 1); sent < due;
             ++sent)
            flood.write("{\"target\":\"ram\"}\n");
        if (liveAtOneSecond < 0 && sent >= 40) {
            liveAtOneSecond = liveMessages();
            oneSecond = Timer();
        }
        WaitUntil([] { return false; }, 0.01);
    }
    const double flooded = Timer() - oneSecond;
    const double liveRate = double(liveMessages() - liveAtOneSecond) / flooded;
    flood.closeWriteChannel();
    flood.waitForFinished(10000);
    EXPECT_GT(liveRate, 26.7 / 2) << "live messages a second while flooded";

    const auto answered = [&] {
        return std::count(answers->output().begin(), answers->output().end(), '\n');
    };
    ASSERT_TRUE(WaitUntil([&] { return answered() == requests; }, WAIT_S))
        << answered() << " of " << requests;
    const std::string &all = answers->output();
    size_t busy = 0;
    for (size_t at = 0; (at = all.find("\"error\":\"busy: ", at)) != std::string::npos; ++at)
        ++busy;
    EXPECT_GT(busy, 0u);
    EXPECT_LT(busy, size_t(requests));
}

// A station's writes name the station, the port, the way and who asked; each replaces the set the
// one before it wrote.
TEST_F(StationTest, AStationsWritesAreJournaledWithWhoAskedAndTheSetTheyReplace) {
    serve({"--allow-commands"});
    const auto live = broker.subscribe(topic("live"));
    ASSERT_TRUE(live->waitForOutput("norm", WAIT_S));
    kvsim::Words set = sim.ram();
    for (const uint16_t hold : {130, 100}) {
        set[5] = hold;
        std::vector<std::string> arguments = broker.clientArguments();
        arguments.insert(arguments.end(),
                         {"-t", topic("command/send"), "-e", "replies/alice", "-D", "publish",
                          "user-property", "user", "alice", "-m",
                          "{\"target\":\"ram\",\"words\":" + WordsText(set) + "}", "-W", "12"});
        EXPECT_EQ(RunClient("mosquitto_rr", arguments, WAIT_S).output, "{\"ok\":true}\n");
    }
    QProcess journal;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KELVARO_DIR", folder.path());
    journal.setProcessEnvironment(environment);
    journal.start(QString::fromStdString(program), {"journal", "--port", "COM1"});
    ASSERT_TRUE(journal.waitForFinished(20000));
    const std::string said = journal.readAllStandardOutput().toStdString();
    const std::string origin = std::string("(station ") + STATION +
                               " port COM1, mqtt from alice as " + broker.options().users[0].name +
                               ")";
    EXPECT_NE(said.find(origin), std::string::npos) << said;
    EXPECT_NE(said.find("Hold 130 -> 100 (before: last written)"), std::string::npos) << said;
}

// The service manager's stop during a flash: every block is written, the request answered, and
// only then does the station end.
TEST_F(StationTest, AStopDuringAFlashLetsItEndAndAnswer) {
    serve({"--allow-commands", "--allow-flash"});
    const auto live = broker.subscribe(topic("live"));
    ASSERT_TRUE(live->waitForOutput("norm", WAIT_S));
    std::vector<std::string> arguments = broker.clientArguments();
    arguments.insert(arguments.end(), {"-t", topic("command/flash"), "-e", "replies/flash", "-m",
                                       TableText(), "-W", "20"});
    BackgroundClient flash("mosquitto_rr", arguments);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<int> orders = ordersReceived();
            return std::count(orders.begin(), orders.end(), 21) > 8;
        },
        WAIT_S));
    ::kill(pid_t(station->pid()), SIGTERM);
    EXPECT_TRUE(flash.waitForOutput("{\"ok\":true}", WAIT_S)) << flash.output();
    EXPECT_TRUE(station->waitForExit(WAIT_S));
    EXPECT_EQ(sim.flashPage(7)[255], 1023) << "page 7 written to its end";
    const std::vector<int> orders = ordersReceived();
    EXPECT_EQ(std::count(orders.begin(), orders.end(), 21), 64) << "every block of four pages";
}

// The broker goes away and comes back empty (no persistence): the station reconnects, publishes
// its retained tree again, takes commands again, and its live run never stopped.
TEST_F(StationTest, ABrokerThatGoesAndComesBackGetsTheTreeAgain) {
    serve({"--allow-commands"});
    {
        const auto live = broker.subscribe(topic("live"));
        ASSERT_TRUE(live->waitForOutput("norm", WAIT_S));
    }
    ASSERT_TRUE(broker.stop());
    const unsigned long requests = sim.requestCount();
    WaitUntil([] { return false; }, 1.5);
    EXPECT_GT(sim.requestCount(), requests + 10) << "the live run goes on while the broker is away";
    ASSERT_TRUE(broker.start()) << broker.error();
    const auto tree = broker.subscribe("kelvaro/#");
    // Each of the station's connections comes back on its own back-off.
    ASSERT_TRUE(tree->waitForOutput(topic("parameters/ram"), 40)) << tree->output();
    EXPECT_TRUE(tree->waitForOutput(std::string("kelvaro/") + STATION + "/state online", 40));
    EXPECT_TRUE(tree->waitForOutput(topic("live"), WAIT_S));
    EXPECT_EQ(request("get", "{\"target\":\"ram\"}").rfind("{\"ok\":true", 0), 0u)
        << "the command subscription was renewed";
    size_t said = 0;
    for (size_t at = 0; (at = station->errors().find("trying again", at)) != std::string::npos;
         ++at)
        ++said;
    EXPECT_EQ(said, 1u) << "a loss is said once, not at every attempt: " << station->errors();
}

// Killed outright, the station leaves "offline" by the broker's will, and nothing of it asks the
// controller any more.
TEST_F(StationTest, AStationKilledIsOfflineByItsWillAndAsksNoMore) {
    serve();
    const auto state = broker.subscribe(std::string("kelvaro/") + STATION + "/state");
    const auto portState = broker.subscribe(topic("state"));
    ASSERT_TRUE(state->waitForOutput("online", WAIT_S));
    ASSERT_TRUE(portState->waitForOutput("\"state\":\"online\"", WAIT_S));
    ASSERT_TRUE(WaitUntil([this] { return sim.requestCount() > 10; }, WAIT_S));
    station->kill();
    station.reset();
    EXPECT_TRUE(state->waitForOutput("offline", WAIT_S)) << state->output();
    EXPECT_TRUE(portState->waitForOutput(
        topic("state") + " {\"state\":\"offline\",\"device\":\"" + link + "\"}", WAIT_S))
        << portState->output();
    // Retained: who looks later sees the port offline too.
    const auto later = broker.subscribe(topic("state"));
    EXPECT_TRUE(later->waitForOutput("\"state\":\"offline\"", WAIT_S)) << later->output();
    WaitUntil([] { return false; }, 1.0);
    const unsigned long requests = sim.requestCount();
    WaitUntil([] { return false; }, 1.0);
    EXPECT_EQ(sim.requestCount(), requests) << "nothing left asking the controller";
}

TEST_F(StationTest, ADeviceLostAndBackIsReportedAndServedAgain) {
    serve();
    const auto port = broker.subscribe(topic("#"));
    ASSERT_TRUE(port->waitForOutput(topic("live"), WAIT_S));
    sim.stop();
    ASSERT_TRUE(port->waitForOutput(topic("event") + " {\"event\":\"lost\",\"ok\":false,", WAIT_S))
        << port->output();
    EXPECT_TRUE(port->waitForOutput("{\"state\":\"lost\"", WAIT_S));
    // Tried again after 1 and 2 s: the state and the event are said once, not at every try.
    WaitUntil([] { return false; }, 3.5);
    const std::string &said = port->output();
    size_t states = 0, events = 0;
    for (size_t at = 0; (at = said.find("{\"state\":\"lost\"", at)) != std::string::npos; ++at)
        ++states;
    for (size_t at = 0; (at = said.find("\"event\":\"lost\"", at)) != std::string::npos; ++at)
        ++events;
    EXPECT_EQ(states, 1u) << said;
    EXPECT_EQ(events, 1u) << said;
    std::string error;
    ASSERT_TRUE(sim.start(link, &error)) << error;
    sim.clearRequests();
    ASSERT_TRUE(port->waitForOutput(topic("event") + " {\"event\":\"back\",\"ok\":true", 40))
        << port->output();
    const size_t back = port->output().rfind("\"event\":\"back\"");
    EXPECT_TRUE(WaitUntil(
        [&] { return port->output().find("{\"state\":\"online\"", back) != std::string::npos; },
        WAIT_S));
    const std::vector<int> orders = ordersReceived();
    ASSERT_GE(orders.size(), 3u);
    EXPECT_EQ(std::vector<int>(orders.begin(), orders.begin() + 3), (std::vector<int>{5, 2, 7}))
        << "the whole start-up again";
}

TEST_F(StationTest, AWrongPasswordEndsWithItsCauseAndThePortStatus) {
    serve({}, "not-the-password");
    ASSERT_TRUE(station->waitForExit(WAIT_S));
    EXPECT_EQ(station->exitCode(), 2);
    EXPECT_NE(station->errors().find("not authorised"), std::string::npos) << station->errors();
    station.reset();
    EXPECT_TRUE(ordersReceived().empty());
}

class StationTlsTest : public StationTest {
  protected:
    static BrokerOptions withTls() {
        BrokerOptions options;
        options.tls = true;
        return options;
    }
    StationTlsTest() : StationTest(withTls()) {}
    std::vector<std::string> over(const std::string &ca) const {
        return {"--broker", "mqtts://127.0.0.1:" + std::to_string(broker.tlsPort()), "--ca", ca};
    }
};

TEST_F(StationTlsTest, TheBrokersCertificateIsCheckedAgainstTheGivenCa) {
    std::string error;
    ASSERT_TRUE(
        MakeCertificate(folder.path().toStdString(), "other", "/CN=other CA", "", "", &error))
        << error;
    serve(over(folder.filePath("other.crt").toStdString()));
    ASSERT_TRUE(station->waitForExit(WAIT_S));
    EXPECT_EQ(station->exitCode(), 2);
    EXPECT_NE(station->errors().find("certificate verify failed"), std::string::npos)
        << station->errors();

    serve(over(broker.caFile()));
    const auto state = broker.subscribe(topic("state"));
    EXPECT_TRUE(state->waitForOutput("\"online\"", WAIT_S)) << station->errors();
}

// The settings of a service come from its configuration file, a port known by an alias.
TEST_F(StationTest, TheConfigurationFileNamesTheBrokerThePortsAndTheirAliases) {
    const std::string config = folder.filePath("serve.conf").toStdString();
    WriteFile(QString::fromStdString(config),
              QString("[broker]\nurl = mqtt://127.0.0.1:%1\nuser = %2\n\n[station]\nname = %3\n"
                      "rate = 2    ; a second at most\n\n[port press1]\ndevice = %4   # the "
                      "simulator\n")
                  .arg(broker.port())
                  .arg(QString::fromStdString(broker.options().users[0].name), STATION,
                       QString::fromStdString(link))
                  .toUtf8());
    station = std::make_unique<BackgroundClient>(
        KelvaroProgram().toStdString(), std::vector<std::string>{"serve", "--config", config},
        std::vector<std::string>{"KELVARO_MQTT_PASSWORD=" + broker.options().users[0].password,
                                 "KELVARO_DIR=" + folder.path().toStdString()});
    const auto live = broker.subscribe(std::string("kelvaro/") + STATION + "/press1/live");
    ASSERT_TRUE(live->waitForOutput("norm", WAIT_S)) << station->errors();
    const size_t first = live->output().size();
    WaitUntil([] { return false; }, 2.0);
    const std::string later = live->output().substr(first);
    EXPECT_LE(std::count(later.begin(), later.end(), '\n'), 5) << "at most 2 a second";
    stop();

    // One name or one device twice, or a value a setting does not take, is a configuration to
    // mend, not to restart.
    const std::vector<std::pair<std::string, std::string>> twice = {
        {"[port press1]\ndevice = " + link + "\n[port press1]\ndevice = /dev/ttyS7\n",
         "two ports are named press1"},
        {"[port press1]\ndevice = " + link + "\n[port press2]\ndevice = " + link + "\n",
         "the device " + link + " is given twice (ports press1 and press2)"},
        {"[station]\nallow-flash = maybe\n[port press1]\ndevice = " + link + "\n",
         "\"allow-flash = maybe\" is not a setting of [station] or not a value it takes"}};
    for (const auto &[ports, why] : twice) {
        WriteFile(QString::fromStdString(config),
                  QString::fromStdString("[broker]\nurl = mqtt://127.0.0.1:" +
                                         std::to_string(broker.port()) + "\n" + ports)
                      .toUtf8());
        BackgroundClient refused(KelvaroProgram().toStdString(), {"serve", "--config", config});
        ASSERT_TRUE(refused.waitForExit(WAIT_S));
        EXPECT_EQ(refused.exitCode(), 1);
        EXPECT_NE(refused.errors().find(why), std::string::npos) << refused.errors();
    }
}

// The plant's access rules let the station publish its own state and live values but not its
// ports' states: each refusal is said with the topic and the broker's reason, and the rest goes
// on.
class StationAclTest : public StationTest {
  protected:
    static BrokerOptions withAcl() {
        BrokerOptions options;
        options.acl = {"user station",
                       std::string("topic readwrite kelvaro/") + STATION + "/state",
                       std::string("topic readwrite kelvaro/") + STATION + "/COM1/live",
                       std::string("topic read kelvaro/") + STATION + "/COM1/command/#",
                       "user operator",
                       "topic readwrite #"};
        return options;
    }
    StationAclTest() : StationTest(withAcl()) {}
};

TEST_F(StationAclTest, ARefusalOfTheBrokerIsSaidWithItsTopicAndReason) {
    serve();
    const auto live = broker.subscribe(topic("live"), 1);
    ASSERT_TRUE(live->waitForOutput("norm", WAIT_S)) << station->errors();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return station->errors().find("message to " + topic("state") +
                                          " refused: not authorised") != std::string::npos;
        },
        WAIT_S))
        << station->errors();
}

namespace {

const char GROUP[] = "plant";

// One Sparkplug message as a subscriber printed it ("%t %x"): its topic and payload read back.
struct SparkplugMessage {
    std::string topic;
    kelvaro::SparkplugPayload payload;
};

std::vector<SparkplugMessage> SparkplugMessages(const std::string &printed) {
    std::vector<SparkplugMessage> messages;
    size_t at = 0;
    for (size_t end; (end = printed.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = printed.substr(at, end - at);
        const size_t space = line.find(' ');
        SparkplugMessage message{line.substr(0, space), {}};
        std::string bytes;
        for (size_t i = space + 1; space != std::string::npos && i + 1 < line.size(); i += 2)
            bytes += char(std::stoi(line.substr(i, 2), nullptr, 16));
        std::string why;
        if (kelvaro::DecodeSparkplugPayload(bytes.data(), bytes.size(), &message.payload, &why))
            messages.push_back(message);
    }
    return messages;
}

const kelvaro::SparkplugMetric *Named(const kelvaro::SparkplugPayload &payload,
                                      const std::string &name) {
    for (const kelvaro::SparkplugMetric &metric : payload.metrics)
        if (metric.name == name)
            return &metric;
    return nullptr;
}

std::string NodeTopic(const char *type) {
    return std::string("spBv1.0/") + GROUP + "/" + type + "/" + STATION;
}

std::string DeviceTopic(const char *type) {
    return NodeTopic(type) + "/COM1";
}

} // namespace

class SparkplugTest : public StationTest {
  protected:
    // A host's command: payload's bytes published to topic.
    void command(const std::string &topic, const kelvaro::SparkplugPayload &payload) {
        const QString file = folder.filePath("command.bin");
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        const std::string bytes = kelvaro::EncodeSparkplugPayload(payload);
        out.write(bytes.data(), qint64(bytes.size()));
        out.close();
        std::vector<std::string> arguments = broker.clientArguments();
        arguments.insert(arguments.end(), {"-t", topic, "-f", file.toStdString(), "-q", "1"});
        ASSERT_EQ(RunClient("mosquitto_pub", arguments, WAIT_S).exitCode, 0);
    }
    kelvaro::SparkplugPayload write(const std::string &name, uint64_t value) {
        kelvaro::SparkplugMetric metric;
        metric.name = name;
        metric.datatype = kelvaro::SPARKPLUG_UINT16;
        metric.value = kelvaro::SparkplugMetric::WHOLE;
        metric.whole = value;
        kelvaro::SparkplugPayload payload;
        payload.metrics.push_back(metric);
        return payload;
    }
    std::unique_ptr<BackgroundClient> watch() {
        return broker.subscribe("spBv1.0/#", 0, {"-F", "%t %x"});
    }
    static std::string ramWord(int index) {
        return std::string("Parameters/RAM/") + kelvaro::PARAMETER_WORDS[index].key;
    }
};

// What a SCADA sees: the node's and the device's births with every metric typed and aliased, the
// live values by alias in the controller's order with one seq counter, a host's write reaching
// the controller, a rebirth on request, and the NDEATH of the session after SIGKILL.
TEST_F(SparkplugTest, BirthsDataWritesRebirthAndDeathAsAHostSeesThem) {
    sim.scriptNorm({201, 202, 203, 204, 205, 206});
    const auto host = watch();
    serve({"--sparkplug", GROUP, "--allow-commands"});
    ASSERT_TRUE(host->waitForOutput(DeviceTopic("DDATA"), WAIT_S)) << host->output();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto seen = SparkplugMessages(host->output());
            return std::count_if(seen.begin(), seen.end(), [](const SparkplugMessage &m) {
                       return m.topic == DeviceTopic("DDATA");
                   }) >= 6;
        },
        WAIT_S));
    std::vector<SparkplugMessage> seen = SparkplugMessages(host->output());
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0].topic, NodeTopic("NBIRTH"));
    EXPECT_EQ(seen[0].payload.seq, 0u);
    const kelvaro::SparkplugMetric *bdSeq = Named(seen[0].payload, "bdSeq");
    ASSERT_TRUE(bdSeq);
    EXPECT_EQ(bdSeq->datatype, kelvaro::SPARKPLUG_UINT64);
    const uint64_t session = bdSeq->whole;
    const kelvaro::SparkplugMetric *nodeRebirth = Named(seen[0].payload, "Node Control/Rebirth");
    ASSERT_TRUE(nodeRebirth);
    EXPECT_EQ(nodeRebirth->datatype, kelvaro::SPARKPLUG_BOOLEAN);

    ASSERT_EQ(seen[1].topic, DeviceTopic("DBIRTH"));
    const kelvaro::SparkplugPayload &birth = seen[1].payload;
    std::set<uint64_t> aliases{nodeRebirth->alias};
    for (const kelvaro::SparkplugMetric &metric : birth.metrics) {
        EXPECT_TRUE(metric.hasAlias && aliases.insert(metric.alias).second) << metric.name;
        EXPECT_NE(metric.datatype, 0u) << metric.name;
    }
    EXPECT_EQ(birth.metrics.size(), 46u);
    ASSERT_TRUE(Named(birth, "Properties/Firmware"));
    EXPECT_EQ(Named(birth, "Properties/Firmware")->text, kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(Named(birth, "Properties/Device")->text, link);
    ASSERT_TRUE(Named(birth, ramWord(3)));
    EXPECT_EQ(Named(birth, ramWord(3))->whole, sim.ram()[3]);
    EXPECT_EQ(Named(birth, "Live/ref_led")->datatype, kelvaro::SPARKPLUG_BOOLEAN);
    const uint64_t normAlias = Named(birth, "Live/norm")->alias;
    const uint64_t word5Alias = Named(birth, ramWord(5))->alias;

    // One counter numbers the node's messages; the live values come by alias, in order.
    std::vector<uint64_t> norms;
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].payload.seq, i % 256) << seen[i].topic;
        if (seen[i].topic != DeviceTopic("DDATA"))
            continue;
        for (const kelvaro::SparkplugMetric &metric : seen[i].payload.metrics) {
            EXPECT_TRUE(metric.name.empty()) << "data by alias only";
            if (metric.alias == normAlias)
                norms.push_back(metric.whole);
        }
    }
    ASSERT_GE(norms.size(), 6u);
    EXPECT_EQ(std::vector<uint64_t>(norms.begin(), norms.begin() + 6),
              (std::vector<uint64_t>{201, 202, 203, 204, 205, 206}))
        << "in the controller's order";

    // A host's write: the set read, the word changed, sent; the new values follow as DDATA.
    command(DeviceTopic("DCMD"), write(ramWord(3), 77));
    EXPECT_TRUE(WaitUntil([&] { return sim.ram()[3] == 77; }, WAIT_S));
    kelvaro::SparkplugPayload byAlias = write("", 55);
    byAlias.metrics[0].hasAlias = true;
    byAlias.metrics[0].alias = word5Alias;
    command(DeviceTopic("DCMD"), byAlias);
    EXPECT_TRUE(WaitUntil([&] { return sim.ram()[5] == 55; }, WAIT_S)) << "a word named by alias";
    // A malformed command and a value out of range change nothing.
    command(DeviceTopic("DCMD"), write(ramWord(4), 70000));
    const QString junk = folder.filePath("junk.bin");
    {
        QFile out(junk);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("\x12\x07\x0a", 3);
    }
    std::vector<std::string> arguments = broker.clientArguments();
    arguments.insert(arguments.end(),
                     {"-t", DeviceTopic("DCMD"), "-f", junk.toStdString(), "-q", "1"});
    ASSERT_EQ(RunClient("mosquitto_pub", arguments, WAIT_S).exitCode, 0);
    const kvsim::Words before = sim.ram();

    // Rebirth on request: NBIRTH with seq 0 and the same bdSeq, then the DBIRTH again.
    const size_t births = host->output().size();
    kelvaro::SparkplugPayload rebirth;
    kelvaro::SparkplugMetric asked;
    asked.name = "Node Control/Rebirth";
    asked.datatype = kelvaro::SPARKPLUG_BOOLEAN;
    asked.value = kelvaro::SparkplugMetric::BOOLEAN;
    asked.boolean = true;
    rebirth.metrics.push_back(asked);
    command(NodeTopic("NCMD"), rebirth);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const size_t nodeBirth = host->output().find(NodeTopic("NBIRTH"), births);
            return nodeBirth != std::string::npos &&
                   host->output().find(DeviceTopic("DBIRTH"), nodeBirth) != std::string::npos;
        },
        WAIT_S));
    EXPECT_EQ(sim.ram(), before) << "the refused commands sent nothing";
    EXPECT_NE(station->errors().find("70000 is outside"), std::string::npos) << station->errors();
    EXPECT_NE(station->errors().find("not a Sparkplug B payload"), std::string::npos);
    seen = SparkplugMessages(host->output());
    const auto again = std::find_if(seen.rbegin(), seen.rend(), [](const SparkplugMessage &m) {
        return m.topic == NodeTopic("NBIRTH");
    });
    EXPECT_EQ(again->payload.seq, 0u);
    EXPECT_EQ(Named(again->payload, "bdSeq")->whole, session);
    const auto written = std::find_if(seen.rbegin(), seen.rend(), [&](const SparkplugMessage &m) {
        return m.topic == DeviceTopic("DBIRTH");
    });
    ASSERT_NE(written, seen.rend());
    EXPECT_EQ(Named(written->payload, ramWord(3))->whole, 77u) << "the new value is reported";

    station->kill();
    station.reset();
    ASSERT_TRUE(host->waitForOutput(NodeTopic("NDEATH"), WAIT_S)) << host->output();
    seen = SparkplugMessages(host->output());
    EXPECT_EQ(Named(seen.back().payload, "bdSeq")->whole, session) << "the session's will";
}

// Without --allow-commands a host's write is refused; a device lost is a DDEATH, back a DBIRTH.
TEST_F(SparkplugTest, WritesNeedAllowCommandsAndADeviceLostAndBackDiesAndIsBornAgain) {
    const auto host = watch();
    serve({"--sparkplug", GROUP});
    ASSERT_TRUE(host->waitForOutput(DeviceTopic("DDATA"), WAIT_S)) << host->output();
    const kvsim::Words before = sim.ram();
    command(DeviceTopic("DCMD"), write(ramWord(3), 77));
    ASSERT_TRUE(WaitUntil(
        [&] { return station->errors().find("--allow-commands") != std::string::npos; }, WAIT_S))
        << station->errors();
    EXPECT_EQ(sim.ram(), before);

    sim.stop();
    ASSERT_TRUE(host->waitForOutput(DeviceTopic("DDEATH"), WAIT_S)) << host->output();
    const size_t death = host->output().find(DeviceTopic("DDEATH"));
    std::string error;
    ASSERT_TRUE(sim.start(link, &error)) << error;
    EXPECT_TRUE(WaitUntil(
        [&] { return host->output().find(DeviceTopic("DBIRTH"), death) != std::string::npos; },
        40));
}

// With a primary host the node is born only while that host says it is online, and again each
// time it comes back.
TEST_F(SparkplugTest, BirthsFollowThePrimaryHostsState) {
    const auto host = watch();
    serve({"--sparkplug", GROUP, "--sparkplug-host", "scada"});
    const std::string state = std::string("spBv1.0/STATE/scada");
    ASSERT_TRUE(WaitUntil([&] { return sim.requestCount() > 10; }, WAIT_S));
    EXPECT_EQ(host->output().find(NodeTopic("NBIRTH")), std::string::npos)
        << "no birth while the host is away";
    const auto say = [&](bool online) {
        const ClientResult said = broker.publish(
            state, std::string("{\"online\":") + (online ? "true" : "false") + ",\"timestamp\":1}",
            0, {"-q", "1", "-r"});
        ASSERT_EQ(said.exitCode, 0) << said.errors;
    };
    say(true);
    ASSERT_TRUE(host->waitForOutput(DeviceTopic("DBIRTH"), WAIT_S)) << host->output();
    say(false);
    ASSERT_TRUE(host->waitForOutput(state + " ", WAIT_S));
    WaitUntil([] { return false; }, 0.5);
    const size_t away = host->output().size();
    WaitUntil([] { return false; }, 0.5);
    EXPECT_EQ(host->output().find(DeviceTopic("DDATA"), away), std::string::npos)
        << "nothing while the host is away";
    say(true);
    EXPECT_TRUE(WaitUntil(
        [&] { return host->output().find(NodeTopic("NBIRTH"), away) != std::string::npos; },
        WAIT_S));
}
