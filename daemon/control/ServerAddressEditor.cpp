#include "daemon/control/ServerAddressEditor.h"

#include <boost/regex.hpp>

#include "common/config/ServerAddress.h"

namespace {

bool Matches(const std::string& text, const boost::regex& pattern, boost::smatch* match) {
    try {
        return boost::regex_match(text, *match, pattern);
    } catch (...) {
        return false;
    }
}

// ServerAddress::Parse knows host[port] only; these are the forms with one
// half missing. The host characters are those of the host[port] pattern.
const boost::regex& PortOnly() {
    static const boost::regex r("^\\[([0-9]+)\\]$", boost::regex::perl);
    return r;
}

const boost::regex& HostOnly() {
    static const boost::regex r("^([\\.a-zA-Z0-9_\\-]+)$", boost::regex::perl);
    return r;
}

}  // namespace

ServerAddressEditor::ServerAddressEditor(const std::string& stored) {
    ServerAddress address;
    boost::smatch match;
    if (ServerAddress::Parse(stored, &address)) {
        host_ = address.Host();
        port_ = address.Port();
    } else if (Matches(stored, PortOnly(), &match)) {
        port_ = match.str(1);
    } else if (Matches(stored, HostOnly(), &match)) {
        host_ = match.str(1);
    }
}

std::string ServerAddressEditor::WithHost(const std::string& host) const {
    return ServerAddress(host, port_.empty() ? ServerAddress::kDefaultPort : port_).Format();
}

std::string ServerAddressEditor::WithPort(const std::string& port) const {
    return ServerAddress(host_, port).Format();
}

std::string ServerAddressEditor::WithoutHost() const {
    return ServerAddress("", port_.empty() ? ServerAddress::kDefaultPort : port_).Format();
}

std::string ServerAddressEditor::WithoutPort() const {
    return host_;
}
