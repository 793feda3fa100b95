#include "console/LockoutsTab.h"

#include "common/Schema.h"
#include "console/Statement.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr int kExpiryRefreshMs = 30000;
const char* const kSelectLocked =
    "SELECT U.NAME, P.CALLERID, P.LOCKED_UNTIL, P.FAILURES FROM PINLOCKOUTS P LEFT JOIN USERS U ON U.ID = P.UID "
    "WHERE P.LOCKED_UNTIL > CURRENT_TIMESTAMP ORDER BY P.LOCKED_UNTIL DESC";
} // namespace

LockoutsTab::LockoutsTab(QSqlDatabase database, QWidget* parent)
    : QWidget(parent), db_(std::move(database)), model_(new QSqlQueryModel(this)), view_(new QTableView(this)),
      unlockButton_(new QPushButton(tr("Unlock"), this))
{
    setObjectName("tabLockouts");
    view_->setObjectName("viewLockouts");
    unlockButton_->setObjectName("pbUnlock");
    view_->setModel(model_);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->horizontalHeader()->setStretchLastSection(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(unlockButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_);
    layout->addLayout(buttons);

    connect(unlockButton_, &QPushButton::clicked, this, &LockoutsTab::unlockSelected);
    connect(&expiry_, &QTimer::timeout, this, &LockoutsTab::refresh);
    expiry_.start(kExpiryRefreshMs);
    refresh();
}

bool LockoutsTab::Available(QSqlDatabase& database)
{
    for (const Schema::OptionalObject* object : Schema::OptionalObjectsOf("pin lockout")) {
        QSqlQuery probe(database);
        if (!probe.exec(QString::fromLatin1(object->probe.data(), qsizetype(object->probe.size()))) || !probe.next() ||
            probe.value(0).toInt() <= 0)
            return false;
    }
    return true;
}

void LockoutsTab::refresh()
{
    QString selected;
    const QModelIndexList rows = view_->selectionModel()->selectedRows(CallerId);
    if (!rows.isEmpty())
        selected = rows.first().data().toString();
    QSqlQuery query(db_);
    if (!query.exec(kSelectLocked)) {
        console::ShowStatementFailure(this, query.lastError(), kSelectLocked);
        return;
    }
    model_->setQuery(std::move(query));
    model_->setHeaderData(Name, Qt::Horizontal, tr("Name"));
    model_->setHeaderData(CallerId, Qt::Horizontal, tr("CallerID"));
    model_->setHeaderData(LockedUntil, Qt::Horizontal, tr("Locked until"));
    model_->setHeaderData(Failures, Qt::Horizontal, tr("Failures"));
    for (int row = 0; !selected.isEmpty() && row < model_->rowCount(); ++row)
        if (model_->index(row, CallerId).data().toString() == selected)
            view_->selectRow(row);
    unlockButton_->setEnabled(model_->rowCount() > 0);
}

bool LockoutsTab::unlock(const QString& callerId)
{
    QSqlQuery query(db_);
    // The whole row goes: the caller starts again with no failed sessions counted.
    if (!console::RunStatement(query, "DELETE FROM PINLOCKOUTS WHERE CALLERID = :caller_id",
                               {{":caller_id", callerId}}, this))
        return false;
    refresh();
    return true;
}

void LockoutsTab::unlockSelected()
{
    const QModelIndexList rows = view_->selectionModel()->selectedRows(CallerId);
    if (!rows.isEmpty())
        unlock(rows.first().data().toString());
}
