// For unit tests only. A scratch PORTVANE_ROOT (etc/, var/lock/, dev/ below
// a temporary directory) for the scope of the object, with the
// configuration accessors on a cache of its empty configuration file. The
// environment and the accessors are restored and the directory removed when
// it goes.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "common/config/RegistryCache.h"

class ScratchRoot {
  public:
    ScratchRoot() {
        char pattern[] = "/tmp/portvane-test-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
        for (const char* d : {"/etc", "/var", "/var/lock", "/dev"}) {
            mkdir((path_ + d).c_str(), 0755);
        }
        const char* old = getenv("PORTVANE_ROOT");
        hadOld_ = old != nullptr;
        old_ = hadOld_ ? old : "";
        setenv("PORTVANE_ROOT", path_.c_str(), 1);
        // An empty file rather than none: a missing file is logged at every read.
        std::string config = path_ + "/etc/portvaned.conf";
        if (FILE* f = fopen(config.c_str(), "w")) {
            fclose(f);
        }
        cache_ = std::make_unique<RegistryCache>(config);
        RegistryCache::Install(cache_.get());
    }
    ~ScratchRoot() {
        RegistryCache::Install(nullptr);
        cache_.reset();
        if (hadOld_) {
            setenv("PORTVANE_ROOT", old_.c_str(), 1);
        } else {
            unsetenv("PORTVANE_ROOT");
        }
        if (!path_.empty()) {
            nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const std::string& Path() const { return path_; }
    std::string Dev(const std::string& name) const { return path_ + "/dev/" + name; }
    RegistryCache& Cache() { return *cache_; }

  private:
    static int Remove(const char* path, const struct stat*, int, struct FTW*) {
        return remove(path);
    }

    std::string path_;
    bool hadOld_ = false;
    std::string old_;
    std::unique_ptr<RegistryCache> cache_;
};
