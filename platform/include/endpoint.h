// The one reader of SCHEME://HOST[:PORT] addresses, the broker's and the network lines', and the
// operator's words for a TCP connection's system errors.
#pragma once

#include <string>

struct Endpoint {
    std::string host;    // a name or an address, an IPv6 address without its brackets
    int port = 0;        // 1..65535
    std::string address; // HOST:PORT as written after the scheme, IPv6 in brackets
};

// Reads url, which starts with scheme: HOST, then ":PORT" (1..65535, digits only, nothing after
// them), which may be left out when defaultPort is not 0. Returns false when url is no such
// address.
bool ReadEndpoint(const std::string &url, const char *scheme, int defaultPort, Endpoint *endpoint);

// What errno error means for a connection to server (e.g. "the broker") at endpoint, in the
// operator's words with what to check: "connection refused: is the broker running, and is 1883
// its port?".
std::string ConnectionErrorText(int error, const Endpoint &endpoint, const std::string &server);
