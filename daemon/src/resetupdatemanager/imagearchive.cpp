#include "imagearchive.h"

#include "forwardreader.h"

#include <KArchive>
#include <KArchiveDirectory>
#include <KArchiveFile>
#include <KCompressionDevice>
#include <KTar>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMimeDatabase>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

namespace Corvane {
namespace ResetUpdates {

namespace {

constexpr qint64 CopyBufferSize = 1024 * 1024;
constexpr qint64 TarBlockSize = 512;

bool isImageOfRoot(const QString &name)
{
    return name.startsWith(QLatin1String("root.img.")) ||
        name.startsWith(QLatin1String("home.img."));
}

// The top-level entry a link target names ("x" or "./x"); empty when it names none: absolute,
// inside a directory or outside the top level.
QString topLevelName(const QString &target)
{
    if (target.startsWith(QLatin1Char('/')) || target.endsWith(QLatin1Char('/')))
        return QString();
    QStringList parts = target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    if (parts.size() != 1 || parts.first() == QLatin1String(".."))
        return QString();
    return parts.first();
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
    m_listing.reset();
    m_device.reset();
}

bool ImageArchive::open()
{
    m_errorString.clear();
    m_damaged = false;
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

    if (!m_device->open(QIODevice::ReadOnly)) {
        m_errorString = m_device->errorString();
        return false;
    }
    // KTar lists the archive through a reader that never goes back: a damaged header could
    // otherwise send it round in a loop that never ends.
    m_listing.reset(new ForwardReader(m_device.data()));
    m_listing->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    m_tar.reset(new KTar(m_listing.data()));
    if (!m_tar->open(QIODevice::ReadOnly)) {
        // The file itself was readable a moment ago: what KTar rejects is its content.
        m_damaged = true;
        m_errorString = m_tar->errorString();
        return false;
    }
    if (!checkEnd()) {
        m_damaged = true;
        return false;
    }
    return true;
}

// KTar ends its listing at the first block of zeros, and just as quietly where the data runs
// out: a compressed stream broken off, or a tar cut at an entry's boundary, lists as a shorter
// archive. So what follows the listing must be the second end block and zero padding, up to a
// clean end of the compressed stream (whose check sum is verified there).
bool ImageArchive::checkEnd()
{
    QByteArray buffer(static_cast<int>(CopyBufferSize), Qt::Uninitialized);
    qint64 zeros = 0;
    for (;;) {
        const qint64 read = m_device->read(buffer.data(), buffer.size());
        if (read < 0) {
            m_errorString = QStringLiteral("Compressed data is damaged");
            return false;
        }
        if (read == 0)
            break;
        if (std::any_of(buffer.constData(), buffer.constData() + read, [](char c) {
                return c != 0;
            })) {
            m_errorString = QStringLiteral("Data follows the end of the archive");
            return false;
        }
        zeros += read;
    }
    if (!m_device->atEnd()) {
        m_errorString = QStringLiteral("Compressed data ends early");
        return false;
    }
    if (zeros < TarBlockSize) {
        m_errorString = QStringLiteral("The archive has no end-of-archive marker");
        return false;
    }
    return true;
}

bool ImageArchive::unpack(const QString &rootDir, const QString &imagesDir)
{
    m_errorString.clear();
    m_failedEntry.clear();
    m_failedDirectory.clear();
    m_damaged = false;
    if (!m_tar || !m_tar->isOpen()) {
        m_errorString = QStringLiteral("Archive is not open");
        return false;
    }

    const KArchiveDirectory *top = m_tar->directory();
    QHash<QString, const KArchiveFile *> files;
    const QStringList names = top->entries();
    for (const QString &name : names) {
        const KArchiveEntry *entry = top->entry(name);
        if (!entry || entry->isDirectory())
            continue;
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
            name.contains(QLatin1Char('/'))) {
            qWarning() << Q_FUNC_INFO << "Skipping entry with an unusable name:" << name;
            continue;
        }
        files.insert(name, static_cast<const KArchiveFile *>(entry));
    }
    if (files.isEmpty()) {
        // Installing nothing would still schedule the device clear.
        m_errorString = QStringLiteral("The archive holds no image files");
        return false;
    }

    // The directory lists its entries in hash order; the archive's own order is also the one
    // in which the decompressing device reads forward only.
    QList<const KArchiveFile *> ordered = files.values();
    std::sort(ordered.begin(), ordered.end(), [](const KArchiveFile *a, const KArchiveFile *b) {
        return a->position() < b->position();
    });
    // The partition gets no links: every name that leads to a file's data is written from it,
    // in the one pass over that data. All links are checked before anything is written.
    std::map<qint64, QPair<const KArchiveFile *, QList<Target>>> copies;
    for (const KArchiveFile *file : qAsConst(ordered)) {
        const KArchiveFile *source = resolve(files, file);
        if (!source)
            return false;
        auto &copy = copies[source->position()];
        copy.first = source;
        copy.second.append({file->name(), isImageOfRoot(file->name()) ? rootDir : imagesDir});
    }
    for (const auto &copy : copies) {
        if (!this->copy(copy.second.first, copy.second.second))
            return false;
    }
    return true;
}

const KArchiveFile *ImageArchive::resolve(
    const QHash<QString, const KArchiveFile *> &files, const KArchiveFile *file)
{
    // A hard link's target is a path from the archive's root, a symbolic link's one from the
    // link's directory: for a top-level link both name a top-level entry the same way.
    QSet<const KArchiveFile *> seen {file};
    const KArchiveFile *current = file;
    while (!current->symLinkTarget().isEmpty()) {
        const KArchiveFile *next = files.value(topLevelName(current->symLinkTarget()));
        if (!next || seen.contains(next)) {
            m_errorString =
                QStringLiteral("Link \"%1\" to \"%2\" does not lead to a file at the top level")
                    .arg(file->name(), file->symLinkTarget());
            return nullptr;
        }
        seen.insert(next);
        current = next;
    }
    return current;
}

bool ImageArchive::copy(const KArchiveFile *source, const QList<Target> &targets)
{
    // A failure to read is the source entry's, named under its own name.
    int own = 0;
    while (own < targets.size() - 1 && targets.at(own).name != source->name())
        ++own;
    std::vector<std::unique_ptr<QFile>> outs;
    const auto fail = [&](int index, const QString &errorString) {
        m_failedEntry = targets.at(index).name;
        m_failedDirectory = targets.at(index).directory;
        m_errorString = errorString;
        for (const auto &out : outs)
            out->remove();
        return false;
    };
    for (const Target &target : targets) {
        outs.push_back(std::make_unique<QFile>(QDir(target.directory).filePath(target.name)));
        if (!outs.back()->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return fail(static_cast<int>(outs.size()) - 1, outs.back()->errorString());
    }
    if (!m_device->seek(source->position())) {
        m_damaged = true;
        return fail(own,
            QStringLiteral("Cannot seek to the entry's data: %1").arg(m_device->errorString()));
    }

    const qint64 size = source->size();
    QByteArray buffer(
        static_cast<int>(qMin(CopyBufferSize, qMax<qint64>(size, 1))), Qt::Uninitialized);
    qint64 left = size;
    while (left > 0) {
        const qint64 read = m_device->read(buffer.data(), qMin<qint64>(left, buffer.size()));
        if (read <= 0) {
            m_damaged = true;
            return fail(
                own, QStringLiteral("Archive ends %1 bytes before the end of the entry").arg(left));
        }
        for (std::size_t i = 0; i < outs.size(); ++i) {
            if (outs[i]->write(buffer.constData(), read) != read)
                return fail(static_cast<int>(i), outs[i]->errorString());
        }
        left -= read;
    }
    for (std::size_t i = 0; i < outs.size(); ++i) {
        // Space and I/O errors of delayed allocation show only when the data reaches the disk.
        if (::fdatasync(outs[i]->handle()) != 0)
            return fail(static_cast<int>(i), QString::fromLocal8Bit(std::strerror(errno)));
        outs[i]->close();
        if (outs[i]->error() != QFileDevice::NoError)
            return fail(static_cast<int>(i), outs[i]->errorString());
    }
    return true;
}

} // namespace ResetUpdates
} // namespace Corvane
