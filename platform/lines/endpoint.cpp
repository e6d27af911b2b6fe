// The one reader of SCHEME://HOST[:PORT] addresses, so that every URL the program takes means the
// same: a port is whole digits in range or the address is refused.
#include "endpoint.h"

#include <cerrno>
#include <cstring>

namespace {

const long LAST_PORT = 65535;
// What can't be part of a host name: a path, a query, credentials, spaces.
const char NOT_IN_HOST[] = "/?#@ \t[]";

// The number of port, or 0 when it is not digits from 1 to 65535.
int PortNumber(const std::string &port) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const long number = std::stol(port);
    return number >= 1 && number <= LAST_PORT ? int(number) : 0;
}

} // namespace

bool ReadEndpoint(const std::string &url, const char *scheme, int defaultPort, Endpoint *endpoint) {
    const size_t schemeLength = std::strlen(scheme);
    if (url.compare(0, schemeLength, scheme) != 0)
        return false;
    const std::string rest = url.substr(schemeLength);
    std::string host = rest;
    std::string port;
    bool portGiven = false;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return false;
        host = rest.substr(1, close - 1);
        if (host.find(':') == std::string::npos)
            return false;
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            return false;
        portGiven = !after.empty();
        port = portGiven ? after.substr(1) : "";
    } else {
        const size_t colon = rest.find(':');
        if (colon != std::string::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
            portGiven = true;
        }
    }
    if (host.empty() || host.find_first_of(NOT_IN_HOST) != std::string::npos)
        return false;
    const int number = portGiven ? PortNumber(port) : defaultPort;
    if (number == 0)
        return false;
    endpoint->host = host;
    endpoint->port = number;
    endpoint->address = rest;
    return true;
}

std::string ConnectionErrorText(int error, const Endpoint &endpoint, const std::string &server) {
    switch (error) {
    case ECONNREFUSED:
        return "connection refused: is " + server + " running, and is " +
               std::to_string(endpoint.port) + " its port?";
    case ENETUNREACH:
        return "no route to the network of " + endpoint.host + " (network unreachable)";
    case EHOSTUNREACH:
        return "no route to " + endpoint.host + " (host unreachable)";
    case ETIMEDOUT:
        return endpoint.host + " does not answer (timed out)";
    case ECONNRESET:
        return "connection reset by " + server + " or the network";
    case EPIPE:
        return server + " closed the connection";
    case 0:
        return "the connection was closed";
    default:
        return std::strerror(error);
    }
}
