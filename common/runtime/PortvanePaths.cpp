#include "common/runtime/PortvanePaths.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdlib>

std::string PortvanePaths::Root() {
    const char* root = getenv("PORTVANE_ROOT");
    if (root == nullptr) {
        return "";
    }
    std::string r(root);
    while (r.size() > 1 && r.back() == '/') {
        r.pop_back();
    }
    return r == "/" ? "" : r;
}

std::string PortvanePaths::ConfigFile() {
    return Root() + "/etc/portvaned.conf";
}

std::string PortvanePaths::LockDirectory() {
    return Root() + "/var/lock";
}

std::string PortvanePaths::DeviceDirectory() {
    return Root() + "/dev";
}

std::string PortvanePaths::DeviceLink(const std::string& name) {
    return DeviceDirectory() + "/" + name;
}

namespace {

bool MakeDirectories(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PortvanePaths::EnsureRootDirectories() {
    if (Root().empty()) {
        return true;
    }
    return MakeDirectories(Root() + "/etc") && MakeDirectories(LockDirectory()) &&
           MakeDirectories(DeviceDirectory());
}
