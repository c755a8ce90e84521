#pragma once

#include <QDBusContext>
#include <QObject>

/**
 * The object "/org/nemo/ssu" of the SSU service: changes the device's SSU configuration on
 * request and appends every call it receives to the call log, so that tests can check what
 * was asked and in which order. Refused calls get a D-Bus error reply and change nothing.
 */
class SsuService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.nemo.ssu")
public:
    // SSU's repository action codes, the first argument of modifyRepo.
    enum RepoAction { RemoveRepo = 0, AddRepo = 1, DisableRepo = 2, EnableRepo = 3 };

    explicit SsuService(QObject *parent = nullptr);

public slots:
    void setRelease(const QString &release, bool rnd);
    // Acts on the release or the R&D list, whichever the current device mode uses.
    void modifyRepo(int action, const QString &repo);
    // Stands for regenerating the repository files: counts the calls in the configuration.
    void updateRepos();

private:
    void logCall(const QString &line);
    void fail(const QString &errorName, const QString &message);
};
