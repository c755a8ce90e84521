#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace Corvane {
namespace ResetUpdates {

/**
 * The site headers of "/etc/ssu/headers.json": a JSON array of entries, each with
 * "matchCriteria" ("contains" or "regexp"), "matchValue" (a substring or a pattern, matched
 * against the whole URL text) and "headers" (an object of header name to string value).
 * The file comes from outside the daemon: any bytes are accepted, and broken entries are logged
 * and skipped.
 */
class HeaderPolicy
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    /**
     * The headers the file's content gives a request for url (its display form), in the order
     * they are to be set: a later one replaces an earlier one of the same name. Names and values
     * that would break the request's framing are left out.
     */
    static Headers headersFor(const QString &url, const QByteArray &content);
};

} // namespace ResetUpdates
} // namespace Corvane
