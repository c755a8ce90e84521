#pragma once

#include <QStringList>
#include <QVariantMap>

#include <functional>

/**
 * The device's SSU configuration file, "/etc/ssu/ssu.ini" (format in README.md).
 *
 * Nothing is cached: every reader loads the file anew, so what the SSU service or a test wrote
 * a moment ago is what the next call sees. Writers change single lines and leave the rest of
 * the file (comments, order, unknown keys) as it was.
 */
class SsuConfig
{
public:
    static constexpr const char *General = "General";
    static constexpr const char *Repositories = "repositories";

    static QString filePath();
    // One line per call received by the SSU D-Bus service.
    static QString callLogPath();

    // Keys of the repository lists of one mode (release or R&D).
    static QString reposKey(bool rnd);
    static QString disabledReposKey(bool rnd);

    /**
     * Reads the file now. A missing file reads as an empty configuration; an unreadable one
     * too, with a warning.
     * @param readable receives false when the file exists but could not be read, or is null
     */
    static SsuConfig load(bool *readable = nullptr);

    /**
     * Loads the file, applies @p change and writes the result back atomically, all under a lock
     * file so that the library and the service cannot lose each other's changes.
     * @param change returns false to leave the file untouched
     * @param errorText receives the reason when the file could not be written, or is null
     * @return false when @p change refused or the file could not be written
     */
    [[nodiscard]] static bool update(
        const std::function<bool(SsuConfig &)> &change, QString *errorText = nullptr);

    // The last value of @p key in @p section; @p fallback when the key is missing.
    QString value(
        const QString &section, const QString &key, const QString &fallback = QString()) const;
    // "true", "yes", "on", "1" and "false", "no", "off", "0" in any case; else @p fallback.
    bool boolValue(const QString &section, const QString &key, bool fallback) const;
    // Comma-separated items, trimmed, empty items dropped, order kept.
    QStringList listValue(const QString &section, const QString &key) const;
    QVariantMap sectionValues(const QString &section) const;

    // Returns false, changing nothing, for a value with a line break: it would end the line.
    [[nodiscard]] bool setValue(const QString &section, const QString &key, const QString &value);
    void setListValue(const QString &section, const QString &key, const QStringList &items);

private:
    enum class LineKind { Ignored, Header, Entry };
    static LineKind parseLine(const QString &line, QString *name, QString *value);

    [[nodiscard]] bool save(QString *errorText) const;

    QStringList m_lines;
};
