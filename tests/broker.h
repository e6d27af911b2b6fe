// Test harness: a real Mosquitto broker on loopback ports for one test (its users, ACL, optional
// TLS listener and certificates made with openssl), and the Mosquitto command-line clients.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QProcess;
class QTemporaryDir;

struct BrokerUser {
    std::string name;
    std::string password;
};

struct BrokerOptions {
    std::vector<BrokerUser> users = {{"station", "station-secret"},
                                     {"operator", "operator-secret"}};
    // The ACL file's lines; empty: every user reads and writes every topic.
    std::vector<std::string> acl;
    bool tls = false; // a second listener on tlsPort() with a CA and a server certificate
    bool requireClientCertificate = false; // TLS clients show a certificate signed by that CA
};

// Runs the Qt event loop until done() holds (looked at every few milliseconds) or timeoutSeconds
// have passed; returns done().
bool WaitUntil(const std::function<bool()> &done, double timeoutSeconds);

// Has the kernel end process's child with the test, so that a crashed test leaves no server
// holding its port and files.
void DieWithParent(QProcess &process);

// Writes text to the file at path, replacing it. false with error saying why.
bool WriteText(const std::string &path, const std::string &text, std::string *error);

// A TCP port on 127.0.0.1 that nothing listens on (bound once to port 0 and released); 0 when
// the system gives none.
int FreeLoopbackPort();

// Makes folder/name.crt and folder/name.key (EC P-256, valid two days): a self-signed CA when
// caName is empty, else a certificate signed by folder/caName.{crt,key} with extensions (the text
// of an openssl extension file, e.g. "subjectAltName=IP:127.0.0.1"). false with error saying why.
bool MakeCertificate(const std::string &folder, const std::string &name, const std::string &subject,
                     const std::string &caName, const std::string &extensions, std::string *error);

struct ClientResult {
    bool finished = false; // it exited by itself within the time-out
    int exitCode = -1;
    std::string output;
    std::string errors;
};

// Runs a program to its end, killing it after timeoutSeconds. The event loop runs meanwhile, so a
// service under test answers the program.
ClientResult RunClient(const std::string &program, const std::vector<std::string> &arguments,
                       double timeoutSeconds);

// A program running beside the test (a mosquitto_sub collecting messages, a child process to
// kill), killed at the latest when this goes.
class BackgroundClient {
  public:
    // environment: extra "NAME=value" entries.
    BackgroundClient(const std::string &program, const std::vector<std::string> &arguments,
                     const std::vector<std::string> &environment = {});
    ~BackgroundClient();
    BackgroundClient(const BackgroundClient &) = delete;
    BackgroundClient &operator=(const BackgroundClient &) = delete;

    // Waits, running the event loop, until the output holds text; false at the time-out.
    bool waitForOutput(const std::string &text, double timeoutSeconds);
    // Waits, running the event loop, for the program's own exit; false at the time-out.
    bool waitForExit(double timeoutSeconds);
    const std::string &output() const { return output_; }
    const std::string &errors() const { return errors_; }
    long long pid() const;
    // The exit status once it has ended by itself; -1 while it runs or when a signal ended it.
    int exitCode() const;
    // SIGKILL, and waits for the exit.
    void kill();

  private:
    std::unique_ptr<QProcess> process_;
    std::string output_;
    std::string errors_;
};

class Broker {
  public:
    explicit Broker(BrokerOptions options = {});
    ~Broker(); // kills the broker; its folder goes too
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    // Writes the folder (configuration, password and ACL files, certificates) on the first call;
    // starts mosquitto on the same ports every time and waits until each listener accepts
    // connections. false with error() saying why, with the log's end.
    bool start(double timeoutSeconds = 10);
    // SIGTERM, then waits for the exit; false when it did not exit in time.
    bool stop(double timeoutSeconds = 10);
    // SIGKILL, then waits for the exit.
    void kill();
    // SIGSTOP: connections stay open and nothing answers; resume() is SIGCONT.
    void pause();
    void resume();
    bool running() const;

    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    std::string caFile() const;
    std::string clientCertFile() const;
    std::string clientKeyFile() const;
    const BrokerOptions &options() const { return options_; }
    // The broker's log so far.
    std::string log() const;
    const std::string &error() const { return error_; }

    // Waits, running the event loop, until the broker's log holds text; false at the time-out.
    bool waitForLog(const std::string &text, double timeoutSeconds) const;

    // Arguments for mosquitto_pub, mosquitto_sub and mosquitto_rr: host and port, the user's name
    // and password and, for the TLS listener, the CA and the client certificate when required.
    std::vector<std::string> clientArguments(bool tls = false, size_t user = 0) const;
    // mosquitto_sub on pattern as options().users[user], printing "topic payload" lines (more
    // arguments follow and may change that), returned once the broker has the subscription in
    // force; nullptr with error() saying why.
    std::unique_ptr<BackgroundClient> subscribe(const std::string &pattern, size_t user = 0,
                                                const std::vector<std::string> &more = {});
    // mosquitto_pub of payload to topic as options().users[user], with more arguments.
    ClientResult publish(const std::string &topic, const std::string &payload, size_t user = 0,
                         const std::vector<std::string> &more = {}) const;

  private:
    bool prepare();
    bool waitUntilAccepting(double timeoutSeconds);

    BrokerOptions options_;
    std::unique_ptr<QTemporaryDir> directory_;
    std::unique_ptr<QProcess> process_;
    std::string folder_;
    std::string processOutput_;
    std::string error_;
    int port_ = 0;
    int tlsPort_ = 0;
    int subscribers_ = 0;
};
