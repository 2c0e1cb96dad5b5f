#include "common/config/RegistryCache.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/config/ConfigNumber.h"
#include "common/runtime/ClockSource.h"
#include "common/runtime/DebugMonitor.h"
#include "common/runtime/PortvanePaths.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

std::atomic<RegistryCache*> g_installed{nullptr};

RegistryCache& ProcessCache() {
    static RegistryCache cache(PortvanePaths::ConfigFile());
    return cache;
}

constexpr size_t kReadChunk = 65536;

// Writing through a symbolic link must update the file it names, not
// replace the link by a plain file.
std::string ResolveTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            std::string resolved(real);
            free(real);
            return resolved;
        }
    }
    return path;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// 0 or the errno of the failed write.
int WriteAll(int fd, const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

// The rename is durable only once the directory itself is on disk.
void SyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void CopyToBuffer(const std::string& value, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
}

// Names in messages are shown cut, so that a bad name cannot flood the log.
std::string Shown(const std::string& name) {
    constexpr size_t kShown = 64;
    return name.size() > kShown ? name.substr(0, kShown) + "..." : name;
}

}  // namespace

RegistryCache::RegistryCache(std::string path) : path_(std::move(path)) {
    // The process-wide cache flushes from its destructor at exit; the monitor
    // it logs to and the clock its timers read must outlive it, so they are
    // made first (statics are destroyed in the reverse order of their making).
    DebugMonitor::Instance();
    TickCountMs();
}

RegistryCache::~RegistryCache() {
    Stop();
}

RegistryCache& RegistryCache::Instance() {
    RegistryCache* installed = g_installed.load();
    return installed != nullptr ? *installed : ProcessCache();
}

void RegistryCache::Install(RegistryCache* cache) {
    g_installed.store(cache);
}

void RegistryCache::ReportError(const std::string& text) {
    DebugMonitor::Instance().Log(DEBUG_ERROR, kSource, static_cast<int>(text.size()), text.data());
}

void RegistryCache::ReportErrno(const char* format, int error) {
    char text[128];
    snprintf(text, sizeof text, format, error);
    ReportError(text);
}

bool RegistryCache::WritePending() {
    Lock lock(mutex_);
    return writeTimer_ != nullptr;
}

// ---- values

bool RegistryCache::Storable(const std::string* section, const std::string& name,
                             const std::string& value) {
    // Whatever is stored must read back: a port section called "main" would
    // merge into the general section, other characters in names would make
    // the line unreadable, and a newline in a value would start a new line.
    if (section != nullptr && (!ConfigFileReader::IsSectionName(*section) ||
                               *section == ConfigFileReader::kGeneralSection)) {
        ReportError("section " + Shown(*section) + " cannot be stored in the configuration file");
        return false;
    }
    if (!ConfigFileReader::IsKeyName(name)) {
        ReportError("key " + Shown(name) + " cannot be stored in the configuration file");
        return false;
    }
    if (value.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
        ReportError("value of " + Shown(name) + " cannot be stored in the configuration file");
        return false;
    }
    return true;
}

void RegistryCache::ScheduleWrite() {
    unsaved_ = true;
    StartTimer(&writeTimer_, kWriteDelayMs);
    // The cache thread may be waiting for no timer at all: it must recompute.
    GetTimerGroup()->GetEvent().Signal();
}

bool RegistryCache::GetValue(const std::string& name, std::string* value,
                             const std::string& defaultValue) {
    Lock lock(mutex_);
    Load();
    auto it = general_.find(name);
    bool found = it != general_.end();
    *value = found ? it->second : defaultValue;
    return found;
}

bool RegistryCache::SetValue(const std::string& name, const std::string& value) {
    Lock lock(mutex_);
    if (!Storable(nullptr, name, value)) {
        return false;
    }
    // A change applies to the file as it is now: loading afterwards would
    // replace the changed value with the file's and drop the write-back.
    Load();
    general_[name] = value;
    ScheduleWrite();
    return true;
}

bool RegistryCache::DeleteValue(const std::string& name) {
    Lock lock(mutex_);
    Load();
    if (general_.erase(name) == 0) {
        return false;
    }
    ScheduleWrite();
    return true;
}

bool RegistryCache::GetPortValue(const std::string& section, const std::string& name,
                                 std::string* value, const std::string& defaultValue) {
    Lock lock(mutex_);
    Load();
    bool found = false;
    auto s = ports_.find(section);
    if (s != ports_.end()) {
        auto it = s->second.find(name);
        if (it != s->second.end()) {
            found = true;
            *value = it->second;
        }
    }
    if (!found) {
        *value = defaultValue;
    }
    return found;
}

bool RegistryCache::SetPortValue(const std::string& section, const std::string& name,
                                 const std::string& value) {
    Lock lock(mutex_);
    if (!Storable(&section, name, value)) {
        return false;
    }
    Load();
    ports_[section][name] = value;
    ScheduleWrite();
    return true;
}

bool RegistryCache::DeletePortValue(const std::string& section, const std::string& name) {
    Lock lock(mutex_);
    Load();
    auto s = ports_.find(section);
    if (s == ports_.end() || s->second.erase(name) == 0) {
        return false;
    }
    ScheduleWrite();
    return true;
}

// ---- the file

bool RegistryCache::Load() {
    Lock lock(mutex_);
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
        ReportErrno("error %d opening configuration file", errno);
        return false;
    }
    if (lastSync_ >= st.st_mtime) {
        return true;
    }
    // Non-blocking, so that a FIFO put in the file's place cannot hang the
    // caller; it is refused below like anything else that is not a file.
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        ReportErrno("error %d opening configuration file", errno);
        return false;
    }
    struct stat opened;
    int error = 0;
    if (fstat(fd, &opened) != 0) {
        error = errno;
    } else if (!S_ISREG(opened.st_mode)) {
        error = S_ISDIR(opened.st_mode) ? EISDIR : EINVAL;
    }
    if (error != 0) {
        close(fd);
        ReportErrno("error %d opening configuration file", error);
        return false;
    }
    ConfigFileReader reader([this](const std::string& text) { ReportError(text); });
    bool complete = ReadFile(fd, &reader);
    close(fd);
    if (!complete) {
        // Half a file would silently drop the settings after the failure;
        // the values from before stay, and the next read tries again.
        return false;
    }
    general_.swap(reader.General());
    ports_.swap(reader.Ports());
    lastSync_ = opened.st_mtime;
    unsaved_ = false;
    return true;
}

bool RegistryCache::ReadFile(int fd, ConfigFileReader* reader) {
    std::vector<char> chunk(kReadChunk);
    for (;;) {
        ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n == 0) {
            reader->Finish();
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ReportErrno("error %d reading configuration file", errno);
            return false;
        }
        reader->Feed(chunk.data(), static_cast<size_t>(n));
    }
}

std::string RegistryCache::Render(const ConfigFileReader::Section& general,
                                  const ConfigFileReader::PortSections& ports) {
    std::string text = "[main]\n";
    for (const auto& entry : general) {
        text += entry.first + "=" + entry.second + "\n";
    }
    text += "\n";
    for (const auto& section : ports) {
        text += "[" + section.first + "]\n";
        for (const auto& entry : section.second) {
            text += entry.first + "=" + entry.second + "\n";
        }
        text += "\n";
    }
    return text;
}

bool RegistryCache::Save() {
    Lock lock(mutex_);
    if (!WriteFile(ResolveTarget(path_), Render(general_, ports_))) {
        return false;
    }
    lastSync_ = time(nullptr);
    unsaved_ = false;
    // A write-back still scheduled would only write the same text again.
    StopTimer(&writeTimer_);
    return true;
}

bool RegistryCache::WriteFile(const std::string& target, const std::string& text) {
    std::string pattern = target + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        ReportErrno("error %d opening configuration file for update", errno);
        return false;
    }
    struct stat old;
    if (stat(target.c_str(), &old) == 0) {
        fchmod(fd, old.st_mode & 07777);
        if (old.st_uid != geteuid() || old.st_gid != getegid()) {
            // Only root may give the file away; the daemon runs as root, and
            // a trial run as a plain user simply becomes the owner.
            int ignored = fchown(fd, old.st_uid, old.st_gid);
            (void)ignored;
        }
    } else {
        // A new file: it holds the port passwords.
        fchmod(fd, 0600);
    }
    int error = WriteAll(fd, text);
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.data());
        ReportErrno("error %d writing configuration file", error);
        return false;
    }
    if (rename(temp.data(), target.c_str()) != 0) {
        error = errno;
        unlink(temp.data());
        ReportErrno("error %d replacing configuration file", error);
        return false;
    }
    SyncDirectory(DirectoryOf(target));
    return true;
}

// ---- the write-back thread

void RegistryCache::OnTimer(KtTimerHandle timer, void* /*argument*/) {
    Lock lock(mutex_);
    if (timer == writeTimer_) {
        writeTimer_ = nullptr;
        Save();
    }
}

void* RegistryCache::ThreadEntry(void* parameter) {
    auto* thread = static_cast<UnixThread*>(parameter);
    static_cast<RegistryCache*>(thread->GetArgument())->RunTimerLoop();
    return nullptr;
}

void RegistryCache::RunTimerLoop() {
    KtTimerGroup* group = GetTimerGroup();
    while (running_.load()) {
        if (group->TimeToNextTimer() == 0) {
            group->RunExpiredTimers();
        }
        if (!running_.load()) {
            break;
        }
        group->WaitForTimers();
    }
}

bool RegistryCache::Start() {
    Lock lock(mutex_);
    Load();
    if (running_.load()) {
        return true;
    }
    // Set before the thread exists, so that a Stop right after this Start
    // always finds the thread to join.
    running_.store(true);
    int error = thread_.Start(ThreadEntry, this);
    if (error != 0) {
        running_.store(false);
        ReportErrno("error %d starting configuration thread", error);
        return false;
    }
    return true;
}

bool RegistryCache::Stop() {
    if (running_.exchange(false)) {
        GetTimerGroup()->GetEvent().Signal();
        // Not under the mutex: the thread may be waiting for it in OnTimer.
        thread_.Join();
    }
    Lock lock(mutex_);
    StopTimer(&writeTimer_);
    if (unsaved_) {
        Save();
    }
    return true;
}

// ---- accessors of the process-wide cache

bool ConfigGetString(const std::string& name, char* buffer, size_t size,
                     const std::string& defaultValue) {
    std::string value;
    bool found = RegistryCache::Instance().GetValue(name, &value, defaultValue);
    CopyToBuffer(value, buffer, size);
    return found;
}

bool ConfigGetString(const std::string& name, std::string* value, const std::string& defaultValue) {
    return RegistryCache::Instance().GetValue(name, value, defaultValue);
}

bool ConfigGetInt(const std::string& name, int* value, int defaultValue) {
    std::string text;
    bool found = RegistryCache::Instance().GetValue(name, &text, "");
    if (!found || !ConfigNumber::ParseSigned(text, value)) {
        *value = defaultValue;
    }
    return found;
}

bool ConfigSetString(const std::string& name, const std::string& value) {
    return RegistryCache::Instance().SetValue(name, value);
}

bool ConfigSetUnsigned(const std::string& name, unsigned value) {
    return RegistryCache::Instance().SetValue(name, ConfigNumber::Format(value));
}

bool ConfigDelete(const std::string& name) {
    RegistryCache::Instance().DeleteValue(name);
    return true;
}

bool PortConfigGetString(const std::string& port, const std::string& name, char* buffer,
                         size_t size, const std::string& defaultValue) {
    std::string value;
    bool found = RegistryCache::Instance().GetPortValue(port, name, &value, defaultValue);
    CopyToBuffer(value, buffer, size);
    return found;
}

bool PortConfigGetString(const std::string& port, const std::string& name, std::string* value,
                         const std::string& defaultValue) {
    return RegistryCache::Instance().GetPortValue(port, name, value, defaultValue);
}

bool PortConfigGetInt(const std::string& port, const std::string& name, int* value,
                      int defaultValue) {
    std::string text;
    bool found = RegistryCache::Instance().GetPortValue(port, name, &text, "");
    if (!found || !ConfigNumber::ParseSigned(text, value)) {
        *value = defaultValue;
    }
    return found;
}

bool PortConfigSetString(const std::string& port, const std::string& name,
                         const std::string& value) {
    return RegistryCache::Instance().SetPortValue(port, name, value);
}

bool PortConfigSetUnsigned(const std::string& port, const std::string& name, unsigned value) {
    return RegistryCache::Instance().SetPortValue(port, name, ConfigNumber::Format(value));
}

bool PortConfigDelete(const std::string& port, const std::string& name) {
    RegistryCache::Instance().DeletePortValue(port, name);
    return true;
}
