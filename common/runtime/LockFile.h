// The daemon's lock file, /var/lock/LCK..<name>: it keeps a second daemon
// from starting and tells the tools the daemon's pid and control port, as
// "%10d,%10d\n". No lock of its own: the exclusive create is the only
// synchronisation, between processes.
#pragma once

#include <cstdint>
#include <string>

class LockFile {
public:
    static constexpr int kRecordSize = 22;

    enum Result { ACQUIRED = 0, HELD = 1, FAILED = 2 };

    LockFile(const std::string& name, uint16_t port);

    // 0 this process holds the lock, 1 another live process does, 2 failure.
    int Acquire();
    // Removes the file only if it names this process; result as Acquire.
    int Release();
    // 1 and the outputs filled when the file names a live process, else 2.
    int ReadOwner(int* pid, uint16_t* port);

    const std::string& Path() const { return path_; }
    static std::string PathFor(const std::string& name);

private:
    // Reads the leading record of a file we can trust: a regular file owned
    // by root or by this process's user. Anyone may write to /var/lock, so a
    // planted file (or a symbolic link) names nobody.
    bool ReadTrusted(char* buffer, int* length, bool* untrusted);

    int pid_;
    uint16_t port_;
    std::string name_;
    std::string path_;
};
