// Where the daemon's own files live. PORTVANE_ROOT, when set, prefixes every
// one of them (configuration file, lock directory, device-link directory) so
// that tests and unprivileged trials never touch the real ones.
#pragma once

#include <string>

class PortvanePaths {
  public:
    static std::string Root();                               // "" when PORTVANE_ROOT is unset
    static std::string ConfigFile();                         // <root>/etc/portvaned.conf
    static std::string LockDirectory();                      // <root>/var/lock
    static std::string DeviceDirectory();                    // <root>/dev
    static std::string DeviceLink(const std::string& name);  // <root>/dev/<name>

    // Creates the three directories under a set root; the real ones are the
    // system's. Returns false if one cannot be made.
    static bool EnsureRootDirectories();
};
