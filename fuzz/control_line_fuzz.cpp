// Feeds arbitrary bytes to control sessions, cut into reads of a size the
// input chooses, through the line framing and the daemon's real command set:
// a real port manager with ports a and b under a scratch root, and a
// configuration cache on a scratch file. Every reply must be one well-formed
// line; a line being assembled must stay within its limit. Port-set changes
// and traces an input makes are undone before the next input.
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/config/RegistryCache.h"
#include "daemon/control/PtyControlChannel.h"
#include "daemon/control/SocketCommandLine.h"
#include "daemon/core/PTYRedirectorManager.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

struct Harness {
    Harness() {
        char pattern[] = "/tmp/portvane-control-fuzz.XXXXXX";
        root = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        for (const char* d : {"/etc", "/var", "/var/lock", "/dev"}) {
            mkdir((root + d).c_str(), 0755);
        }
        setenv("PORTVANE_ROOT", root.c_str(), 1);
        cache = std::make_unique<RegistryCache>(root + "/etc/portvaned.conf");
        RegistryCache::Install(cache.get());
        manager = std::make_unique<PTYRedirectorManager>();
        channel = std::make_unique<PtyControlChannel>(manager.get());
        if (!channel->RegisterCommands()) {
            abort();
        }
        RestorePorts();
    }
    ~Harness() {
        channel.reset();
        std::string reply;
        manager->SetPorts("", reply, false);
        manager.reset();
        RegistryCache::Install(nullptr);
        cache.reset();
        nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    void RestorePorts() {
        std::string reply;
        manager->SetPorts("a,b", reply, false);
    }

    std::string root;
    std::unique_ptr<RegistryCache> cache;
    std::unique_ptr<PTYRedirectorManager> manager;
    std::unique_ptr<PtyControlChannel> channel;
};

Harness& TheHarness() {
    static Harness harness;
    return harness;
}

void CheckReply(const std::string& reply) {
    if (reply.empty()) {
        return;
    }
    bool prefixed = reply.compare(0, 3, "OK ") == 0 || reply.compare(0, 4, "ERR ") == 0;
    if (!prefixed || reply.size() > SocketCommandLine::kMaxReply ||
        reply.find('\n') != reply.size() - 1) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    Harness& h = TheHarness();
    SocketCommandLine& server = h.channel->Server();
    // Two connections, so that traces and traceoffs of one meet the other.
    SocketCommandLine::Session first(&server);
    SocketCommandLine::Session second(&server);

    // The first byte: the low bits give the size of every read, the top bit
    // sends each line to the other connection in turn.
    size_t piece = 1 + static_cast<size_t>(data[0] & 0x7F) * 32;
    bool alternate = (data[0] & 0x80) != 0;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;
    SocketCommandLine::Session* session = &first;
    for (size_t at = 0; at < length; at += piece) {
        size_t n = length - at < piece ? length - at : piece;
        CheckReply(session->Receive(bytes + at, n));
        if (session->PendingLength() > SocketCommandLine::kMaxPending) {
            abort();
        }
        if (alternate && memchr(bytes + at, '\n', n) != nullptr) {
            session = session == &first ? &second : &first;
        }
    }

    // A closed connection ends its trace, as on the wire.
    first.OnClose(0);
    second.OnClose(0);
    if (h.channel->TraceActive()) {
        abort();
    }
    h.RestorePorts();
    return 0;
}
