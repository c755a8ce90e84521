#include "testfiles.h"

#include "busclient.h"

namespace TestFiles {

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
