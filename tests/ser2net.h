// Test harness: a real ser2net in front of a device (the simulator's pseudo-terminal) on loopback
// ports, with a configuration the test writes, stopped or killed by the test.
#pragma once

#include <memory>
#include <string>

class QProcess;
class QTemporaryDir;

class Ser2net {
  public:
    Ser2net();
    ~Ser2net();
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    // Serves device on three loopback ports: RFC 2217 with the line at rfc2217Format (ser2net's
    // "9600e71" form: the client is to set it), raw TCP at 19200n81, and plain Telnet without
    // RFC 2217. Returns false with error saying why; the ports accept connections once it returns.
    bool start(const std::string &device, const std::string &rfc2217Format, std::string *error);
    // SIGTERM and wait; SIGKILL: the server gone without a word.
    void stop();
    void kill();

    std::string rfc2217Line() const; // rfc2217://127.0.0.1:PORT
    std::string rawLine() const;     // tcp://127.0.0.1:PORT
    std::string plainTelnetLine() const;

  private:
    std::unique_ptr<QTemporaryDir> folder_;
    std::unique_ptr<QProcess> process_;
    int rfc2217Port_ = 0;
    int rawPort_ = 0;
    int telnetPort_ = 0;
};
