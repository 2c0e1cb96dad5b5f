// The edits the control commands make to a port's ServerAddress value
// through the pseudo-keys Server (the host) and ServerPort (the TCP port).
// Besides host[port] it recognises the two forms those edits themselves
// leave behind, "[port]" (a port set before any host) and a bare host (what
// deleting the port leaves), so that neither half is lost when the other is
// set later. A value object over one stored text; pure, safe on any thread.
#pragma once

#include <string>

class ServerAddressEditor {
  public:
    explicit ServerAddressEditor(const std::string& stored);

    // What get port answers: "" for a half that is not known.
    const std::string& Host() const { return host_; }
    const std::string& Port() const { return port_; }

    // The value to store after set port ... Server / ServerPort.
    std::string WithHost(const std::string& host) const;
    std::string WithPort(const std::string& port) const;
    // The value to store after delete port ... Server / ServerPort.
    std::string WithoutHost() const;
    std::string WithoutPort() const;

  private:
    std::string host_;
    std::string port_;
};
