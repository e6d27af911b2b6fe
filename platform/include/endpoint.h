// The one reader of SCHEME://HOST[:PORT] addresses: the broker's and the network lines'.
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
