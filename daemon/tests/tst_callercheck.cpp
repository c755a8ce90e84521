// Who may change the update state, and which questions the decision asks on the way: the
// policy and the group membership are asked only when the decision reaches them.
#include "callercheck.h"

#include <QTest>

using Corvane::CallerCheck;
using Verdict = CallerCheck::Verdict;

Q_DECLARE_METATYPE(Verdict)

class TestCallerCheck : public QObject
{
    Q_OBJECT

private slots:
    void judge_data()
    {
        QTest::addColumn<QString>("owner");
        QTest::addColumn<QString>("group");
        QTest::addColumn<bool>("policy");
        QTest::addColumn<bool>("systemUser");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<QString>("asked"); // p: the policy, s: the membership

        const auto row = [](const char *name, const char *owner, const char *group, bool policy,
                             bool systemUser, Verdict verdict, const char *asked) {
            QTest::newRow(name) << QString(owner) << QString(group) << policy << systemUser
                                << verdict << QString(asked);
        };
        row("root, updates off", "root", "root", false, false, Verdict::Allowed, "");
        row("device management, updates off", "zovoveva-mdm", "zovoveva-mdm", false, false,
            Verdict::Allowed, "");
        row("system user", "alice", "privileged", true, true, Verdict::Allowed, "ps");
        row("system user, updates off", "alice", "privileged", false, true, Verdict::DisabledByMdm,
            "p");
        row("outside the privileged group", "carol", "users", true, true,
            Verdict::NotPrivilegedGroup, "p");
        row("privileged, not a system user", "bob", "privileged", true, false,
            Verdict::NotSystemUser, "ps");
        // Names are compared exactly.
        row("owner named like root", "Root", "privileged", true, true, Verdict::Allowed, "ps");
        row("group named like privileged", "alice", "Privileged", true, true,
            Verdict::NotPrivilegedGroup, "p");
        row("unknown owner (process gone)", "", "", true, true, Verdict::NotPrivilegedGroup, "p");
    }

    void judge()
    {
        QFETCH(QString, owner);
        QFETCH(QString, group);
        QFETCH(bool, policy);
        QFETCH(bool, systemUser);
        QFETCH(Verdict, verdict);
        QFETCH(QString, asked);

        QString questions;
        const Verdict result = CallerCheck::judge(
            owner, group,
            [&] {
                questions += 'p';
                return policy;
            },
            [&] {
                questions += 's';
                return systemUser;
            });
        QCOMPARE(result, verdict);
        QCOMPARE(questions, asked);
    }
};

QTEST_GUILESS_MAIN(TestCallerCheck)
#include "tst_callercheck.moc"
