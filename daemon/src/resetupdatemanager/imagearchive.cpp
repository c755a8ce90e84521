#include "imagearchive.h"

#include <KArchive>
#include <KArchiveDirectory>
#include <KArchiveFile>
#include <KCompressionDevice>
#include <KTar>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMimeDatabase>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Corvane {
namespace ResetUpdates {

namespace {

constexpr qint64 CopyBufferSize = 1024 * 1024;

bool isImageOfRoot(const QString &name)
{
    return name.startsWith(QLatin1String("root.img.")) ||
        name.startsWith(QLatin1String("home.img."));
}

} // namespace

ImageArchive::ImageArchive(const QString &fileName)
    : m_fileName(fileName)
{
}

ImageArchive::~ImageArchive()
{
    // The archive reads through the device: close it first.
    m_tar.reset();
    m_device.reset();
}

bool ImageArchive::open()
{
    QFile probe(m_fileName);
    if (!probe.open(QIODevice::ReadOnly)) {
        m_errorString = probe.errorString();
        return false;
    }
    probe.close();

    const QString mimeType =
        QMimeDatabase().mimeTypeForFile(m_fileName, QMimeDatabase::MatchContent).name();
    const KCompressionDevice::CompressionType type =
        KCompressionDevice::compressionTypeForMimeType(mimeType);
    if (type == KCompressionDevice::None)
        m_device.reset(new QFile(m_fileName));
    else
        m_device.reset(new KCompressionDevice(m_fileName, type));

    m_tar.reset(new KTar(m_device.data()));
    if (!m_tar->open(QIODevice::ReadOnly)) {
        m_errorString = m_tar->errorString();
        return false;
    }
    return true;
}

bool ImageArchive::unpack(const QString &rootDir, const QString &imagesDir)
{
    m_errorString.clear();
    m_failedEntry.clear();
    m_failedDirectory.clear();
    if (!m_tar || !m_tar->isOpen()) {
        m_errorString = QStringLiteral("Archive is not open");
        return false;
    }

    const KArchiveDirectory *top = m_tar->directory();
    QList<const KArchiveFile *> files;
    const QStringList names = top->entries();
    for (const QString &name : names) {
        const KArchiveEntry *entry = top->entry(name);
        if (!entry || entry->isDirectory())
            continue;
        if (!entry->symLinkTarget().isEmpty()) {
            // A link is no image; writing it out would put an empty file in an image's place.
            qWarning() << Q_FUNC_INFO << "Skipping symbolic link:" << name;
            continue;
        }
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
            name.contains(QLatin1Char('/'))) {
            qWarning() << Q_FUNC_INFO << "Skipping entry with an unusable name:" << name;
            continue;
        }
        files.append(static_cast<const KArchiveFile *>(entry));
    }
    // The directory lists its entries in hash order; the archive's own order is also the one
    // in which the decompressing device reads forward only.
    std::sort(files.begin(), files.end(), [](const KArchiveFile *a, const KArchiveFile *b) {
        return a->position() < b->position();
    });

    if (files.isEmpty()) {
        // Installing nothing would still schedule the device clear.
        m_errorString = QStringLiteral("The archive holds no image files");
        return false;
    }
    for (const KArchiveFile *file : qAsConst(files)) {
        const QString directory = isImageOfRoot(file->name()) ? rootDir : imagesDir;
        const QString path = QDir(directory).filePath(file->name());
        if (!copy(file->position(), file->size(), path)) {
            m_failedEntry = file->name();
            m_failedDirectory = directory;
            QFile::remove(path);
            return false;
        }
    }
    return true;
}

bool ImageArchive::copy(qint64 position, qint64 size, const QString &path)
{
    if (!m_device->seek(position)) {
        m_errorString =
            QStringLiteral("Cannot seek to the entry's data: %1").arg(m_device->errorString());
        return false;
    }
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_errorString = out.errorString();
        return false;
    }

    QByteArray buffer(
        static_cast<int>(qMin(CopyBufferSize, qMax<qint64>(size, 1))), Qt::Uninitialized);
    qint64 left = size;
    while (left > 0) {
        const qint64 read = m_device->read(buffer.data(), qMin<qint64>(left, buffer.size()));
        if (read <= 0) {
            m_errorString =
                QStringLiteral("Archive ends %1 bytes before the end of the entry").arg(left);
            return false;
        }
        const qint64 written = out.write(buffer.constData(), read);
        if (written != read) {
            m_errorString = out.errorString();
            return false;
        }
        left -= read;
    }
    // Space and I/O errors of delayed allocation show only when the data reaches the disk.
    if (::fdatasync(out.handle()) != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    out.close();
    if (out.error() != QFileDevice::NoError) {
        m_errorString = out.errorString();
        return false;
    }
    return true;
}

} // namespace ResetUpdates
} // namespace Corvane
