#include "ssurepomanager.h"

#include "ssuconfig.h"

#include <QDebug>

SsuRepoManager::SsuRepoManager()
    : QObject(nullptr)
{
}

QStringList SsuRepoManager::repos(bool rnd, int filter)
{
    const SsuConfig config = SsuConfig::load();
    const QString section = QString::fromLatin1(SsuConfig::Repositories);
    QStringList known = config.listValue(section, SsuConfig::reposKey(rnd));
    known.removeDuplicates();
    const QStringList disabled = config.listValue(section, SsuConfig::disabledReposKey(rnd));

    switch (filter) {
    case AllRepos:
        return known;
    case DisabledRepos:
    case EnabledRepos: {
        QStringList result;
        for (const QString &repo : qAsConst(known)) {
            if (disabled.contains(repo) == (filter == DisabledRepos))
                result.append(repo);
        }
        return result;
    }
    default:
        qWarning() << "Unknown repository filter" << filter;
        return QStringList();
    }
}
