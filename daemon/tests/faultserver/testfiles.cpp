#include "testfiles.h"

#include <QCryptographicHash>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QVector>

namespace TestFiles {

bool writeRandom(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QVector<quint32> block(256 * 1024);
    qint64 left = size;
    while (left > 0) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        const qint64 amount = qMin<qint64>(left, block.size() * sizeof(quint32));
        if (file.write(reinterpret_cast<const char *>(block.constData()), amount) != amount)
            return false;
        left -= amount;
    }
    return file.flush();
}

bool write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        file.write(data) == data.size() && file.flush();
}

bool copyPrefix(const QString &from, const QString &to, qint64 size)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    return write(to, in.read(size));
}

QString md5(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

void configure(const Ssu &ssu)
{
    QDir().mkpath(QStringLiteral("/etc/ssu"));
    QString text = QStringLiteral("[General]\nrelease = 4.0.0\nmodel = %1\ndomain = test\n"
                                  "registered = %2\nsslVerify = %3\nsslClientCertAuth = %4\n")
                       .arg(ssu.model, ssu.registered ? "true" : "false",
                           ssu.sslVerify ? "true" : "false", ssu.clientCertAuth ? "true" : "false");
    if (!ssu.features.isEmpty())
        text += QStringLiteral("features = %1\n").arg(ssu.features);
    if (!ssu.clientCert.isEmpty())
        text += QStringLiteral("sslClientCert = %1\nsslClientKey = %2\n")
                    .arg(ssu.clientCert, ssu.clientKey);
    text += QStringLiteral("[domain-test]\nreleaseDomain = %1\n").arg(ssu.releaseDomain);
    text += QStringLiteral("[credentials-default]\nusername = \"%1\"\npassword = \"%2\"\n")
                .arg(ssu.username, ssu.password);
    QFile file(QStringLiteral("/etc/ssu/ssu.ini"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
}

QString run(const QString &program, const QStringList &arguments, int *exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

static QDBusMessage dsmeMock(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.nokia.dsme"),
        QStringLiteral("/com/nokia/dsme/request"), QStringLiteral("org.freedesktop.DBus.Mock"),
        method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 15000);
}

int rebootRequests()
{
    const QDBusMessage reply =
        dsmeMock(QStringLiteral("GetMethodCalls"), {QStringLiteral("req_reboot")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    const QDBusArgument calls = reply.arguments().first().value<QDBusArgument>();
    int count = 0;
    calls.beginArray();
    while (!calls.atEnd()) {
        qulonglong time;
        QVariantList arguments;
        calls.beginStructure();
        calls >> time >> arguments;
        calls.endStructure();
        ++count;
    }
    calls.endArray();
    return count;
}

void clearRebootRequests()
{
    dsmeMock(QStringLiteral("ClearCalls"));
}

} // namespace TestFiles
