#include "common/config/ServerAddress.h"

#include "common/config/WholeLineMatch.h"

namespace {

const boost::regex& HostAndPort() {
    static const boost::regex r("^([\\.a-zA-Z0-9_\\-]+)\\[([0-9]+)\\]$", boost::regex::perl);
    return r;
}

}  // namespace

bool ServerAddress::Parse(const std::string& text, ServerAddress* address) {
    boost::smatch m;
    if (!WholeLineMatch(text, HostAndPort(), &m)) {
        return false;
    }
    address->host_ = m.str(1);
    address->port_ = m.str(2);
    return true;
}

int ServerAddress::PortNumber() const {
    long value = 0;
    if (port_.empty()) {
        return 0;
    }
    for (char c : port_) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + (c - '0');
        if (value > 65535) {
            return 0;
        }
    }
    return static_cast<int>(value);
}
