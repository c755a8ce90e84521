#include "corvanectl.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvanectl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANECTL_VERSION));

    CorvaneCtl ctl;
    return static_cast<int>(ctl.run(QCoreApplication::arguments()));
}
