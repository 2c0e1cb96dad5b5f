// The stored form of a port's device server, host "[" port "]" (for example
// "10.1.2.3[4001]"), as kept in the ServerAddress key. A value object; safe
// on any thread.
#pragma once

#include <string>

class ServerAddress {
  public:
    // The TCP port filled in when only a host is known.
    static constexpr const char* kDefaultPort = "23";

    ServerAddress() = default;
    ServerAddress(std::string host, std::string port)
        : host_(std::move(host)), port_(std::move(port)) {}

    // True when `text` has the form host[port]; the outputs are set only then.
    static bool Parse(const std::string& text, ServerAddress* address);

    // host + "[" + port + "]".
    std::string Format() const { return host_ + "[" + port_ + "]"; }

    const std::string& Host() const { return host_; }
    const std::string& Port() const { return port_; }
    // The port as a number, 0 when it does not fit a TCP port.
    int PortNumber() const;

  private:
    std::string host_;
    std::string port_;
};
