#include "enums.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QTest>

using namespace Corvane;

class TestEnums : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Enums::registerTypes(); }

    void spellingsShareOneType_data()
    {
        QTest::addColumn<QByteArrayList>("names");
        QTest::newRow("Method") << QByteArrayList {
            "Method", "Enums::Method", "Corvane::Enums::Method"};
        QTest::newRow("Status") << QByteArrayList {
            "Status", "Enums::Status", "Corvane::Enums::Status"};
        QTest::newRow("UpdateError")
            << QByteArrayList {"UpdateError", "Enums::UpdateError", "Corvane::Enums::UpdateError"};
        QTest::newRow("MethodList") << QByteArrayList {
            "MethodList", "Corvane::MethodList", "QList<Corvane::Enums::Method>"};
        QTest::newRow("versions") << QByteArrayList {
            "QHash<Enums::Method,QString>", "QHash<Corvane::Enums::Method,QString>"};
    }

    void spellingsShareOneType()
    {
        QFETCH(QByteArrayList, names);
        const int id = QMetaType::type(names.first());
        QVERIFY(id != QMetaType::UnknownType);
        for (const QByteArray &name : names)
            QCOMPARE(QMetaType::type(name), id);
    }

    void dbusSignatures_data()
    {
        QTest::addColumn<int>("typeId");
        QTest::addColumn<QString>("signature");
        QTest::newRow("Method") << qMetaTypeId<Enums::Method>() << "(i)";
        QTest::newRow("Status") << qMetaTypeId<Enums::Status>() << "(i)";
        QTest::newRow("UpdateError") << qMetaTypeId<Enums::UpdateError>() << "(i)";
        QTest::newRow("MethodList") << qMetaTypeId<MethodList>() << "a(i)";
    }

    void dbusSignatures()
    {
        QFETCH(int, typeId);
        QFETCH(QString, signature);
        QCOMPARE(QString::fromLatin1(QDBusMetaType::typeToSignature(typeId)), signature);
    }

    void keys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("status") << Enums::key(Enums::Status::Downloading) << "Downloading";
        QTest::newRow("method unknown") << Enums::key(Enums::Method::Unknown) << "Unknown";
        QTest::newRow("error") << Enums::key(Enums::UpdateError::LowBattery) << "LowBattery";
        QTest::newRow("no key") << Enums::key(static_cast<Enums::Method>(42)) << "42";
    }

    void keys()
    {
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QCOMPARE(key, expected);
    }
};

QTEST_GUILESS_MAIN(TestEnums)
#include "tst_enums.moc"
