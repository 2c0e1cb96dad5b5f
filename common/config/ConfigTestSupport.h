// Only the unit tests of common/config include this: a scratch directory, a
// cache that records its error texts, and the file and privilege helpers the
// tests share.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/config/RegistryCache.h"

// A directory under /tmp, removed with everything in it at the end.
class TempDirectory {
  public:
    TempDirectory() {
        char pattern[] = "/tmp/portvane-config-test.XXXXXX";
        char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TempDirectory() {
        if (!path_.empty()) {
            chmod(path_.c_str(), 0700);
            nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Names of the entries in the directory, for leftover checks.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        DIR* dir = opendir(path_.c_str());
        if (dir == nullptr) {
            return names;
        }
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
        return names;
    }

  private:
    static int Remove(const char* path, const struct stat*, int, struct FTW*) {
        return remove(path);
    }
    std::string path_;
};

// A cache whose error texts are kept for the test instead of being logged.
class RecordingCache : public RegistryCache {
  public:
    using RegistryCache::RegistryCache;
    ~RecordingCache() override { Stop(); }

    std::vector<std::string> errors;

  protected:
    void ReportError(const std::string& text) override { errors.push_back(text); }
};

// Makes the accessor functions use `cache` for one scope.
class InstalledCache {
  public:
    explicit InstalledCache(RegistryCache* cache) { RegistryCache::Install(cache); }
    ~InstalledCache() { RegistryCache::Install(nullptr); }
    InstalledCache(const InstalledCache&) = delete;
    InstalledCache& operator=(const InstalledCache&) = delete;
};

// Root ignores file modes; to see the failures an unprivileged daemon or a
// read-only directory would cause, the test thread drops the capabilities
// that override them for one scope (the permitted set keeps them).
class WithoutFileOverride {
  public:
    WithoutFileOverride() {
        if (geteuid() != 0 || !Get(data_)) {
            return;
        }
        struct __user_cap_data_struct reduced[2] = {data_[0], data_[1]};
        reduced[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        active_ = Set(reduced);
    }
    ~WithoutFileOverride() {
        if (active_) {
            Set(data_);
        }
    }
    WithoutFileOverride(const WithoutFileOverride&) = delete;
    WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

    // False when the modes would still be overridden (the test should skip).
    bool Effective() const { return geteuid() != 0 || active_; }

  private:
    static bool Get(struct __user_cap_data_struct* data) {
        struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(SYS_capget, &header, data) == 0;
    }
    static bool Set(struct __user_cap_data_struct* data) {
        struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(SYS_capset, &header, data) == 0;
    }

    struct __user_cap_data_struct data_[2] = {};
    bool active_ = false;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Moves the file's modification time `seconds` away from now.
inline void SetModified(const std::string& path, long seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time(nullptr) + seconds;
    times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}
