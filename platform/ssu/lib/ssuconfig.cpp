#include "ssuconfig.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

namespace {

// The directory is the device's, so a fixed path is right: tests give the device a private /etc.
const char ConfigPath[] = "/etc/ssu/ssu.ini";
const char CallLogPath[] = "/etc/ssu/calls.log";

const int LockTimeoutMs = 10000;

QString unquoted(const QString &value)
{
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        return value.mid(1, value.size() - 2);
    return value;
}

// Blanks at either end would be trimmed on reading and a leading quote would be taken as
// quoting, so such values are written quoted.
QString quotedIfNeeded(const QString &value)
{
    if (value.trimmed() != value || value.startsWith(QLatin1Char('"')))
        return QLatin1Char('"') + value + QLatin1Char('"');
    return value;
}

} // namespace

QString SsuConfig::filePath()
{
    return QString::fromLatin1(ConfigPath);
}

QString SsuConfig::callLogPath()
{
    return QString::fromLatin1(CallLogPath);
}

QString SsuConfig::reposKey(bool rnd)
{
    return rnd ? QStringLiteral("rndRepos") : QStringLiteral("repos");
}

QString SsuConfig::disabledReposKey(bool rnd)
{
    return rnd ? QStringLiteral("rndDisabled") : QStringLiteral("disabled");
}

SsuConfig SsuConfig::load(bool *readable)
{
    if (readable)
        *readable = true;
    SsuConfig config;
    QFile file(filePath());
    if (!file.exists())
        return config;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read the SSU configuration" << file.fileName() << file.errorString();
        if (readable)
            *readable = false;
        return config;
    }
    config.m_lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!config.m_lines.isEmpty() && config.m_lines.constLast().isEmpty())
        config.m_lines.removeLast();
    return config;
}

bool SsuConfig::update(const std::function<bool(SsuConfig &)> &change, QString *errorText)
{
    if (!QDir().mkpath(QFileInfo(filePath()).absolutePath())) {
        if (errorText)
            *errorText = QStringLiteral("Cannot create the directory of ") + filePath();
        return false;
    }
    QLockFile lock(filePath() + QStringLiteral(".lock"));
    if (!lock.tryLock(LockTimeoutMs)) {
        if (errorText)
            *errorText = QStringLiteral("Cannot lock ") + filePath();
        return false;
    }
    bool readable = false;
    SsuConfig config = load(&readable);
    // Writing back what could not be read would wipe the file.
    if (!readable) {
        if (errorText)
            *errorText = QStringLiteral("Cannot read ") + filePath();
        return false;
    }
    if (!change(config))
        return false;
    return config.save(errorText);
}

SsuConfig::LineKind SsuConfig::parseLine(const QString &line, QString *name, QString *value)
{
    const QString text = line.trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')) || text.startsWith(QLatin1Char(';')))
        return LineKind::Ignored;
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']'))) {
        *name = text.mid(1, text.size() - 2).trimmed();
        return LineKind::Header;
    }
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals <= 0)
        return LineKind::Ignored;
    *name = text.left(equals).trimmed();
    *value = unquoted(text.mid(equals + 1).trimmed());
    return LineKind::Entry;
}

QString SsuConfig::value(const QString &section, const QString &key, const QString &fallback) const
{
    QString result = fallback;
    QString current = QString::fromLatin1(General);
    QString name;
    QString entryValue;
    for (const QString &line : m_lines) {
        switch (parseLine(line, &name, &entryValue)) {
        case LineKind::Header:
            current = name;
            break;
        case LineKind::Entry:
            if (current == section && name == key)
                result = entryValue;
            break;
        case LineKind::Ignored:
            break;
        }
    }
    return result;
}

bool SsuConfig::boolValue(const QString &section, const QString &key, bool fallback) const
{
    const QString text = value(section, key).toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") ||
        text == QLatin1String("on") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("no") ||
        text == QLatin1String("off") || text == QLatin1String("0"))
        return false;
    return fallback;
}

QStringList SsuConfig::listValue(const QString &section, const QString &key) const
{
    QStringList items;
    const QStringList parts = value(section, key).split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QString item = part.trimmed();
        if (!item.isEmpty())
            items.append(item);
    }
    return items;
}

QVariantMap SsuConfig::sectionValues(const QString &section) const
{
    QVariantMap values;
    QString current = QString::fromLatin1(General);
    QString name;
    QString entryValue;
    for (const QString &line : m_lines) {
        switch (parseLine(line, &name, &entryValue)) {
        case LineKind::Header:
            current = name;
            break;
        case LineKind::Entry:
            if (current == section)
                values.insert(name, entryValue);
            break;
        case LineKind::Ignored:
            break;
        }
    }
    return values;
}

bool SsuConfig::setValue(const QString &section, const QString &key, const QString &value)
{
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        return false;
    const QString newLine = key + QLatin1Char('=') + quotedIfNeeded(value);

    // The last entry of the key is the one readers see; without one, the new entry goes after
    // the last entry (or the header) of the section.
    int keyLine = -1;
    int anchorLine = -1;
    QString current = QString::fromLatin1(General);
    QString name;
    QString entryValue;
    for (int i = 0; i < m_lines.size(); ++i) {
        switch (parseLine(m_lines.at(i), &name, &entryValue)) {
        case LineKind::Header:
            current = name;
            if (current == section)
                anchorLine = i;
            break;
        case LineKind::Entry:
            if (current == section) {
                anchorLine = i;
                if (name == key)
                    keyLine = i;
            }
            break;
        case LineKind::Ignored:
            break;
        }
    }

    if (keyLine >= 0) {
        m_lines[keyLine] = newLine;
    } else if (anchorLine >= 0) {
        m_lines.insert(anchorLine + 1, newLine);
    } else {
        if (!m_lines.isEmpty() && !m_lines.constLast().trimmed().isEmpty())
            m_lines.append(QString());
        m_lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
        m_lines.append(newLine);
    }
    return true;
}

void SsuConfig::setListValue(const QString &section, const QString &key, const QStringList &items)
{
    // Items never hold line breaks (they come from single lines or validated names).
    const bool written = setValue(section, key, items.join(QStringLiteral(", ")));
    Q_UNUSED(written)
}

bool SsuConfig::save(QString *errorText) const
{
    QSaveFile file(filePath());
    QByteArray data = m_lines.join(QLatin1Char('\n')).toUtf8();
    if (!m_lines.isEmpty())
        data.append('\n');
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (errorText)
            *errorText = QStringLiteral("Cannot write ") + filePath() + QStringLiteral(": ") +
                file.errorString();
        return false;
    }
    return true;
}
