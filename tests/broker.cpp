// Test harness: a real Mosquitto broker on loopback ports for one test, and the Mosquitto
// command-line clients, run as child processes that die with the test process.
#include "broker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const double EXIT_WAIT_S = 10.0;
const double PROBE_INTERVAL_S = 0.02;
const double TOOL_TIMEOUT_S = 30.0;
const double SUBSCRIBE_WAIT_S = 10.0;
const size_t LOG_TAIL_CHARS = 2000;
const char *const EC_KEY[] = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-nodes"};

QStringList toQt(const std::vector<std::string> &strings) {
    QStringList list;
    for (const std::string &s : strings)
        list << QString::fromStdString(s);
    return list;
}

bool acceptsConnections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted =
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

bool runTool(const std::string &program, const std::vector<std::string> &arguments,
             std::string *error) {
    const ClientResult result = RunClient(program, arguments, TOOL_TIMEOUT_S);
    if (result.finished && result.exitCode == 0)
        return true;
    *error = program + (result.finished ? " failed: " : " did not finish: ") + result.errors +
             result.output;
    return false;
}

std::string lines(const std::vector<std::string> &each) {
    std::string text;
    for (const std::string &line : each)
        text += line + "\n";
    return text;
}

std::string currentUserName() {
    const passwd *entry = getpwuid(geteuid());
    return entry ? entry->pw_name : "root";
}

} // namespace

// A child left behind by a crashed test would hold its port and its files: the kernel ends it
// with the test.
void DieWithParent(QProcess &process) {
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

bool WriteText(const std::string &path, const std::string &text, std::string *error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        *error = path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

bool WaitUntil(const std::function<bool()> &done, double timeoutSeconds) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.setSingleShot(true);
    while (!done()) {
        const qint64 leftMs = qint64(timeoutSeconds * 1000.0) - clock.elapsed();
        if (leftMs <= 0)
            return done();
        // done() may turn on what another thread or process does, which wakes no event here.
        wake.start(int(std::min<qint64>(leftMs, qint64(PROBE_INTERVAL_S * 1000.0))));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool MakeCertificate(const std::string &folder, const std::string &name, const std::string &subject,
                     const std::string &caName, const std::string &extensions, std::string *error) {
    const std::string base = folder + "/" + name;
    std::vector<std::string> request = {"req"};
    if (caName.empty())
        request.push_back("-x509");
    else
        request.push_back("-new");
    request.insert(request.end(), std::begin(EC_KEY), std::end(EC_KEY));
    request.insert(request.end(), {"-keyout", base + ".key", "-subj", subject});
    if (caName.empty()) {
        request.insert(request.end(), {"-days", "2", "-out", base + ".crt"});
        return runTool("openssl", request, error);
    }
    request.insert(request.end(), {"-out", base + ".csr"});
    const std::string ca = folder + "/" + caName;
    return runTool("openssl", request, error) &&
           WriteText(base + ".ext", extensions + "\n", error) &&
           runTool("openssl",
                   {"x509", "-req", "-in", base + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                    "-CAcreateserial", "-days", "2", "-extfile", base + ".ext", "-out",
                    base + ".crt"},
                   error);
}

ClientResult RunClient(const std::string &program, const std::vector<std::string> &arguments,
                       double timeoutSeconds) {
    ClientResult result;
    QProcess process;
    DieWithParent(process);
    process.start(QString::fromStdString(program), toQt(arguments));
    if (!process.waitForStarted()) {
        result.errors = program + ": " + process.errorString().toStdString();
        return result;
    }
    result.finished =
        WaitUntil([&process] { return process.state() == QProcess::NotRunning; }, timeoutSeconds);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = process.readAllStandardOutput().toStdString();
    result.errors = process.readAllStandardError().toStdString();
    return result;
}

BackgroundClient::BackgroundClient(const std::string &program,
                                   const std::vector<std::string> &arguments,
                                   const std::vector<std::string> &environment)
    : process_(std::make_unique<QProcess>()) {
    DieWithParent(*process_);
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const std::string &entry : environment) {
        const size_t equals = entry.find('=');
        variables.insert(QString::fromStdString(entry.substr(0, equals)),
                         QString::fromStdString(entry.substr(equals + 1)));
    }
    process_->setProcessEnvironment(variables);
    QObject::connect(process_.get(), &QProcess::readyReadStandardOutput,
                     [this] { output_ += process_->readAllStandardOutput().toStdString(); });
    QObject::connect(process_.get(), &QProcess::readyReadStandardError,
                     [this] { errors_ += process_->readAllStandardError().toStdString(); });
    process_->start(QString::fromStdString(program), toQt(arguments));
    if (!process_->waitForStarted())
        errors_ = program + ": " + process_->errorString().toStdString();
}

BackgroundClient::~BackgroundClient() {
    kill();
}

bool BackgroundClient::waitForOutput(const std::string &text, double timeoutSeconds) {
    return WaitUntil([&] { return output_.find(text) != std::string::npos; }, timeoutSeconds);
}

bool BackgroundClient::waitForExit(double timeoutSeconds) {
    return WaitUntil([this] { return process_->state() == QProcess::NotRunning; }, timeoutSeconds);
}

long long BackgroundClient::pid() const {
    return process_->processId();
}

int BackgroundClient::exitCode() const {
    return process_->state() == QProcess::NotRunning &&
                   process_->exitStatus() == QProcess::NormalExit
               ? process_->exitCode()
               : -1;
}

void BackgroundClient::kill() {
    if (process_->state() == QProcess::NotRunning)
        return;
    process_->kill();
    process_->waitForFinished();
}

Broker::Broker(BrokerOptions options) : options_(std::move(options)) {}

Broker::~Broker() {
    kill();
}

std::string Broker::caFile() const {
    return folder_ + "/ca.crt";
}

std::string Broker::clientCertFile() const {
    return folder_ + "/client.crt";
}

std::string Broker::clientKeyFile() const {
    return folder_ + "/client.key";
}

std::string Broker::log() const {
    QFile file(QString::fromStdString(folder_ + "/broker.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

bool Broker::running() const {
    return process_ && process_->state() != QProcess::NotRunning;
}

bool Broker::prepare() {
    directory_ = std::make_unique<QTemporaryDir>();
    if (!directory_->isValid()) {
        error_ = "no temporary folder: " + directory_->errorString().toStdString();
        return false;
    }
    folder_ = directory_->path().toStdString();
    port_ = FreeLoopbackPort();
    tlsPort_ = options_.tls ? FreeLoopbackPort() : 0;
    if (port_ == 0 || (options_.tls && tlsPort_ == 0)) {
        error_ = "no free port on 127.0.0.1";
        return false;
    }

    const std::string passwords = folder_ + "/passwd";
    for (size_t i = 0; i < options_.users.size(); ++i) {
        std::vector<std::string> arguments = {"-b", passwords, options_.users[i].name,
                                              options_.users[i].password};
        if (i == 0)
            arguments.insert(arguments.begin(), "-c");
        if (!runTool("mosquitto_passwd", arguments, &error_))
            return false;
    }
    const std::vector<std::string> everyoneEverywhere = {"pattern readwrite #"};
    if (!WriteText(folder_ + "/acl",
                   lines(options_.acl.empty() ? everyoneEverywhere : options_.acl), &error_))
        return false;

    std::vector<std::string> config = {
        "per_listener_settings false",
        "allow_anonymous false",
        "password_file " + passwords,
        "acl_file " + folder_ + "/acl",
        "persistence false",
        "log_dest file " + folder_ + "/broker.log",
        "log_type all",
        // Started as root, the broker would drop to the user "mosquitto", who cannot read here.
        "user " + currentUserName(),
        "listener " + std::to_string(port_) + " 127.0.0.1",
    };
    if (options_.tls) {
        if (!MakeCertificate(folder_, "ca", "/CN=Kelvaro test CA", "", "", &error_) ||
            !MakeCertificate(folder_, "server", "/CN=localhost", "ca",
                             "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                             "extendedKeyUsage=serverAuth",
                             &error_))
            return false;
        if (options_.requireClientCertificate &&
            !MakeCertificate(folder_, "client", "/CN=station", "ca", "extendedKeyUsage=clientAuth",
                             &error_))
            return false;
        config.insert(config.end(),
                      {"listener " + std::to_string(tlsPort_) + " 127.0.0.1", "cafile " + caFile(),
                       "certfile " + folder_ + "/server.crt", "keyfile " + folder_ + "/server.key",
                       std::string("require_certificate ") +
                           (options_.requireClientCertificate ? "true" : "false")});
    }
    return WriteText(folder_ + "/mosquitto.conf", lines(config), &error_);
}

bool Broker::start(double timeoutSeconds) {
    error_.clear();
    if (running()) {
        error_ = "the broker is running already";
        return false;
    }
    if (folder_.empty() && !prepare())
        return false;
    process_ = std::make_unique<QProcess>();
    DieWithParent(*process_);
    process_->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(process_.get(), &QProcess::readyReadStandardOutput,
                     [this] { processOutput_ += process_->readAllStandardOutput().toStdString(); });
    process_->start("mosquitto", {"-c", QString::fromStdString(folder_ + "/mosquitto.conf")});
    if (!process_->waitForStarted()) {
        error_ = "mosquitto cannot start: " + process_->errorString().toStdString();
        return false;
    }
    return waitUntilAccepting(timeoutSeconds);
}

bool Broker::waitUntilAccepting(double timeoutSeconds) {
    const auto accepting = [this] {
        return acceptsConnections(port_) && (tlsPort_ == 0 || acceptsConnections(tlsPort_));
    };
    if (WaitUntil([&] { return !running() || accepting(); }, timeoutSeconds) && running())
        return true;
    if (!running()) {
        const std::string logText = log();
        error_ =
            "mosquitto exited: " + processOutput_ +
            logText.substr(logText.size() > LOG_TAIL_CHARS ? logText.size() - LOG_TAIL_CHARS : 0);
        return false;
    }
    error_ = "mosquitto does not accept connections on 127.0.0.1:" + std::to_string(port_) +
             " after " + std::to_string(timeoutSeconds) + " s";
    kill();
    return false;
}

bool Broker::stop(double timeoutSeconds) {
    if (!running())
        return true;
    process_->terminate();
    if (WaitUntil([this] { return !running(); }, timeoutSeconds))
        return true;
    error_ = "mosquitto did not end on SIGTERM within " + std::to_string(timeoutSeconds) + " s";
    return false;
}

void Broker::kill() {
    if (!running())
        return;
    process_->kill();
    WaitUntil([this] { return !running(); }, EXIT_WAIT_S);
}

void Broker::pause() {
    if (running())
        ::kill(pid_t(process_->processId()), SIGSTOP);
}

void Broker::resume() {
    if (running())
        ::kill(pid_t(process_->processId()), SIGCONT);
}

std::vector<std::string> Broker::clientArguments(bool tls, size_t user) const {
    std::vector<std::string> arguments = {"-h", "127.0.0.1", "-p",
                                          std::to_string(tls ? tlsPort_ : port_)};
    if (user < options_.users.size())
        arguments.insert(arguments.end(),
                         {"-u", options_.users[user].name, "-P", options_.users[user].password});
    if (tls) {
        arguments.insert(arguments.end(), {"--cafile", caFile()});
        if (options_.requireClientCertificate)
            arguments.insert(arguments.end(),
                             {"--cert", clientCertFile(), "--key", clientKeyFile()});
    }
    return arguments;
}

bool Broker::waitForLog(const std::string &text, double timeoutSeconds) const {
    return WaitUntil([&] { return log().find(text) != std::string::npos; }, timeoutSeconds);
}

std::unique_ptr<BackgroundClient> Broker::subscribe(const std::string &pattern, size_t user,
                                                    const std::vector<std::string> &more) {
    // The broker logs its SUBACK after the subscription is in place; a client id of its own tells
    // this subscriber's from the others'.
    const std::string id = "harness-subscriber-" + std::to_string(++subscribers_);
    std::vector<std::string> arguments = clientArguments(false, user);
    arguments.insert(arguments.end(), {"-i", id, "-t", pattern, "-F", "%t %p"});
    arguments.insert(arguments.end(), more.begin(), more.end());
    auto subscriber = std::make_unique<BackgroundClient>("mosquitto_sub", arguments);
    if (waitForLog("Sending SUBACK to " + id + "\n", SUBSCRIBE_WAIT_S))
        return subscriber;
    error_ = "mosquitto_sub on " + pattern + " got no SUBACK: " + subscriber->errors();
    return nullptr;
}

ClientResult Broker::publish(const std::string &topic, const std::string &payload, size_t user,
                             const std::vector<std::string> &more) const {
    std::vector<std::string> arguments = clientArguments(false, user);
    arguments.insert(arguments.end(), {"-t", topic, "-m", payload});
    arguments.insert(arguments.end(), more.begin(), more.end());
    return RunClient("mosquitto_pub", arguments, TOOL_TIMEOUT_S);
}
