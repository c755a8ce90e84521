#pragma once

#include <QAbstractListModel>
#include <QStringList>

/**
 * The enabled SSU features, one row each, in configuration order. The list is read from the
 * configuration on every call, so rows may change between calls without model signals.
 */
class SsuFeatureModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles { NameRole = Qt::UserRole };

    explicit SsuFeatureModel(QObject *parent = nullptr);

    int count() const;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    // NameRole gives the feature's name as a string; other roles and rows give nothing.
    QVariant data(const QModelIndex &index, int role = NameRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    static QStringList features();
};
