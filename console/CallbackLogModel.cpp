#include "console/CallbackLogModel.h"

#include "console/CallOutcomes.h"

#include <QSqlQuery>
#include <QStringList>

#include <algorithm>

namespace {

constexpr int kPage = 256;
// Firebird takes at most 1,500 values in one IN list.
constexpr int kIdsPerQuery = 1000;

const char* const kFields[CallbackLogModel::ColumnCount] = {"ID",   "CALL_BEGIN", "NAME",       "DEST",
                                                            "ATTEMPT_NUMBER", "LINE", "END_REASON", "SIP_STATUS",
                                                            "DESTINATION", "CALL_LENGTH"};

QString Ids(const QList<int>& ids)
{
    QStringList texts;
    for (int id : ids)
        texts << QString::number(id);
    return texts.join(QLatin1Char(','));
}

} // namespace

CallbackLogModel::CallbackLogModel(const QSqlDatabase& db, QObject* parent)
    : LogTableModel(kFields, ColumnCount, parent), db_(db) {}

int CallbackLogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }

int CallbackLogModel::idAt(int row) const { return row >= 0 && row < int(rows_.size()) ? rows_[size_t(row)].id : -1; }

QVariant CallbackLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows_.size()) || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    const Row& row = rows_[size_t(index.row())];
    const bool display = role == Qt::DisplayRole;
    switch (index.column()) {
    case Id: return row.id;
    case CallBegin: return row.callBegin;
    case Name: return row.name;
    case Number: return row.number;
    case Attempt: return row.attempt;
    case Line: return row.line;
    case Outcome: return display ? QVariant(console::CallbackOutcomeText(row.reason.toInt(), row.reason.isNull())) : row.reason;
    case SipStatus: return row.sipStatus;
    case Destination: return row.destination;
    case Length:
        return display ? QVariant(QStringLiteral("%1:%2").arg(row.length / 60).arg(row.length % 60, 2, 10, QLatin1Char('0')))
                       : QVariant(row.length);
    default: return QVariant();
    }
}

bool CallbackLogModel::read(const QString& where, int limit, std::deque<Row>& out)
{
    QSqlQuery query(db_);
    query.setForwardOnly(true);
    const QString sql =
        QStringLiteral("SELECT %1 O.ID, O.CALL_BEGIN, O.UID, U.NAME, I.DEST, O.ATTEMPT_NUMBER, O.LINE, O.END_REASON, "
                       "O.SIP_STATUS, O.DESTINATION, O.CALL_LENGTH FROM OUTGOINGLOG O "
                       "JOIN INCOMINGLOG I ON I.ID = O.CID LEFT JOIN USERS U ON U.ID = O.UID %2 ORDER BY O.ID DESC")
            .arg(limit > 0 ? QStringLiteral("FIRST %1").arg(limit) : QString(),
                 where.isEmpty() ? QString() : QStringLiteral("WHERE ") + where);
    if (!query.exec(sql)) {
        lastError_ = query.lastError();
        return false;
    }
    while (query.next()) {
        Row r;
        r.id = query.value(0).toInt();
        r.callBegin = query.value(1).toDateTime();
        r.uid = query.value(2).toInt();
        r.name = query.value(3).toString();
        r.number = query.value(4).toString();
        r.attempt = query.value(5).toInt();
        r.line = query.value(6).toString();
        r.reason = query.value(7).isNull() ? QVariant() : QVariant(query.value(7).toInt());
        r.sipStatus = query.value(8).isNull() ? QVariant() : QVariant(query.value(8).toInt());
        r.destination = query.value(9).toString();
        r.length = query.value(10).toInt();
        out.push_back(r);
    }
    lastError_ = QSqlError();
    return true;
}

bool CallbackLogModel::select()
{
    std::deque<Row> rows;
    const bool ok = read(QString(), kPage, rows);
    beginResetModel();
    rows_ = std::move(rows);
    atEnd_ = !ok || int(rows_.size()) < kPage;
    endResetModel();
    return ok;
}

void CallbackLogModel::fetchNew()
{
    std::deque<Row> fresh;
    if (!read(rows_.empty() ? QString() : QStringLiteral("O.ID > %1").arg(rows_.front().id), 0, fresh) || fresh.empty())
        return;
    beginInsertRows(QModelIndex(), 0, int(fresh.size()) - 1);
    rows_.insert(rows_.begin(), fresh.begin(), fresh.end());
    endInsertRows();
}

void CallbackLogModel::refreshOpen()
{
    QList<int> open;
    for (const Row& r : rows_)
        if (r.reason.isNull())
            open << r.id;
    for (int first = 0; first < open.size(); first += kIdsPerQuery) {
        std::deque<Row> now;
        if (!read(QStringLiteral("O.ID IN (%1)").arg(Ids(open.mid(first, kIdsPerQuery))), 0, now))
            return;
        for (const Row& r : now) {
            auto it = std::find_if(rows_.begin(), rows_.end(), [&](const Row& shown) { return shown.id == r.id; });
            if (it == rows_.end())
                continue;
            *it = r;
            const int row = int(it - rows_.begin());
            emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
        }
    }
    fetchNew(); // an update may be the first news of a row whose insert event is still to come
}

void CallbackLogModel::refreshNames()
{
    QList<int> uids;
    for (const Row& r : rows_)
        if (!uids.contains(r.uid))
            uids << r.uid;
    for (int first = 0; first < uids.size(); first += kIdsPerQuery) {
        QSqlQuery query(db_);
        if (!query.exec(QStringLiteral("SELECT ID, NAME FROM USERS WHERE ID IN (%1)").arg(Ids(uids.mid(first, kIdsPerQuery))))) {
            lastError_ = query.lastError();
            return;
        }
        QHash<int, QString> names;
        while (query.next())
            names.insert(query.value(0).toInt(), query.value(1).toString());
        for (size_t row = 0; row < rows_.size(); ++row) {
            Row& r = rows_[row];
            if (names.contains(r.uid) && names.value(r.uid) != r.name) {
                r.name = names.value(r.uid);
                emit dataChanged(index(int(row), Name), index(int(row), Name));
            }
        }
    }
}

bool CallbackLogModel::canFetchMore(const QModelIndex& parent) const { return !parent.isValid() && !atEnd_; }

void CallbackLogModel::fetchMore(const QModelIndex& parent)
{
    if (parent.isValid() || atEnd_ || rows_.empty())
        return;
    std::deque<Row> older;
    if (!read(QStringLiteral("O.ID < %1").arg(rows_.back().id), kPage, older)) {
        atEnd_ = true;
        return;
    }
    atEnd_ = int(older.size()) < kPage;
    if (older.empty())
        return;
    beginInsertRows(QModelIndex(), int(rows_.size()), int(rows_.size() + older.size()) - 1);
    rows_.insert(rows_.end(), older.begin(), older.end());
    endInsertRows();
}
