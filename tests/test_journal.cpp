// The journal of writes against the simulator: a record before every write from the window and
// the command line with the set it replaces and what it sent, --verify finding a record changed,
// removed or moved, and a journal that can't be written keeping the write from going out.
#include "program_fixture.h"

#include "journal.h"
#include "json.h"

#include "filedialog.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kelvaro;

namespace {

std::vector<int> NumbersOf(const JsonValue *array) {
    std::vector<int> numbers;
    for (size_t i = 0; array && i < array->items.size(); ++i)
        numbers.push_back(int(array->items[i].number));
    return numbers;
}

} // namespace

class JournalTest : public StartedTest {
  protected:
    QString journal() const { return workingFolder.filePath(JOURNAL_FILE); }
    // The records, each line read back as JSON.
    std::vector<JsonValue> records() const {
        std::vector<JsonValue> read;
        for (const QByteArray &line : ReadFile(journal()).split('\n')) {
            if (line.isEmpty())
                continue;
            JsonValue record;
            EXPECT_TRUE(ParseJson(line.toStdString(), &record, nullptr)) << line.constData();
            read.push_back(*record.member("record"));
        }
        return read;
    }
    // kelvaro journal with more arguments, on this test's working folder.
    std::pair<int, QString> kelvaroJournal(const QStringList &more) const {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVARO_DIR", workingFolder.path());
        program.setProcessEnvironment(env);
        program.start(KelvaroProgram(), QStringList{"journal"} + more);
        program.waitForFinished(20000);
        return {program.exitCode(), QString::fromUtf8(program.readAllStandardOutput() +
                                                      program.readAllStandardError())};
    }
};

TEST_F(JournalTest, EveryWriteFromTheWindowIsRecordedWithTheSetItReplacesAndItsResult) {
    const std::vector<int> ramBefore = WordsOf(sim.ram());
    SetCtrlVal(panelHandle, PANEL_HOLD, 4242);
    press("PANEL_BTNSEND");
    ASSERT_TRUE(waitFor([&] { return sim.ram()[5] == 4242; }, 2.0));
    const std::vector<int> sent = ProgramParameters();
    press("PANEL_BUTTONTEACH");
    tick("PANEL_RBTEEPROM");
    press("PANEL_BTNSEND");
    const QString table = workingFolder.filePath("table.dat");
    WriteFile(table, CorrectionFileText());
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, table.toLocal8Bit().constData());
    choose("PANEL_MENUFLASH");

    const std::vector<JsonValue> read = records();
    ASSERT_EQ(read.size(), 8u) << "a write and its result, four times";
    const JsonValue &send = read[0];
    EXPECT_EQ(*StringMember(send, "target"), "ram");
    EXPECT_EQ(*StringMember(send, "device"), link);
    EXPECT_EQ(*StringMember(send, "firmware"), kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(*StringMember(send, "version"), KELVARO_VERSION);
    EXPECT_FALSE(StringMember(send, "user")->empty());
    EXPECT_EQ(NumbersOf(send.member("before")->member("words")), ramBefore)
        << "the RAM's set read at the start-up";
    EXPECT_EQ(*StringMember(*send.member("before"), "source"), "last read");
    EXPECT_EQ(NumbersOf(send.member("sent")->member("words")), sent);
    EXPECT_EQ(*StringMember(read[1], "result"), "Transmit Ok!");
    EXPECT_EQ(read[1].member("of")->number, 1) << "the result names its write";

    EXPECT_EQ(*StringMember(read[2], "operation"), "teach");
    EXPECT_EQ(NumbersOf(read[2].member("before")->member("words")), sent)
        << "the set the send before it wrote";
    EXPECT_EQ(*StringMember(*read[2].member("before"), "source"), "last written");
    EXPECT_EQ(*StringMember(read[3], "result"), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(*StringMember(read[4], "target"), "eeprom");
    EXPECT_EQ(read[4].member("before")->type, JsonType::Null) << "the EEPROM was never read";
    EXPECT_EQ(*StringMember(read[6], "operation"), "flash");
    std::vector<int> pages;
    for (const int *page : {flashp4, flashp5, flashp6, flashp7})
        pages.insert(pages.end(), page, page + 256);
    EXPECT_EQ(*StringMember(*read[6].member("sent"), "table_sha256"), TableDigest(pages.data()));
    EXPECT_EQ(*StringMember(read[7], "result"), "ok : F801 FLASH page7-write 255 words!");

    const auto [verified, said] = kelvaroJournal({"--verify"});
    EXPECT_EQ(verified, 0) << said.toStdString();
    EXPECT_TRUE(said.startsWith("kelvaro-journal.jsonl: 8 records unbroken")) << said.toStdString();
    // --since takes the journal's own times, and no day that never was.
    const auto [fromOwn, ownLines] =
        kelvaroJournal({"--since", QString::fromStdString(*StringMember(send, "time"))});
    EXPECT_EQ(fromOwn, 0) << ownLines.toStdString();
    EXPECT_TRUE(ownLines.contains("send ram: Transmit Ok!")) << ownLines.toStdString();
    for (const char *never :
         {"2026-02-30", "2025-02-29", "2026-12-07T24:00", "2026-12-07T10:15:"}) {
        const auto [refused, why] = kelvaroJournal({"--since", never});
        EXPECT_EQ(refused, 1) << never;
        EXPECT_TRUE(why.contains("is not a time")) << why.toStdString();
    }
    const auto [printed, lines] = kelvaroJournal({"--port", "COM1", "--since", "2000-01-01"});
    EXPECT_EQ(printed, 0);
    EXPECT_TRUE(lines.contains(" COM1 " + QString::fromStdString(link) +
                               "  send ram: Transmit Ok!\n    Hold 100 -> 4242 (before: last "
                               "read)\n"))
        << lines.toStdString();
}

// Any line changed, removed or moved breaks the chain where it happened.
TEST_F(JournalTest, VerifyFindsARecordChangedRemovedOrMoved) {
    for (int hold : {11, 22, 33}) {
        SetCtrlVal(panelHandle, PANEL_HOLD, hold);
        press("PANEL_BTNSEND");
    }
    const QByteArray whole = ReadFile(journal());
    QList<QByteArray> lines = whole.split('\n');
    lines.removeLast();
    ASSERT_EQ(lines.size(), 6);
    QList<QByteArray> edited = lines;
    // The sent Hold word: other "22"s may sit in the time or in the hash of the line before.
    const qsizetype sentHold = edited[2].indexOf(",22,", edited[2].indexOf("\"sent\":"));
    ASSERT_GT(sentHold, 0) << edited[2].toStdString();
    edited[2].replace(sentHold, 4, ",23,");
    QList<QByteArray> removed = lines;
    removed.removeAt(1);
    QList<QByteArray> swapped = lines;
    swapped.swapItemsAt(2, 4);
    const std::vector<std::pair<QList<QByteArray>, QString>> broken = {
        {edited, "line 4: "}, {removed, "line 2: "}, {swapped, "line 3: "}};
    for (const auto &[changed, where] : broken) {
        WriteFile(journal(), changed.join('\n') + "\n");
        const auto [code, said] = kelvaroJournal({"--verify"});
        EXPECT_EQ(code, 7) << said.toStdString();
        EXPECT_TRUE(said.startsWith("kelvaro-journal.jsonl " + where)) << said.toStdString();
    }
    WriteFile(journal(), whole);
    EXPECT_EQ(kelvaroJournal({"--verify"}).first, 0);
}

// A record cut short at the end (a crash, a full disk) is passed over: the next write starts a line
// of its own and goes on from the last whole record, its result is credited to it, and verify
// says where the cut is.
TEST_F(JournalTest, ARecordCutShortIsPassedOverAndTheNextGoesOnFromTheLastWholeOne) {
    SetCtrlVal(panelHandle, PANEL_HOLD, 11);
    press("PANEL_BTNSEND");
    QFile file(journal());
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("{\"seq\":3,\"record\":{\"kind\":\"wri");
    file.close();
    SetCtrlVal(panelHandle, PANEL_HOLD, 22);
    press("PANEL_BTNSEND");

    const QList<QByteArray> lines = ReadFile(journal()).split('\n');
    ASSERT_EQ(lines.size(), 6) << "two records, the cut one, two records and the last newline";
    JsonValue write, result;
    ASSERT_TRUE(ParseJson(lines[3].toStdString(), &write, nullptr)) << lines[3].constData();
    ASSERT_TRUE(ParseJson(lines[4].toStdString(), &result, nullptr)) << lines[4].constData();
    EXPECT_EQ(write.member("seq")->number, 3);
    EXPECT_EQ(result.member("record")->member("of")->number, 3);

    const auto [printed, said] = kelvaroJournal({});
    EXPECT_TRUE(said.contains("send ram: Transmit Ok!\n    Hold 11 -> 22 (before: last written)"))
        << said.toStdString();
    const auto [verified, report] = kelvaroJournal({"--verify"});
    EXPECT_EQ(verified, 7);
    EXPECT_TRUE(report.startsWith("kelvaro-journal.jsonl line 3: a record cut short"))
        << report.toStdString();
}

// A disk that fills between a write's record and its result: the write went out, and the status
// line says so and that its result is missing, never that nothing was sent.
TEST_F(JournalTest, ADiskFullAfterTheRecordSaysTheWriteWentOutAndItsResultIsMissing) {
    for (const int value : {1111, 2222}) {
        SetCtrlVal(panelHandle, PANEL_HOLD, value);
        press("PANEL_BTNSEND");
        ASSERT_TRUE(waitFor([&] { return sim.ram()[5] == value; }, 2.0));
    }
    // The next write's record is as long as the last one: same digits, same kind of "before".
    const QList<QByteArray> lines = ReadFile(journal()).split('\n');
    ASSERT_GE(lines.size(), 3);
    const qint64 recordBytes = lines[lines.size() - 3].size() + 1;
    const QByteArray before = ReadFile(journal());

    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit fullAfterTheRecord = previous;
    fullAfterTheRecord.rlim_cur = rlim_t(before.size() + recordBytes + 20);
    ::setrlimit(RLIMIT_FSIZE, &fullAfterTheRecord);
    SetCtrlVal(panelHandle, PANEL_HOLD, 3333);
    press("PANEL_BTNSEND");
    ::setrlimit(RLIMIT_FSIZE, &previous);

    EXPECT_TRUE(waitFor([&] { return sim.ram()[5] == 3333; }, 2.0));
    EXPECT_NE(status().find("its result is not in the journal: " + journal().toStdString() +
                            ": File too large"),
              std::string::npos)
        << status();
    EXPECT_EQ(status().find("nothing was sent"), std::string::npos) << status();
    EXPECT_EQ(ReadFile(journal()).size(), before.size() + recordBytes) << "the record, whole";
}

// No write escapes the journal: when its record can't be written, nothing goes out, the status line
// says why, and the journal keeps no half line.
TEST_F(JournalTest, AJournalThatCannotBeWrittenKeepsTheWriteFromGoingOut) {
    SetCtrlVal(panelHandle, PANEL_HOLD, 1111);
    press("PANEL_BTNSEND");
    ASSERT_TRUE(waitFor([&] { return sim.ram()[5] == 1111; }, 2.0));
    const QByteArray before = ReadFile(journal());

    // A full disk: a limit on the size of any file written.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = previous;
    tiny.rlim_cur = rlim_t(before.size() + 20);
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    sim.clearRequests();
    SetCtrlVal(panelHandle, PANEL_HOLD, 2222);
    press("PANEL_BTNSEND");
    press("PANEL_BUTTONTEACH");
    ::setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(QString::fromStdString(status()),
              "Journal not written, so nothing was sent: " + journal() + ": File too large");
    EXPECT_TRUE(ordersReceived().empty()) << "neither the send nor the teach went out";
    EXPECT_EQ(ReadFile(journal()), before) << "no half line left";

    // A journal the program may not write: a folder in its place.
    ASSERT_TRUE(QFile::remove(journal()));
    ASSERT_TRUE(QDir(workingFolder.path()).mkdir(JOURNAL_FILE));
    press("PANEL_BTNSEND");
    EXPECT_EQ(QString::fromStdString(status()),
              "Journal not written, so nothing was sent: " + journal() + ": Is a directory");
    EXPECT_TRUE(ordersReceived().empty());
    EXPECT_EQ(sim.ram()[5], 1111);
}
