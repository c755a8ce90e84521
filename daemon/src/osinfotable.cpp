#include "osinfotable.h"

#include <QDebug>

#include <algorithm>

namespace Corvane {

bool OsInfoTable::isEmpty() const
{
    return m_infos.isEmpty();
}

MethodList OsInfoTable::methods() const
{
    return m_order;
}

OsInfo OsInfoTable::value(Enums::Method method) const
{
    return m_infos.value(method);
}

OsInfo *OsInfoTable::find(Enums::Method method)
{
    const auto it = m_infos.find(method);
    return it == m_infos.end() ? nullptr : &it.value();
}

void OsInfoTable::clear()
{
    m_infos.clear();
    m_order.clear();
}

void OsInfoTable::merge(const QHash<Enums::Method, QString> &versions)
{
    for (auto it = m_infos.begin(); it != m_infos.end();) {
        if (!versions.contains(it.key())) {
            qDebug().noquote() << Q_FUNC_INFO << "Method" << Enums::key(it.key())
                               << "is no longer available";
            m_order.removeAll(it.key());
            it = m_infos.erase(it);
        } else {
            ++it;
        }
    }
    MethodList found = versions.keys();
    std::sort(found.begin(), found.end());
    for (Enums::Method method : qAsConst(found)) {
        const QString version = versions.value(method);
        qDebug().noquote() << Q_FUNC_INFO << "Method:" << Enums::key(method)
                           << "version:" << version;
        const auto stored = m_infos.constFind(method);
        if (stored == m_infos.cend() || stored->version != version) {
            OsInfo info;
            info.version = version;
            m_infos.insert(method, info);
        }
        if (!m_order.contains(method))
            m_order.append(method);
    }
}

OsInfoCache::Records OsInfoTable::records(Enums::Method first) const
{
    MethodList order = m_order;
    if (order.removeAll(first) > 0)
        order.prepend(first);
    OsInfoCache::Records records;
    for (Enums::Method method : qAsConst(order))
        records.append({method, m_infos.value(method)});
    return records;
}

void OsInfoTable::restore(const OsInfoCache::Records &records)
{
    for (const OsInfoCache::Record &record : records) {
        m_infos.insert(record.method, record.info);
        if (!m_order.contains(record.method))
            m_order.append(record.method);
    }
}

} // namespace Corvane
