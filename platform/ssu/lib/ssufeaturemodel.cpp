#include "ssufeaturemodel.h"

#include "ssuconfig.h"

SsuFeatureModel::SsuFeatureModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int SsuFeatureModel::count() const
{
    return features().size();
}

int SsuFeatureModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant SsuFeatureModel::data(const QModelIndex &index, int role) const
{
    if (role != NameRole || !index.isValid() || index.column() != 0)
        return QVariant();
    const QStringList names = features();
    if (index.row() < 0 || index.row() >= names.size())
        return QVariant();
    return names.at(index.row());
}

QHash<int, QByteArray> SsuFeatureModel::roleNames() const
{
    return {{NameRole, QByteArrayLiteral("name")}};
}

QStringList SsuFeatureModel::features()
{
    return SsuConfig::load().listValue(
        QString::fromLatin1(SsuConfig::General), QStringLiteral("features"));
}
