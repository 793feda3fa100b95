// The callback attempts of the main window's Callbacks tab: OUTGOINGLOG joined to the request's number
// and the subscriber's name, newest first. Read page by page as the view scrolls and kept current
// without re-reading it all: a new attempt fetches only the rows added since, a change re-reads only
// the attempts still under way (a closed attempt does not change), a renamed subscriber updates the
// names in place. Rows are inserted and changed one by one, so the view keeps its selection.
#pragma once

#include "console/LogTableModel.h"

#include <QDateTime>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVariant>

#include <deque>

class CallbackLogModel : public LogTableModel
{
    Q_OBJECT

public:
    enum Column { Id, CallBegin, Name, Number, Attempt, Line, Outcome, SipStatus, Destination, Length, ColumnCount };

    explicit CallbackLogModel(const QSqlDatabase& db, QObject* parent = nullptr);

    // Reads the first page afresh (a model reset). False, with lastError(), when the query failed (a
    // database without the outgoing log's columns, for one).
    bool select();
    // Adds the attempts written since the last look, at the top.
    void fetchNew();
    // Reads again the attempts shown as under way.
    void refreshOpen();
    // Subscriber names of the rows shown, after a subscriber was changed.
    void refreshNames();

    QSqlError lastError() const { return lastError_; }
    int idAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // Display: the words (outcome, length as m:ss); edit role: the stored values.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex& parent = QModelIndex()) const override;
    void fetchMore(const QModelIndex& parent = QModelIndex()) override;

private:
    struct Row
    {
        int id = 0;
        QDateTime callBegin;
        int uid = 0;
        QString name;
        QString number;
        int attempt = 0;
        QString line;
        QVariant reason; // null while under way
        QVariant sipStatus;
        QString destination;
        int length = 0;
    };

    // Rows matching `where` (on OUTGOINGLOG as O), newest first, at most limit (0: all).
    bool read(const QString& where, int limit, std::deque<Row>& out);

    QSqlDatabase db_;
    std::deque<Row> rows_;
    bool atEnd_ = true;
    QSqlError lastError_;
};
