// The process-wide cache of the configuration file: the "[main]" section and
// one section per port, kept in memory, re-read when the file has changed on
// disk and written back 2500 ms after the last change. The cache owns its
// maps, a private timer group and the thread that runs it (Start/Stop). Every
// operation may be called from any thread and holds the cache's mutex for its
// whole duration, file I/O included.
//
// Other code reaches the cache through the accessor functions at the end of
// this header (general section) and their PortConfig... forms (a port's
// section); the key names, types and defaults are in ConfigKeySchema.h and
// ConfigKeys.h, and PortSettings.h reads a key with its default in one call.
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/config/ConfigFileReader.h"
#include "common/runtime/KtTimerManager.h"
#include "common/runtime/UnixThread.h"

class RegistryCache : public KtTimerManager {
  public:
    static constexpr uint32_t kWriteDelayMs = 2500;
    static constexpr const char* kSource = "conf";

    // A cache of the file at `path`; nothing is read until the first read.
    explicit RegistryCache(std::string path);
    ~RegistryCache() override;

    // The cache the accessor functions use: the one installed, else the
    // process-wide cache of PortvanePaths::ConfigFile(), made on first use.
    static RegistryCache& Instance();
    // Makes the accessors use `cache` (tests, with a file under a scratch
    // directory); nullptr returns to the process-wide cache. The caller keeps
    // ownership and restores before destroying it.
    static void Install(RegistryCache* cache);

    // General section. The readers load the file first; the setters do not.
    bool GetValue(const std::string& name, std::string* value, const std::string& defaultValue);
    bool SetValue(const std::string& name, const std::string& value);
    bool DeleteValue(const std::string& name);

    // A port's section; a missing section reads as empty.
    bool GetPortValue(const std::string& section, const std::string& name, std::string* value,
                      const std::string& defaultValue);
    bool SetPortValue(const std::string& section, const std::string& name,
                      const std::string& value);
    bool DeletePortValue(const std::string& section, const std::string& name);

    // Re-reads the file when its modification time is later than the last
    // load or write. False (and the maps unchanged) when it cannot be read.
    bool Load();
    // Writes the whole file now: a new file beside the old one, synced, then
    // renamed over it, so that a failed write leaves the old file whole.
    bool Save();

    // Starts the write-back thread (after one load, so that a damaged file is
    // reported at start). Stop ends it and then writes what is still pending.
    bool Start();
    bool Stop();

    void OnTimer(KtTimerHandle timer, void* argument) override;

    // The text Save writes for these sections; pure, for tests and the
    // fuzz target.
    static std::string Render(const ConfigFileReader::Section& general,
                              const ConfigFileReader::PortSections& ports);

    const std::string& Path() const { return path_; }
    // True while changes wait for the write-back timer.
    bool WritePending();

  protected:
    // Every error of the cache passes here; logged as ERROR under "conf".
    // Tests override it to see the texts.
    virtual void ReportError(const std::string& text);

  private:
    static void* ThreadEntry(void* parameter);
    void RunTimerLoop();
    void ScheduleWrite();
    bool Storable(const std::string* section, const std::string& name, const std::string& value);
    void ReportErrno(const char* format, int error);
    bool ReadFile(int fd, ConfigFileReader* reader);
    bool WriteFile(const std::string& target, const std::string& text);

    std::recursive_mutex mutex_;
    std::string path_;
    UnixThread thread_;
    std::atomic<bool> running_{false};
    KtTimerHandle writeTimer_ = nullptr;
    // Changed since the last load or successful write: what Stop and the
    // destructor still owe the file, also after a write that failed.
    bool unsaved_ = false;
    ConfigFileReader::Section general_;
    ConfigFileReader::PortSections ports_;
    time_t lastSync_ = 0;
};

// Accessors of the general section ("[main]"). The buffer forms copy at most
// size - 1 bytes and always terminate the buffer. ConfigGetInt reads the text
// as "%d"; the default is stored when the name is missing or does not parse,
// and the result still tells whether the name was present. Numbers are always
// written unsigned ("%u"), so a negative number comes back as a large one.
bool ConfigGetString(const std::string& name, char* buffer, size_t size,
                     const std::string& defaultValue);
bool ConfigGetString(const std::string& name, std::string* value,
                     const std::string& defaultValue = "");
bool ConfigGetInt(const std::string& name, int* value, int defaultValue);
bool ConfigSetString(const std::string& name, const std::string& value);
bool ConfigSetUnsigned(const std::string& name, unsigned value);
bool ConfigDelete(const std::string& name);

// The same on the section of one port.
bool PortConfigGetString(const std::string& port, const std::string& name, char* buffer,
                         size_t size, const std::string& defaultValue);
bool PortConfigGetString(const std::string& port, const std::string& name, std::string* value,
                         const std::string& defaultValue = "");
bool PortConfigGetInt(const std::string& port, const std::string& name, int* value,
                      int defaultValue);
bool PortConfigSetString(const std::string& port, const std::string& name,
                         const std::string& value);
bool PortConfigSetUnsigned(const std::string& port, const std::string& name, unsigned value);
bool PortConfigDelete(const std::string& port, const std::string& name);
