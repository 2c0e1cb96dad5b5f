// Typed reads of one port's settings: a key of ConfigKeys.h is read from the
// sections its scope names ("port, general" falls back to "[main]"), cut to
// the key's length and answered with the key's default when found nowhere.
// Holds only the port's name; every read goes to the RegistryCache, so
// settings are always current. Safe on any thread.
#pragma once

#include <cstddef>
#include <string>

#include "common/config/ConfigKeys.h"
#include "common/config/ServerAddress.h"

class PortSettings {
  public:
    // Longest clear-text password SetPassword stores; longer ones are cut.
    static constexpr size_t kMaxPasswordLength = 511;

    explicit PortSettings(std::string port) : port_(std::move(port)) {}
    // Settings without a port: keys of port scope answer their default.
    static PortSettings General() { return PortSettings(""); }

    const std::string& Port() const { return port_; }

    // The key's value with the table's default.
    int Number(const NumberKey& key) const;
    std::string Text(const TextKey& key) const;
    // The same with the caller's default, for keys whose default is the
    // port's current setting (Baud, Parity, ...).
    int Number(const NumberKey& key, int fallback) const;
    std::string Text(const TextKey& key, const std::string& fallback) const;
    // True when the key is stored in one of its sections; `value` is then
    // set (a number that does not parse reads as the default), else left.
    bool FindNumber(const NumberKey& key, int* value) const;
    bool FindText(const TextKey& key, std::string* value) const;

    // The port's password in clear, decoded with the port's name and Login.
    std::string Password() const;
    bool HasPassword() const;
    // Scrambles `clear` (cut to kMaxPasswordLength) with the current Login
    // and stores it; the password must be set again after Login changes.
    bool SetPassword(const std::string& clear) const;

    // The ServerAddress key in its host[port] form; false when it has
    // another form or is not set.
    bool Server(ServerAddress* address) const;

  private:
    bool ReadNumber(const NumberKey& key, int fallback, int* value) const;
    bool ReadText(const TextKey& key, const std::string& fallback, std::string* value) const;
    std::string FullLogin() const;

    std::string port_;
};
