#pragma once

#include <QList>
#include <QPointer>

#include <functional>

namespace Corvane {
namespace PackageUpdates {

/**
 * Lets one holder at a time change the SSU release and PackageKit's repositories.
 *
 * A wrapper records the release and the repository states it finds as the ones to go back to;
 * were two to overlap, the later one would record what the earlier one had switched and put
 * the device back onto the target release. The gate is process-wide, so that a wrapper still
 * restoring for a released update manager also holds off the next manager's.
 */
class RepositoryGate
{
public:
    // Runs proceed from the event loop once every earlier holder has left, as soon as possible
    // when the gate is free. A holder destroyed before or while it holds the gate leaves it.
    static void enter(QObject *holder, std::function<void()> proceed);
    // Lets the next holder in; a holder still waiting gives up its turn.
    static void leave(QObject *holder);
    // True when nobody holds or waits for the gate.
    static bool isIdle();

private:
    struct Waiter
    {
        QPointer<QObject> holder;
        std::function<void()> proceed;
    };

    static void admitNext();

    static QObject *s_holder;
    static QList<Waiter> s_waiting;
};

} // namespace PackageUpdates
} // namespace Corvane
