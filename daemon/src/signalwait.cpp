#include "signalwait.h"

void SignalWait::sleep()
{
    // The state, not the loop, remembers an end that came before the wait.
    if (m_state == 1)
        m_loop.exec();
}

void SignalWait::finished()
{
    m_state = 0;
    m_loop.exit(0);
}
