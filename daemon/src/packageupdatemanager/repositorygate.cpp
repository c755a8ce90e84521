#include "repositorygate.h"

#include <QMetaObject>
#include <QObject>

namespace Corvane {
namespace PackageUpdates {

QObject *RepositoryGate::s_holder = nullptr;
QList<RepositoryGate::Waiter> RepositoryGate::s_waiting;

void RepositoryGate::enter(QObject *holder, std::function<void()> proceed)
{
    QObject::connect(holder, &QObject::destroyed, [holder] {
        leave(holder);
    });
    s_waiting.append({holder, std::move(proceed)});
    if (!s_holder)
        admitNext();
}

void RepositoryGate::leave(QObject *holder)
{
    for (int i = s_waiting.size() - 1; i >= 0; --i) {
        if (s_waiting.at(i).holder == holder || s_waiting.at(i).holder.isNull())
            s_waiting.removeAt(i);
    }
    if (s_holder != holder)
        return;
    s_holder = nullptr;
    admitNext();
}

bool RepositoryGate::isIdle()
{
    return !s_holder && s_waiting.isEmpty();
}

void RepositoryGate::admitNext()
{
    while (!s_waiting.isEmpty()) {
        const Waiter next = s_waiting.takeFirst();
        if (next.holder.isNull())
            continue;
        s_holder = next.holder;
        // Queued: the previous holder is usually still inside its own signal emission.
        QMetaObject::invokeMethod(next.holder, next.proceed, Qt::QueuedConnection);
        return;
    }
}

} // namespace PackageUpdates
} // namespace Corvane
