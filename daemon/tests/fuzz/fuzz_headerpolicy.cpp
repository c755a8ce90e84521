// Feeds arbitrary site-header files and URLs through the header policy, as the downloader does
// for every request. The input's first line is the URL, the rest the file's bytes, so that a
// saved input always splits the same way. Whatever the file says, no header may break the
// request's framing.
#include "fuzzinput.h"
#include "resetupdatemanager/headerpolicy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using Corvane::ResetUpdates::HeaderPolicy;

namespace {

// An HTTP token, as the request line's grammar defines it.
bool isToken(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const bool alphanumeric =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && (c == '\0' || !std::strchr("!#$%&'*+-.^_`|~", c)))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<QByteArray> bytes = Fuzz::bytes(data, size);
    if (!bytes)
        return 0;
    const QByteArray &input = *bytes;
    const int newline = input.indexOf('\n');
    const QString url = QString::fromUtf8(newline < 0 ? input : input.left(newline));
    const QByteArray content = newline < 0 ? QByteArray() : input.mid(newline + 1);

    const HeaderPolicy::Headers headers = HeaderPolicy::headersFor(url, content);
    for (const auto &header : headers) {
        if (!isToken(header.first) || header.second.contains('\r') ||
            header.second.contains('\n') || header.second.contains('\0')) {
            std::fprintf(stderr, "header that breaks the request: %s\n", header.first.constData());
            std::abort();
        }
    }
    return 0;
}
