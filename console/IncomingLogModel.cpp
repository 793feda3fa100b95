#include "console/IncomingLogModel.h"

#include "console/CallOutcomes.h"

#include <QDebug>
#include <QSqlQuery>

#include <algorithm>

namespace {

constexpr int kPage = 256;
// An ID still missing after this long belongs to an insert that was rolled back, not one in flight; and
// no more than this many are asked for.
constexpr qint64 kGapGiveUpMs = 60000;
constexpr size_t kMaxGaps = 500;
// Firebird takes at most 1,500 values in one IN list.
constexpr int kNamesPerQuery = 1000;

const char* const kFields[IncomingLogModel::ColumnCount] = {"ID", "CALL_BEGIN", "CALLERID", "NAME", "RESULT", "DEST"};
const char* const kExpressions[IncomingLogModel::ColumnCount] = {
    "INCOMINGLOG.ID",       "INCOMINGLOG.CALL_BEGIN", "INCOMINGLOG.CALLERID",
    "USERS.NAME",           "INCOMINGLOG.RESULT",     "INCOMINGLOG.DEST"};

template <class T>
int Compare(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

IncomingLogModel::IncomingLogModel(const QSqlDatabase& db, QObject* parent)
    : LogTableModel(kFields, ColumnCount, parent), db_(db)
{
    clock_.start();
}

int IncomingLogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }

QVariant IncomingLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows_.size()) || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    const Row& row = rows_[size_t(index.row())];
    switch (index.column()) {
    case Id: return row.id;
    case CallBegin: return row.callBegin;
    case CallerId: return row.callerId;
    case Name: return row.name;
    case Result: return role == Qt::DisplayRole ? QVariant(console::IncomingResultText(row.result)) : QVariant(row.result);
    case Dest: return row.dest;
    default: return QVariant();
    }
}

int IncomingLogModel::idAt(int row) const { return row >= 0 && row < int(rows_.size()) ? rows_[size_t(row)].id : -1; }

int IncomingLogModel::rowOfId(int id) const
{
    for (size_t row = 0; row < rows_.size(); ++row)
        if (rows_[row].id == id)
            return int(row);
    return -1;
}

QString IncomingLogModel::orderBy() const
{
    const char* direction = sortOrder_ == Qt::DescendingOrder ? " DESC" : " ASC";
    QString order = QString(kExpressions[sortColumn_]) + direction;
    if (sortColumn_ != Id)
        order += QString(", INCOMINGLOG.ID") + direction;
    return order;
}

// The rows strictly after the key in the current order (after), or up to and including it (!after);
// the key's placeholders are :k and :kid.
QString IncomingLogModel::afterCondition(bool after) const
{
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    const QString op = (descending == after) ? "<" : ">";
    const QString idOp = after ? op : op + "=";
    if (sortColumn_ == Id)
        return "INCOMINGLOG.ID " + idOp + " :kid";
    const QString column = kExpressions[sortColumn_];
    return "(" + column + " " + op + " :k OR (" + column + " = :k2 AND INCOMINGLOG.ID " + idOp + " :kid))";
}

QVariantMap IncomingLogModel::keyOf(const Row& row) const
{
    QVariantMap binds{{":kid", row.id}};
    if (sortColumn_ == Id)
        return binds;
    QVariant key;
    switch (sortColumn_) {
    case CallBegin: key = row.callBegin; break;
    case CallerId: key = row.callerId; break;
    case Name: key = row.name; break;
    case Result: key = row.result; break;
    default: key = row.dest; break;
    }
    binds.insert(":k", key);
    binds.insert(":k2", key);
    return binds;
}

bool IncomingLogModel::before(const Row& a, const Row& b) const
{
    int c = 0;
    switch (sortColumn_) {
    case CallBegin: c = Compare(a.callBegin, b.callBegin); break;
    case CallerId: c = a.callerId.compare(b.callerId); break;
    case Name: c = a.name.compare(b.name); break;
    case Result: c = Compare(a.result, b.result); break;
    case Dest: c = a.dest.compare(b.dest); break;
    default: break;
    }
    if (c == 0)
        c = Compare(a.id, b.id);
    return sortOrder_ == Qt::DescendingOrder ? c > 0 : c < 0;
}

bool IncomingLogModel::sameKey(const Row& a, const Row& b) const { return !before(a, b) && !before(b, a); }

bool IncomingLogModel::read(const QString& where, const QVariantMap& binds, int limit, bool everyRow,
                            std::vector<Fetched>& out)
{
    QString sql = "SELECT INCOMINGLOG.ID, INCOMINGLOG.CALL_BEGIN, INCOMINGLOG.CALLERID, INCOMINGLOG.UID, USERS.NAME, "
                  "INCOMINGLOG.RESULT, INCOMINGLOG.DEST";
    // New rows come with those the view does not list, so the caller learns every ID that committed.
    if (everyRow)
        sql += filter_.isEmpty() ? QString(", 1") : ", CASE WHEN (" + filter_ + ") THEN 1 ELSE 0 END";
    sql += everyRow ? " FROM INCOMINGLOG LEFT JOIN USERS ON USERS.ID = INCOMINGLOG.UID"
                    : " FROM INCOMINGLOG JOIN USERS ON USERS.ID = INCOMINGLOG.UID";
    QStringList conditions;
    if (!where.isEmpty())
        conditions << where;
    if (!everyRow && !filter_.isEmpty())
        conditions << "(" + filter_ + ")";
    if (!conditions.isEmpty())
        sql += " WHERE " + conditions.join(" AND ");
    sql += " ORDER BY " + (everyRow ? QString("INCOMINGLOG.ID") : orderBy());
    if (limit > 0)
        sql += " ROWS " + QString::number(limit);

    QSqlQuery query(db_);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        lastError_ = query.lastError();
        qDebug().noquote() << "Can't prepare the incoming log query:" << lastError_.text();
        return false;
    }
    for (auto bind = binds.constBegin(); bind != binds.constEnd(); ++bind)
        query.bindValue(bind.key(), bind.value());
    if (!query.exec()) {
        lastError_ = query.lastError();
        qDebug().noquote() << "Can't read the incoming log:" << lastError_.text();
        return false;
    }
    while (query.next()) {
        Fetched f;
        f.row.id = query.value(0).toInt();
        f.row.callBegin = query.value(1).toDateTime();
        f.row.callerId = query.value(2).toString();
        f.row.uid = query.value(3).toInt();
        f.row.name = query.value(4).toString();
        f.row.result = query.value(5).toInt();
        f.row.dest = query.value(6).toString();
        f.shown = !everyRow || (!query.isNull(4) && query.value(7).toInt() == 1);
        out.push_back(std::move(f));
    }
    lastError_ = QSqlError();
    return true;
}

void IncomingLogModel::seen(int id)
{
    if (id <= newest_) {
        gaps_.erase(id);
        return;
    }
    const qint64 now = clock_.elapsed();
    for (int missing = std::max(newest_ + 1, id - int(kMaxGaps)); missing < id; ++missing)
        gaps_.emplace(missing, now);
    newest_ = id;
}

void IncomingLogModel::forgetOldGaps()
{
    const qint64 now = clock_.elapsed();
    for (auto gap = gaps_.begin(); gap != gaps_.end();)
        gap = now - gap->second > kGapGiveUpMs ? gaps_.erase(gap) : std::next(gap);
    while (gaps_.size() > kMaxGaps)
        gaps_.erase(gaps_.begin());
}

bool IncomingLogModel::select()
{
    beginResetModel();
    rows_.clear();
    loaded_.clear();
    gaps_.clear();
    atEnd_ = true;
    bool ok = false;
    // The mark first: a call committed while the page is read is then fetched again, not lost.
    QSqlQuery max(db_);
    if (max.exec("SELECT MAX(ID) FROM INCOMINGLOG") && max.next()) {
        newest_ = max.value(0).toInt();
        max.finish();
        std::vector<Fetched> page;
        ok = read(QString(), QVariantMap(), kPage, false, page);
        for (Fetched& f : page) {
            loaded_.insert(f.row.id);
            rows_.push_back(std::move(f.row));
        }
        atEnd_ = !ok || int(page.size()) < kPage;
    } else {
        lastError_ = max.lastError();
        qDebug().noquote() << "Can't read the incoming log:" << lastError_.text();
    }
    endResetModel();
    return ok;
}

bool IncomingLogModel::canFetchMore(const QModelIndex& parent) const { return !parent.isValid() && !atEnd_; }

void IncomingLogModel::fetchMore(const QModelIndex& parent)
{
    if (parent.isValid() || atEnd_ || rows_.empty())
        return;
    std::vector<Fetched> page;
    if (!read(afterCondition(true), keyOf(rows_.back()), kPage, false, page)) {
        atEnd_ = true;
        return;
    }
    atEnd_ = int(page.size()) < kPage;
    page.erase(std::remove_if(page.begin(), page.end(), [this](const Fetched& f) { return loaded_.contains(f.row.id); }),
               page.end());
    if (page.empty())
        return;
    beginInsertRows(QModelIndex(), int(rows_.size()), int(rows_.size() + page.size()) - 1);
    for (Fetched& f : page) {
        loaded_.insert(f.row.id);
        rows_.push_back(std::move(f.row));
    }
    endInsertRows();
}

void IncomingLogModel::insertAt(size_t position, const Row& row)
{
    beginInsertRows(QModelIndex(), int(position), int(position));
    rows_.insert(rows_.begin() + std::ptrdiff_t(position), row);
    loaded_.insert(row.id);
    endInsertRows();
}

void IncomingLogModel::fetchNew()
{
    forgetOldGaps();
    QString where = "INCOMINGLOG.ID > :kid";
    if (!gaps_.empty()) {
        QStringList ids;
        for (const auto& gap : gaps_)
            ids << QString::number(gap.first);
        where = "(" + where + " OR INCOMINGLOG.ID IN (" + ids.join(',') + "))";
    }
    std::vector<Fetched> fresh;
    if (!read(where, {{":kid", newest_}}, 0, true, fresh))
        return;
    for (const Fetched& f : fresh) {
        seen(f.row.id);
        if (!f.shown || loaded_.contains(f.row.id))
            continue;
        const auto at = std::lower_bound(rows_.begin(), rows_.end(), f.row,
                                         [this](const Row& a, const Row& b) { return before(a, b); });
        // Past the last row read, it comes with the next page.
        if (at == rows_.end() && !atEnd_)
            continue;
        insertAt(size_t(at - rows_.begin()), f.row);
    }
}

void IncomingLogModel::refresh()
{
    if (rows_.empty()) {
        fetchNew();
        return;
    }
    std::vector<Fetched> fetched;
    if (!read(afterCondition(false), keyOf(rows_.back()), 0, false, fetched))
        return;
    QHash<int, const Row*> fresh;
    for (const Fetched& f : fetched)
        fresh.insert(f.row.id, &f.row); // newer ones it adds are skipped by fetchNew: they are loaded

    // Rows gone, or moved by a changed sort key, leave first, so the rest is a subsequence of fresh.
    auto keep = [&](const Row& row) {
        const Row* now = fresh.value(row.id);
        return now && sameKey(*now, row);
    };
    for (int last = int(rows_.size()) - 1; last >= 0;) {
        if (keep(rows_[size_t(last)])) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !keep(rows_[size_t(first - 1)]))
            --first;
        beginRemoveRows(QModelIndex(), first, last);
        for (int row = first; row <= last; ++row)
            loaded_.remove(rows_[size_t(row)].id);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        endRemoveRows();
        last = first - 1;
    }

    size_t at = 0;
    for (const Fetched& f : fetched) {
        if (at < rows_.size() && rows_[at].id == f.row.id) {
            Row& row = rows_[at];
            if (row.callBegin != f.row.callBegin || row.callerId != f.row.callerId || row.uid != f.row.uid ||
                row.name != f.row.name || row.result != f.row.result || row.dest != f.row.dest) {
                row = f.row;
                emit dataChanged(index(int(at), 0), index(int(at), ColumnCount - 1));
            }
        } else {
            insertAt(at, f.row);
        }
        ++at;
    }
}

void IncomingLogModel::refreshNames()
{
    if (sortColumn_ == Name) { // a new name can move the row
        refresh();
        return;
    }
    QSet<int> uids;
    for (const Row& row : rows_)
        uids.insert(row.uid);
    const QList<int> all = uids.values();
    QHash<int, QString> names;
    for (qsizetype from = 0; from < all.size(); from += kNamesPerQuery) {
        QStringList ids;
        for (qsizetype i = from; i < std::min(all.size(), from + kNamesPerQuery); ++i)
            ids << QString::number(all[i]);
        QSqlQuery query(db_);
        query.setForwardOnly(true);
        if (!query.exec("SELECT ID, NAME FROM USERS WHERE ID IN (" + ids.join(',') + ")")) {
            lastError_ = query.lastError();
            qDebug().noquote() << "Can't read the subscribers' names:" << lastError_.text();
            return;
        }
        while (query.next())
            names.insert(query.value(0).toInt(), query.value(1).toString());
    }
    for (size_t row = 0; row < rows_.size(); ++row) {
        auto name = names.constFind(rows_[row].uid);
        if (name != names.constEnd() && *name != rows_[row].name) {
            rows_[row].name = *name;
            emit dataChanged(index(int(row), Name), index(int(row), Name));
        }
    }
}

void IncomingLogModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount)
        return;
    if (column == sortColumn_ && order == sortOrder_)
        return;
    sortColumn_ = column;
    sortOrder_ = order;
    select();
}
