// Feeds arbitrary bytes to the cache file's decoding, as a restarted daemon reads them, and
// checks that what it restores is written back and read again unchanged: the next write of the
// cache must not lose or alter what the last start took from it.
#include "fuzzinput.h"
#include "osinfocache.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

using Corvane::OsInfoCache;

namespace {

bool same(const Corvane::OsInfo &a, const Corvane::OsInfo &b)
{
    return a.version == b.version && a.codeName == b.codeName && a.summary == b.summary &&
        a.cover == b.cover && a.website == b.website &&
        a.lastChecked.toMSecsSinceEpoch() == b.lastChecked.toMSecsSinceEpoch() &&
        a.size == b.size && a.downloadedSize == b.downloadedSize &&
        a.installSize == b.installSize && a.isDownloaded == b.isDownloaded &&
        a.vendorDataUrl == b.vendorDataUrl &&
        a.isVendorDataDownloaded == b.isVendorDataDownloaded &&
        a.packagesToRemove == b.packagesToRemove;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<QByteArray> input = Fuzz::bytes(data, size);
    if (!input)
        return 0;
    const OsInfoCache::Records records = OsInfoCache::decode(*input);
    const OsInfoCache::Records again = OsInfoCache::decode(OsInfoCache::encode(records));
    if (again.size() != records.size()) {
        std::fprintf(
            stderr, "%d records restored, %d after writing them\n", records.size(), again.size());
        std::abort();
    }
    for (int i = 0; i < records.size(); ++i) {
        if (again.at(i).method != records.at(i).method ||
            !same(again.at(i).info, records.at(i).info)) {
            std::fprintf(stderr, "record %d changed by writing it\n", i);
            std::abort();
        }
    }
    return 0;
}
