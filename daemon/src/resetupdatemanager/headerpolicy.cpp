#include "headerpolicy.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cstring>

namespace Corvane {
namespace ResetUpdates {

namespace {

// A header name must be an HTTP token and a value must not break the request's framing;
// anything else would corrupt the request or smuggle in other headers. Checked byte by byte: a
// pattern's "$" also matches before a final newline, and QString::fromLatin1(QByteArray) stops
// at the first NUL, so either would let "X-A\n" or "X-A\0..." through.
bool isValidHeader(const QByteArray &name, const QByteArray &value)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const bool alphanumeric =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && (c == '\0' || !std::strchr("!#$%&'*+-.^_`|~", c)))
            return false;
    }
    return !value.contains('\r') && !value.contains('\n') && !value.contains('\0');
}

} // namespace

HeaderPolicy::Headers HeaderPolicy::headersFor(const QString &url, const QByteArray &content)
{
    Headers result;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qDebug()
            << Q_FUNC_INFO
            << QStringLiteral("invalid headers.json (%1), ignoring").arg(parseError.errorString());
        return result;
    }

    const QJsonArray entries = document.array();
    for (const QJsonValue &element : entries) {
        const QJsonObject entry = element.toObject();
        const QString criteria = entry.value(QStringLiteral("matchCriteria")).toString();
        const QString value = entry.value(QStringLiteral("matchValue")).toString();
        if (criteria.isEmpty()) {
            qDebug() << Q_FUNC_INFO << "got empty matchCriteria in headers.json, ignoring";
            continue;
        }
        if (value.isEmpty()) {
            qDebug() << Q_FUNC_INFO << "got empty matchValue in headers.json, ignoring";
            continue;
        }
        bool matches = false;
        if (criteria == QLatin1String("contains")) {
            matches = url.contains(value);
        } else if (criteria == QLatin1String("regexp")) {
            // An invalid pattern matches nothing.
            const QRegularExpression pattern(value);
            matches = pattern.isValid() && pattern.match(url).hasMatch();
        } else {
            qDebug() << Q_FUNC_INFO
                     << QStringLiteral("got unknown matchCriteria (%1) in headers.json, ignoring")
                            .arg(criteria);
            continue;
        }
        if (!matches)
            continue;
        const QJsonObject headers = entry.value(QStringLiteral("headers")).toObject();
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
            const QByteArray name = it.key().toLatin1();
            const QByteArray headerValue = it.value().toString().toLocal8Bit();
            if (!isValidHeader(name, headerValue)) {
                qDebug() << Q_FUNC_INFO << "got invalid header in headers.json, ignoring:" << name;
                continue;
            }
            result.append({name, headerValue});
        }
    }
    return result;
}

} // namespace ResetUpdates
} // namespace Corvane
