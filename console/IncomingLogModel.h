// The incoming-call log of the main window: INCOMINGLOG joined to the subscriber's name, newest first.
// It is read page by page as the view scrolls, and kept current without re-reading it all: a new call
// fetches only the rows committed since, a change or deletion reconciles the rows already read, a
// renamed subscriber updates the names in place. Rows are inserted, changed and removed one by one, so
// the view keeps its selection and its scroll position.
#pragma once

#include "console/LogTableModel.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVariantMap>

#include <deque>
#include <map>
#include <vector>

class IncomingLogModel : public LogTableModel
{
    Q_OBJECT

public:
    enum Column { Id, CallBegin, CallerId, Name, Result, Dest, ColumnCount };

    explicit IncomingLogModel(const QSqlDatabase& db, QObject* parent = nullptr);

    // An SQL condition on the log's columns ("RESULT = 2"); CALLERID and ID, which USERS has too, are
    // written INCOMINGLOG.CALLERID and INCOMINGLOG.ID. Empty for every call. Takes effect at select().
    void setFilter(const QString& filter) { filter_ = filter; }
    QString filter() const { return filter_; }

    // Reads the first page afresh (a model reset). False, with lastError(), when the query failed.
    bool select();
    // Adds the calls committed since the last look, each at its place in the current order.
    void fetchNew();
    // Reads the rows shown so far again: deleted ones go, changed ones change, missed ones come.
    void refresh();
    // Subscriber names of the rows shown so far, after a subscriber was changed.
    void refreshNames();

    QSqlError lastError() const { return lastError_; }
    int idAt(int row) const;
    int rowOfId(int id) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    bool canFetchMore(const QModelIndex& parent = QModelIndex()) const override;
    void fetchMore(const QModelIndex& parent = QModelIndex()) override;

private:
    struct Row
    {
        int id = 0;
        QDateTime callBegin;
        QString callerId;
        int uid = 0;
        QString name;
        int result = 0;
        QString dest;
    };
    struct Fetched
    {
        Row row;
        bool shown = true; // false: no subscriber, or outside the filter
    };

    bool read(const QString& where, const QVariantMap& binds, int limit, bool everyRow, std::vector<Fetched>& out);
    QString orderBy() const;
    QString afterCondition(bool orEqual) const;
    QVariantMap keyOf(const Row& row) const;
    bool before(const Row& a, const Row& b) const;
    bool sameKey(const Row& a, const Row& b) const;
    void insertAt(size_t position, const Row& row);
    void seen(int id);
    void forgetOldGaps();

    QSqlDatabase db_;
    QString filter_;
    int sortColumn_ = Id;
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
    std::deque<Row> rows_; // new calls go to the front, also with every page of a long log read
    QSet<int> loaded_;
    bool atEnd_ = true;
    QSqlError lastError_;

    // New calls are the IDs above newest_. An ID below it not seen yet is an insert that commits later
    // than a newer one (or was rolled back): it is asked for by name until it comes or grows too old.
    int newest_ = 0;
    std::map<int, qint64> gaps_; // missing ID -> when it was first missed (clock_ milliseconds)
    QElapsedTimer clock_;
};
