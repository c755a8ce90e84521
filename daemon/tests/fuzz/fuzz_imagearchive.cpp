// Feeds arbitrary bytes as an image archive through the install's archive code: the bytes in a
// temporary file, opened and unpacked into two directories of a temporary directory, as the
// install does onto the mounted system partition. Besides memory faults it looks for anything
// written where the install must not write: outside the two directories, into subdirectories,
// or as anything but a regular file.
#include "fuzzinput.h"
#include "resetupdatemanager/imagearchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using Corvane::ResetUpdates::ImageArchive;

namespace {

QTemporaryDir *base;

[[noreturn]] void finding(const QString &what)
{
    std::fprintf(stderr, "%s\n", qUtf8Printable(what));
    std::abort();
}

// Nothing but the expected names directly in dir.
void expectOnly(const QString &dir, const QStringList &names)
{
    const QStringList found =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : found) {
        if (!names.contains(name))
            finding(QStringLiteral("unexpected entry %1 in %2").arg(name, dir));
    }
}

// Only regular files whose names belong in dir, and the images directory within the root one.
void expectImages(const QString &dir, bool ofRoot)
{
    const QFileInfoList found = QDir(dir).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : found) {
        if (ofRoot && info.fileName() == QLatin1String("system-images") && info.isDir() &&
            !info.isSymLink())
            continue;
        if (info.isSymLink() || !info.isFile())
            finding(QStringLiteral("%1 is not a regular file").arg(info.filePath()));
        const bool rootName = info.fileName().startsWith(QLatin1String("root.img.")) ||
            info.fileName().startsWith(QLatin1String("home.img."));
        if (rootName != ofRoot)
            finding(QStringLiteral("%1 is in the wrong directory").arg(info.filePath()));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::quiet();
    base = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/corvane-fuzz-XXXXXX"));
    if (!base->isValid())
        finding(QStringLiteral("cannot create a temporary directory"));
    // libFuzzer ends with exit(); a finding leaves the directory behind for a look.
    std::atexit([] {
        delete base;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<QByteArray> input = Fuzz::bytes(data, size);
    if (!input)
        return 0;
    const QString archive = base->filePath(QStringLiteral("image.tar"));
    const QString target = base->filePath(QStringLiteral("fimage"));
    const QString rootDir = target + QStringLiteral("/root");
    const QString imagesDir = rootDir + QStringLiteral("/system-images");
    {
        QFile file(archive);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(*input) != input->size() || !file.flush())
            finding(QStringLiteral("cannot write %1").arg(archive));
    }
    if (!QDir(imagesDir).mkpath(QStringLiteral(".")))
        finding(QStringLiteral("cannot create %1").arg(imagesDir));

    {
        ImageArchive images(archive);
        if (images.open())
            (void)images.unpack(rootDir, imagesDir);
    }

    // The images directory lies inside the root directory, as on the device.
    expectOnly(base->path(), {QStringLiteral("image.tar"), QStringLiteral("fimage")});
    expectOnly(target, {QStringLiteral("root")});
    expectImages(rootDir, true);
    expectImages(imagesDir, false);
    if (!QDir(target).removeRecursively())
        finding(QStringLiteral("cannot remove %1").arg(target));
    return 0;
}
