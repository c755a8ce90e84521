#pragma once

#include <QHash>
#include <QList>
#include <QScopedPointer>
#include <QString>

class KArchiveFile;
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

    /**
     * Reads the archive's directory and makes sure the archive is whole: the compressed stream
     * ends cleanly and the tar ends with its end-of-archive blocks and nothing but zeros after
     * them. False with errorString() set otherwise.
     */
    [[nodiscard]] bool open();

    /**
     * Copies every top-level file into rootDir (names starting with "root.img." or "home.img.")
     * or imagesDir (any other name), in the archive's order, each under its own name.
     * Directories and names that would leave the directory are skipped; an archive without any
     * other file fails.
     * A top-level link (hard or symbolic) to another top-level file is written as a regular
     * file holding that file's data. Any other link fails the unpacking before anything is
     * written, with errorString() naming the link and its target.
     * Every write is checked and every file synced: true only when each file is complete on
     * disk. When a copy fails, the files of that entry are removed, errorString(),
     * failedEntry() and failedDirectory() tell what went wrong, and the files copied before
     * stay.
     */
    [[nodiscard]] bool unpack(const QString &rootDir, const QString &imagesDir);

    QString errorString() const { return m_errorString; }
    // Empty unless a copy failed.
    QString failedEntry() const { return m_failedEntry; }
    QString failedDirectory() const { return m_failedDirectory; }
    // The last failure lies in the archive's bytes (compression, tar structure, an entry cut
    // short), so the file can never be installed as it is.
    bool isDamaged() const { return m_damaged; }

private:
    struct Target
    {
        QString name;
        QString directory;
    };

    bool checkEnd();
    const KArchiveFile *resolve(
        const QHash<QString, const KArchiveFile *> &files, const KArchiveFile *file);
    // Writes the source's data under every target name, in one pass.
    bool copy(const KArchiveFile *source, const QList<Target> &targets);

    QString m_fileName;
    QScopedPointer<QIODevice> m_device;
    QScopedPointer<QIODevice> m_listing;
    QScopedPointer<KTar> m_tar;
    QString m_errorString;
    QString m_failedEntry;
    QString m_failedDirectory;
    bool m_damaged = false;
};

} // namespace ResetUpdates
} // namespace Corvane
