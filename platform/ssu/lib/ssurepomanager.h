#pragma once

#include <QObject>
#include <QStringList>

// The repositories SSU knows, one list for release mode and one for R&D mode.
class SsuRepoManager : public QObject
{
    Q_OBJECT
public:
    // Values of the filter argument of repos().
    enum Filter {
        AllRepos = 0,
        DisabledRepos = 1,
        // What the device actually installs from.
        EnabledRepos = 2
    };

    SsuRepoManager();

    /**
     * Repository names in configuration order.
     * @param rnd the R&D list instead of the release list
     * @param filter a Filter value; any other value gives an empty list
     */
    QStringList repos(bool rnd, int filter = AllRepos);
};
