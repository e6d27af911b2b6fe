// Test harness: ser2net started with a configuration written for the test, and waited for until
// every port it serves listens.
#include "ser2net.h"

#include "broker.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const double READY_WAIT_S = 2.0;

// Whether something listens on 127.0.0.1:port, read from the kernel's table: a connection to ask
// would make ser2net open the device and count a user.
bool listening(int port) {
    QFile table("/proc/net/tcp");
    if (!table.open(QIODevice::ReadOnly))
        return false;
    char local[16];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    const QByteArray wanted = local;
    const QByteArray LISTEN = "0A";
    for (const QByteArray &row : table.readAll().split('\n')) {
        const QList<QByteArray> fields = row.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == wanted && fields[3] == LISTEN)
            return true;
    }
    return false;
}

std::string line(const char *scheme, int port) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
}

} // namespace

Ser2net::Ser2net() = default;

Ser2net::~Ser2net() {
    stop();
}

bool Ser2net::start(const std::string &device, const std::string &rfc2217Format,
                    std::string *error) {
    folder_ = std::make_unique<QTemporaryDir>();
    rfc2217Port_ = FreeLoopbackPort();
    rawPort_ = FreeLoopbackPort();
    telnetPort_ = FreeLoopbackPort();
    const std::string dev = "serialdev," + device;
    // chardelay off: ser2net would otherwise hold each answer back for some character times.
    const std::string config =
        "%YAML 1.1\n---\n"
        "connection: &rfc2217\n"
        "  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1," +
        std::to_string(rfc2217Port_) + "\n  connector: " + dev + "," + rfc2217Format +
        ",local\n  options:\n    chardelay: false\n"
        "connection: &raw\n  accepter: tcp(nodelay),127.0.0.1," +
        std::to_string(rawPort_) + "\n  connector: " + dev +
        ",19200n81,local\n  options:\n    chardelay: false\n"
        "connection: &telnet\n  accepter: telnet,tcp,127.0.0.1," +
        std::to_string(telnetPort_) + "\n  connector: " + dev + ",19200n81,local\n";
    const QString file = folder_->filePath("ser2net.yaml");
    if (!WriteText(file.toStdString(), config, error))
        return false;
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::MergedChannels);
    DieWithParent(*process_);
    process_->start("ser2net", {"-n", "-c", file});
    if (!process_->waitForStarted(5000)) {
        *error = "ser2net did not start: " + process_->errorString().toStdString();
        return false;
    }
    const auto serving = [this] {
        return listening(rfc2217Port_) && listening(rawPort_) && listening(telnetPort_);
    };
    if (WaitUntil([&] { return serving() || process_->state() == QProcess::NotRunning; },
                  READY_WAIT_S) &&
        process_->state() != QProcess::NotRunning)
        return true;
    *error = "ser2net did not serve its ports: " + process_->readAll().toStdString();
    return false;
}

void Ser2net::stop() {
    if (!process_ || process_->state() == QProcess::NotRunning)
        return;
    process_->terminate();
    if (!process_->waitForFinished(5000))
        kill();
}

void Ser2net::kill() {
    if (!process_)
        return;
    process_->kill();
    process_->waitForFinished(5000);
}

std::string Ser2net::rfc2217Line() const {
    return line("rfc2217", rfc2217Port_);
}

std::string Ser2net::rawLine() const {
    return line("tcp", rawPort_);
}

std::string Ser2net::plainTelnetLine() const {
    return line("rfc2217", telnetPort_);
}
