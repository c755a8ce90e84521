#pragma once

// What the fuzz targets share: the input as bytes without a copy, and a quiet log, since the
// daemon logs every input it rejects and a long run would do little else.

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace Fuzz {

// None for an input beyond what a QByteArray can hold.
inline std::optional<QByteArray> bytes(const uint8_t *data, size_t size)
{
    if (size > size_t(std::numeric_limits<int>::max()))
        return std::nullopt;
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
}

inline void quiet()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

} // namespace Fuzz
