// Feeds arbitrary bytes to the configuration file reader, split into pieces
// of a size the input chooses, then checks that what was read survives being
// written and read again: every section and every key comes back, without a
// single error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/config/ConfigFileReader.h"
#include "common/config/RegistryCache.h"

namespace {

bool SameKeys(const ConfigFileReader::Section& a, const ConfigFileReader::Section& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t piece = static_cast<size_t>(data[0]) * 97 + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;

    int errors = 0;
    ConfigFileReader reader([&](const std::string&) { ++errors; });
    for (size_t at = 0; at < length; at += piece) {
        reader.Feed(text + at, length - at < piece ? length - at : piece);
    }
    reader.Finish();

    std::string written = RegistryCache::Render(reader.General(), reader.Ports());
    int rereadErrors = 0;
    ConfigFileReader reread([&](const std::string&) { ++rereadErrors; });
    reread.Parse(written.data(), written.size());
    if (rereadErrors != 0 || !SameKeys(reader.General(), reread.General()) ||
        reader.Ports().size() != reread.Ports().size()) {
        abort();
    }
    for (auto i = reader.Ports().begin(), j = reread.Ports().begin(); i != reader.Ports().end();
         ++i, ++j) {
        if (i->first != j->first || !SameKeys(i->second, j->second)) {
            abort();
        }
    }
    return 0;
}
