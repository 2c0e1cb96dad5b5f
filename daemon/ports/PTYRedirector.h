// One port as applications see it: a pseudo-terminal whose slave is
// published as the symbolic link /dev/<name>, with the mode, owner and group
// the configuration asks for. It owns the master, the link, the port's
// VirtualUART, the PTYDevice on its application side and the DCE device on
// its network side (built by the factory it is given). Every application's
// use gets a fresh pseudo-terminal: the close recycles it. Construction,
// CreatePty, the Apply operations and destruction run on the thread that
// manages ports; OnPtyOpened on the listener thread; RecyclePty on the port
// or drain thread. The lock serialises creation, destruction and the open.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "daemon/ports/PTYConnectionClient.h"
#include "daemon/ports/PTYDevice.h"
#include "daemon/ports/VirtualUART.h"
#include "daemon/redirect/VirtualDCEDevice.h"

class PTYConnectionListener;
class VirtualDCEDeviceFactory;

class PTYRedirector : public PTYConnectionClient {
  public:
    static constexpr const char* kMasterPath = "/dev/ptmx";
    // Only links into this directory are stale links of a pseudo-terminal,
    // which a new port may replace.
    static constexpr const char* kSlaveDirectory = "/dev/pts/";
    static constexpr size_t kSlaveNameSize = 1024;
    static constexpr size_t kUserStringBufferSize = 5120;
    static constexpr long kDefaultRecordBufferSize = 65536;

    // factory: used once, here. listener: non-owning; outlives the port.
    PTYRedirector(const std::string& name, VirtualDCEDeviceFactory* factory,
                  PTYConnectionListener* listener);
    virtual ~PTYRedirector();
    PTYRedirector(const PTYRedirector&) = delete;
    PTYRedirector& operator=(const PTYRedirector&) = delete;

    // False when the factory could not build the network side; such a
    // port is not usable.
    bool IsBuilt() const { return dceDevice_ != nullptr; }

    // Opens a new pseudo-terminal, publishes it and watches it for the
    // application's open. True when the port now has a master.
    bool CreatePty();
    // Removes the link (while it still points at this port's slave) and
    // closes the pseudo-terminal.
    void DestroyPty();
    // Ends the port for good: no open or recycle is taken any more, the
    // port's threads stop, then DestroyPty. Called from the thread that
    // manages ports (and by the destructor), so that the pseudo-terminal is
    // taken down while no loop serves it.
    void Close();
    // After the application's close of masterFd: a fresh pseudo-terminal.
    // Nothing happens when masterFd is no longer the current master.
    void RecyclePty(int masterFd);

    void OnPtyOpened(int masterFd) override;

    // Mode, owner and group of the slave from the configuration; without a
    // path, the current slave's (re-application after a settings change).
    bool ApplyPermissions(const char* path = nullptr);
    bool ApplyOwner(const char* path = nullptr);
    bool ApplyGroup(const char* path = nullptr);

    const char* GetName() const { return uart_.GetName(); }
    std::string LinkPath() const;
    int GetMasterFd();
    // Pseudo-terminals published so far. The kernel reuses a closed one's
    // number, inode and (within a clock tick) change time, so this is what
    // tells a fresh one from the last.
    int CreatedCount();
    // The current slave's path; "" without a pseudo-terminal.
    std::string GetSlavePath();
    VirtualUART& GetUART() { return uart_; }
    PTYDevice& GetDevice() { return device_; }
    VirtualDCEDevice* GetDCEDevice() { return dceDevice_.get(); }

  private:
    void LogError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The given path, else the current slave's from the kernel.
    bool ResolveSlave(const char* path, std::string* slave);
    // Makes room for the link: nothing there, or a stale pseudo-terminal
    // link that was removed. Anything else is left alone.
    bool ClearLinkPlace(const std::string& link, const std::string& slave);
    bool LinkIsOurs(const std::string& link);
    void RemoveLinkIfOurs();
    // Gives up a master that was not (or no longer is) published.
    void AbandonMaster();
    bool LookupUser(const std::string& user, uid_t* uid);
    bool LookupGroup(const std::string& group, gid_t* gid);

    VirtualUART uart_;
    PTYDevice device_;
    std::unique_ptr<VirtualDCEDevice> dceDevice_;
    std::recursive_mutex lock_;
    int masterFd_ = -1;
    int created_ = 0;
    bool closing_ = false;
    int slaveUid_ = -1;
    int slaveGid_ = -1;
    // The slave of masterFd_, as found at creation.
    std::string slavePath_;
    bool haveSlaveNode_ = false;
    dev_t slaveDevice_ = 0;
    ino_t slaveInode_ = 0;
    PTYConnectionListener* listener_;  // non-owning
};
