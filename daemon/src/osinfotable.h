#pragma once

#include "enums.h"
#include "osinfo.h"
#include "osinfocache.h"

#include <QHash>

namespace Corvane {

/**
 * The update information per method, with the order in which the methods became known. The
 * order is what supportedMethods lists and what a restart selects from; the hash alone changes
 * it from one process to the next.
 */
class OsInfoTable
{
public:
    bool isEmpty() const;
    MethodList methods() const;
    // The record of method, or a default one when there is none.
    OsInfo value(Enums::Method method) const;
    // The stored record of method, or nullptr when there is none.
    OsInfo *find(Enums::Method method);
    void clear();

    /**
     * Takes a check's result, method to version: methods it lacks are dropped, new ones join in
     * the order of their numbers, and a record whose version changed starts afresh. A record
     * whose version stayed keeps its sizes, download flags and lastChecked.
     */
    void merge(const QHash<Enums::Method, QString> &versions);

    // The records for the cache file, first's leading: the next start selects the first one.
    OsInfoCache::Records records(Enums::Method first) const;
    void restore(const OsInfoCache::Records &records);

private:
    QHash<Enums::Method, OsInfo> m_infos;
    MethodList m_order;
};

} // namespace Corvane
