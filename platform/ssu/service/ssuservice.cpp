#include "ssuservice.h"

#include "ssu.h"
#include "ssuconfig.h"

#include <QDBusError>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char InvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
const char Failed[] = "org.freedesktop.DBus.Error.Failed";

// One call, one line, one word per argument, whatever the caller sent; an empty argument
// stays visible.
QString logForm(const QString &argument)
{
    if (argument.isEmpty())
        return QStringLiteral("\"\"");
    QString text;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\'))
            text += QStringLiteral("\\\\");
        else if (c.unicode() <= 0x20 || c.unicode() == 0x7f)
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}

// Names and releases become list items and single INI values: no separators, no blanks.
bool isPlainName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c == QLatin1Char(','))
            return false;
    }
    return true;
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

SsuService::SsuService(QObject *parent)
    : QObject(parent)
{
}

void SsuService::setRelease(const QString &release, bool rnd)
{
    logCall(QStringLiteral("setRelease ") + logForm(release) + QLatin1Char(' ') + boolText(rnd));
    if (!isPlainName(release)) {
        fail(QString::fromLatin1(InvalidArgs), QStringLiteral("Invalid release name"));
        return;
    }
    const QString key = rnd ? QStringLiteral("rndRelease") : QStringLiteral("release");
    QString errorText;
    const bool written = SsuConfig::update(
        [&](SsuConfig &config) {
            return config.setValue(QString::fromLatin1(SsuConfig::General), key, release);
        },
        &errorText);
    if (!written)
        fail(QString::fromLatin1(Failed), errorText);
}

void SsuService::modifyRepo(int action, const QString &repo)
{
    logCall(QStringLiteral("modifyRepo %1 %2").arg(QString::number(action), logForm(repo)));
    if (action < RemoveRepo || action > EnableRepo) {
        fail(QString::fromLatin1(InvalidArgs),
            QStringLiteral("Unknown repository action %1").arg(action));
        return;
    }
    if (!isPlainName(repo)) {
        fail(QString::fromLatin1(InvalidArgs), QStringLiteral("Invalid repository name"));
        return;
    }

    const bool rnd = Ssu().deviceMode().testFlag(Ssu::RndMode);
    const QString section = QString::fromLatin1(SsuConfig::Repositories);
    bool unknownRepo = false;
    QString errorText;
    const bool written = SsuConfig::update(
        [&](SsuConfig &config) {
            QStringList known = config.listValue(section, SsuConfig::reposKey(rnd));
            QStringList disabled = config.listValue(section, SsuConfig::disabledReposKey(rnd));
            switch (action) {
            case RemoveRepo:
                known.removeAll(repo);
                disabled.removeAll(repo);
                break;
            case AddRepo:
                // A new repository starts enabled; adding a known one changes nothing.
                if (known.contains(repo))
                    return false;
                known.append(repo);
                disabled.removeAll(repo);
                break;
            case DisableRepo:
            case EnableRepo:
                if (!known.contains(repo)) {
                    unknownRepo = true;
                    return false;
                }
                disabled.removeAll(repo);
                if (action == DisableRepo)
                    disabled.append(repo);
                break;
            }
            config.setListValue(section, SsuConfig::reposKey(rnd), known);
            config.setListValue(section, SsuConfig::disabledReposKey(rnd), disabled);
            return true;
        },
        &errorText);

    if (unknownRepo)
        fail(QString::fromLatin1(InvalidArgs), QStringLiteral("Unknown repository ") + repo);
    else if (!written && !errorText.isEmpty())
        fail(QString::fromLatin1(Failed), errorText);
}

void SsuService::updateRepos()
{
    logCall(QStringLiteral("updateRepos"));
    const QString section = QString::fromLatin1(SsuConfig::Repositories);
    const QString key = QStringLiteral("updateCount");
    QString errorText;
    const bool written = SsuConfig::update(
        [&](SsuConfig &config) {
            const int count = config.value(section, key).toInt();
            return config.setValue(section, key, QString::number(count + 1));
        },
        &errorText);
    if (!written)
        fail(QString::fromLatin1(Failed), errorText);
}

void SsuService::logCall(const QString &line)
{
    QFile log(SsuConfig::callLogPath());
    const QByteArray data = line.toUtf8() + '\n';
    if (!QDir().mkpath(QFileInfo(log.fileName()).absolutePath()) ||
        !log.open(QIODevice::WriteOnly | QIODevice::Append) || log.write(data) != data.size() ||
        !log.flush())
        qWarning() << "Cannot append to the call log" << log.fileName() << log.errorString();
}

void SsuService::fail(const QString &errorName, const QString &message)
{
    qWarning().noquote() << message;
    if (calledFromDBus())
        sendErrorReply(errorName, message);
}
