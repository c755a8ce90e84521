#pragma once

#include <QScopedPointer>
#include <QString>

class KTar;
class QIODevice;

namespace Corvane {
namespace ResetUpdates {

/**
 * The OS image archive: a tar file, compressed or not (recognised from its content), of which
 * only the top-level files are installed.
 *
 * The archive is read through a decompressing device, never decompressed into a temporary
 * file: listing it is one decompression pass, and copying the files in the archive's own order
 * is one more, forward only. Nothing is staged in memory or in the temporary directory.
 *
 * Not tied to a thread, but one object must be used by one thread at a time.
 */
class ImageArchive
{
public:
    explicit ImageArchive(const QString &fileName);
    ~ImageArchive();
    ImageArchive(const ImageArchive &) = delete;
    ImageArchive &operator=(const ImageArchive &) = delete;

    // Reads the archive's directory; false with errorString() set when it is no tar archive.
    [[nodiscard]] bool open();

    /**
     * Copies every top-level file into rootDir (names starting with "root.img." or "home.img.")
     * or imagesDir (any other name), in the archive's order, each under its own name.
     * Directories, symbolic links and names that would leave the directory are skipped; an
     * archive without any other file fails.
     * Every write is checked and every file synced: true only when each file is complete on
     * disk. On failure, the file being written is removed, errorString() and failedEntry()
     * tell what went wrong, and the files copied before it stay.
     */
    [[nodiscard]] bool unpack(const QString &rootDir, const QString &imagesDir);

    QString errorString() const { return m_errorString; }
    QString failedEntry() const { return m_failedEntry; }
    QString failedDirectory() const { return m_failedDirectory; }

private:
    bool copy(qint64 position, qint64 size, const QString &path);

    QString m_fileName;
    QScopedPointer<QIODevice> m_device;
    QScopedPointer<KTar> m_tar;
    QString m_errorString;
    QString m_failedEntry;
    QString m_failedDirectory;
};

} // namespace ResetUpdates
} // namespace Corvane
