// What the console's log models share: a fixed set of columns, each headed by its database field's
// name until the window gives it a title.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QString>

class LogTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role = Qt::EditRole) override;

protected:
    // fields: the column count's names, which outlive the model.
    LogTableModel(const char* const* fields, int columnCount, QObject* parent);

private:
    const char* const* fields_;
    int columnCount_;
    QHash<int, QString> headers_;
};
