#include "testfiles.h"

#include "busclient.h"
#include "fileio.h"

#include <QDir>

namespace TestFiles {

void configure(const Ssu &ssu)
{
    const auto flag = [](bool value) {
        return QLatin1String(value ? "true" : "false");
    };
    QString text =
        QStringLiteral("[General]\nrelease = 4.0.0\nmodel = %1\ndomain = test\n"
                       "registered = %2\nsslVerify = %3\nsslClientCertAuth = %4\n")
            .arg(ssu.model, flag(ssu.registered), flag(ssu.sslVerify), flag(ssu.clientCertAuth));
    if (!ssu.features.isEmpty())
        text += QStringLiteral("features = %1\n").arg(ssu.features);
    if (!ssu.clientCert.isEmpty())
        text += QStringLiteral("sslClientCert = %1\nsslClientKey = %2\n")
                    .arg(ssu.clientCert, ssu.clientKey);
    text += QStringLiteral("[domain-test]\nreleaseDomain = %1\n").arg(ssu.releaseDomain);
    text += QStringLiteral("[credentials-default]\nusername = \"%1\"\npassword = \"%2\"\n")
                .arg(ssu.username, ssu.password);
    QDir().mkpath(QStringLiteral("/etc/ssu"));
    writeFile(QStringLiteral("/etc/ssu/ssu.ini"), text.toUtf8());
}

// Asks the DSME stand-in's mock interface, with gdbus as any client would.
static ToolResult dsmeMock(const QStringList &call)
{
    return BusClient::run(QStringLiteral("gdbus"),
        QStringList {"call", "--system", "--dest", "com.nokia.dsme", "--object-path",
            "/com/nokia/dsme/request", "--method", "org.freedesktop.DBus.Mock." + call.first()} +
            call.mid(1));
}

int rebootRequests()
{
    // One "(uint64 TIME, @av [])" per call.
    const ToolResult calls =
        dsmeMock({QStringLiteral("GetMethodCalls"), QStringLiteral("req_reboot")});
    return calls.exitCode == 0 ? calls.out.count(QStringLiteral("uint64")) : -1;
}

void clearRebootRequests()
{
    dsmeMock({QStringLiteral("ClearCalls")});
}

} // namespace TestFiles
