#pragma once

#include "enums.h"
#include "osinfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace Corvane {

/**
 * The file "os-info.json" of the cache directory, which lets a restarted daemon know what it had
 * found and downloaded per method. The file is outside data at start-up: decode() accepts any
 * bytes, and read() restores only a file that root or the group "privileged" owns.
 */
class OsInfoCache
{
public:
    struct Record
    {
        Enums::Method method;
        OsInfo info;
    };
    using Records = QList<Record>;

    // Absolute path of the file; creates the cache directory when missing.
    static QString filePath();

    /**
     * The records of a cache file's content, in the file's order. A method named twice keeps
     * its first place and the later record's data; an element without a valid lastChecked is
     * skipped; members of the wrong type read as empty, false or 0. Anything that is not a JSON
     * object with a "methods" array yields no records.
     */
    static Records decode(const QByteArray &content);
    // The file's content for these records, in their order.
    static QByteArray encode(const Records &records);

    // The decoded file; removes a file planted by someone else or one that cannot be opened.
    static Records read();
    // Replaces the file whole; on failure logs and leaves no partial file behind.
    static void write(const Records &records);
    static void reset();

private:
    static bool isTrusted(const QString &fileName);
};

} // namespace Corvane
