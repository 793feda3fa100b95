#include "console/LogTableModel.h"

LogTableModel::LogTableModel(const char* const* fields, int columnCount, QObject* parent)
    : QAbstractTableModel(parent), fields_(fields), columnCount_(columnCount)
{
}

int LogTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical)
        return role == Qt::DisplayRole ? QVariant(section + 1) : QVariant();
    if ((role != Qt::DisplayRole && role != Qt::EditRole) || section < 0 || section >= columnCount_)
        return QVariant();
    return headers_.contains(section) ? QVariant(headers_.value(section)) : QVariant(QString(fields_[section]));
}

bool LogTableModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role)
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount_ ||
        (role != Qt::DisplayRole && role != Qt::EditRole))
        return false;
    headers_.insert(section, value.toString());
    emit headerDataChanged(orientation, section, section);
    return true;
}
