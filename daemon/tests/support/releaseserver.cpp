#include "releaseserver.h"

#include "fileio.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

ReleaseServer::~ReleaseServer()
{
    if (!m_address.isEmpty())
        QProcess::execute(
            script(), {QStringLiteral("stop"), QStringLiteral("--state"), m_state.path()});
}

bool ReleaseServer::start(const QStringList &options)
{
    if (!m_root.isValid() || !m_state.isValid())
        return false;
    QStringList arguments {QStringLiteral("start"), QStringLiteral("--root"), m_root.path(),
        QStringLiteral("--state"), m_state.path()};
    arguments += options;
    QProcess process;
    process.start(script(), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning() << "release-server failed:" << process.readAllStandardError();
        return false;
    }
    m_address = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    return !m_address.isEmpty();
}

void ReleaseServer::serve(const QString &path, const QByteArray &body)
{
    const QString file = QDir(m_root.path()).filePath(path + QStringLiteral("/index.json"));
    if (body.isNull()) {
        QFile::remove(file);
        return;
    }
    QDir(m_root.path()).mkpath(path);
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(body) != body.size())
        qWarning() << "cannot write" << file;
}

void ReleaseServer::clearLog()
{
    QFile(logPath()).resize(0);
}

QString ReleaseServer::url(const QString &name) const
{
    return QStringLiteral("https://%1/%2").arg(m_address, name);
}

QList<QJsonObject> ReleaseServer::requests() const
{
    return readJsonLines(logPath());
}

QStringList ReleaseServer::requestLines() const
{
    QStringList result;
    const QList<QJsonObject> entries = requests();
    for (const QJsonObject &entry : entries) {
        result.append(QStringLiteral("%1 %2 %3")
                          .arg(entry.value(QStringLiteral("method")).toString(),
                              entry.value(QStringLiteral("uri")).toString())
                          .arg(entry.value(QStringLiteral("status")).toInt()));
    }
    return result;
}

QString ReleaseServer::script()
{
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("CORVANE_SOURCE_DIR")) +
        QStringLiteral("/tools/release-server/release-server");
}

QString ReleaseServer::logPath() const
{
    return QDir(m_state.path()).filePath(QStringLiteral("access.log"));
}
