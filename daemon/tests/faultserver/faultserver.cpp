#include "faultserver.h"

#include "jsonlines.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>

namespace {

QString script()
{
    return QProcessEnvironment::systemEnvironment().value(QStringLiteral("CORVANE_SOURCE_DIR")) +
        QStringLiteral("/daemon/tests/faultserver/faultserver.py");
}

} // namespace

FaultServer::~FaultServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool FaultServer::start()
{
    if (!m_root.isValid() || !m_state.isValid())
        return false;
    clearLog();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"),
        {script(), QStringLiteral("--root"), m_root.path(), QStringLiteral("--log"),
            QDir(m_state.path()).filePath(QStringLiteral("requests.log")),
            QStringLiteral("--lifetime"), QStringLiteral("900")});
    if (!m_process.waitForReadyRead(30000))
        return false;
    m_address = QString::fromUtf8(m_process.readLine()).trimmed();
    return !m_address.isEmpty();
}

QString FaultServer::url(const QString &name, const QString &faults) const
{
    if (faults.isEmpty())
        return QStringLiteral("https://%1/%2").arg(m_address, name);
    return QStringLiteral("https://%1/m/%2/%3").arg(m_address, faults, name);
}

QList<QJsonObject> FaultServer::requests() const
{
    return readJsonLines(QDir(m_state.path()).filePath(QStringLiteral("requests.log")));
}

void FaultServer::clearLog()
{
    QFile log(QDir(m_state.path()).filePath(QStringLiteral("requests.log")));
    if (log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        log.close();
}
