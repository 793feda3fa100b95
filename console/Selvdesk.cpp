#include "console/Selvdesk.h"

#include "common/Schema.h"
#include "console/Application.h"
#include "console/CallbackLogModel.h"
#include "console/IncomingLogModel.h"
#include "console/LockoutsTab.h"
#include "console/NewCallerIDDialog.h"
#include "console/Statement.h"
#include "ui_Selvdesk.h"

#include <QApplication>
#include <QDebug>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPersistentModelIndex>
#include <QScrollBar>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRelationalDelegate>
#include <QSqlTableModel>
#include <QTableView>

#include <algorithm>
#include <vector>

namespace {
// Each query of the log is a round trip to the server that the window waits for.
constexpr int kIncomingFetchMs = 100;

// Quitting from a slot that runs before the event loop started (the first showing happens before
// exec()) must still end the program, so the request waits for the loop.
void QuitLater()
{
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}
} // namespace

Selvdesk::Selvdesk(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui::SelvdeskClass>())
{
    ui->setupUi(this);
    userLabel_ = new QLabel(this);
    ui->statusBar->addPermanentWidget(userLabel_);
    indicesLabel_ = new QLabel(this);
    indicesLabel_->setObjectName("labelMissingIndices");
    indicesLabel_->hide();
    ui->statusBar->addWidget(indicesLabel_);
    optionalLabel_ = new QLabel(this);
    optionalLabel_->setObjectName("labelMissingOptional");
    optionalLabel_->hide();
    ui->statusBar->addWidget(optionalLabel_);

    connect(ui->applyButton, &QPushButton::clicked, this, &Selvdesk::pressApplyButton);
    connect(ui->okButton, &QPushButton::clicked, this, &Selvdesk::pressOKButton);
    connect(ui->cancelButton, &QPushButton::clicked, this, &Selvdesk::pressCancelButton);
    connect(ui->actionDBSettings, &QAction::triggered, this, &Selvdesk::settings);
    connect(ui->actionUsers, &QAction::triggered, this, &Selvdesk::users_management);
    connect(ui->actionAbout, &QAction::triggered, this, &Selvdesk::about);
    connect(ui->actionAboutQt, &QAction::triggered, qApp, &QApplication::aboutQt);
    connect(ui->actionQuit, &QAction::triggered, qApp, &QCoreApplication::quit);
    connect(ui->tabWidget, &QTabWidget::currentChanged, this, &Selvdesk::changeTabWidget);
    connect(this, &Selvdesk::signal_mainwindow_shown, this, &Selvdesk::showTables);
    connect(this, &Selvdesk::signal_mainwindow_shown, this, &Selvdesk::showSYSDBAMenu);
    connect(ui->addButton, &QPushButton::clicked, this, &Selvdesk::pressAddUserButton);
    connect(ui->deleteButton, &QPushButton::clicked, this, &Selvdesk::pressDeleteUserButton);
    connect(ui->editButton, &QPushButton::clicked, this, qOverload<>(&Selvdesk::pressEditUserButton));
    connect(ui->viewUsers, &QTableView::doubleClicked, this, qOverload<QModelIndex>(&Selvdesk::pressEditUserButton));
    connect(ui->chbShowDeleted, &QCheckBox::stateChanged, this, &Selvdesk::showDeletedUsers);
    connect(ui->pbAddPattern, &QPushButton::clicked, this, &Selvdesk::pressAddBlackListPattern);
    connect(ui->pbDeletePattern, &QPushButton::clicked, this, &Selvdesk::pressDeleteBlackListPattern);
    incomingFetch_.setSingleShot(true);
    connect(&incomingFetch_, &QTimer::timeout, this, &Selvdesk::fetchNewCalls);
}

Selvdesk::~Selvdesk() = default;

void Selvdesk::setDatabase(const QSqlDatabase& database) { db_ = database; }

void Selvdesk::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    emit signal_mainwindow_shown();
}

void Selvdesk::about()
{
    QMessageBox::about(this, tr("About Selvdesk"),
                       tr("<h3>Selvdesk 1.0</h3><p>The operators' console of the Selvane callback service: "
                          "subscribers, blacklist patterns and incoming calls.</p>"));
}

void Selvdesk::settings() { settingsDialog_.exec(); }

void Selvdesk::users_management()
{
    usersDialog_.setDatabase(&db_);
    usersDialog_.exec();
}

void Selvdesk::pressApplyButton() {}
void Selvdesk::pressOKButton() { close(); }
void Selvdesk::pressCancelButton() { close(); }
void Selvdesk::changeTabWidget(int) {}

void Selvdesk::showTables()
{
    if (!checkDatabase()) {
        QuitLater();
        return;
    }
    if (!setUpViews())
        QuitLater();
}

void Selvdesk::showSYSDBAMenu()
{
    const QString user = db_.userName().toUpper();
    ui->actionUsers->setEnabled(user == "SYSDBA");
    userLabel_->setText(user);
}

bool Selvdesk::setUpViews()
{
    if (!db_.isValid()) {
        qDebug().noquote() << "Error! Database connection is not valid.";
        return false;
    }
    if (!db_.isOpen() && !db_.open()) {
        qDebug().noquote() << "Can't open database.";
        return false;
    }
    qDebug().noquote() << "Database connection is valid and opened.";
    subscribeEvents();

    // A showing after the first (the window restored) builds fresh models; the old ones go.
    delete usersModel_;
    delete blacklistModel_;
    delete incomingModel_;

    // Qt quotes the names a table model is given, and Firebird keeps unquoted names in upper case:
    // "users" would name no table.
    usersModel_ = new console::ReportingModel<QSqlTableModel>(this, db_);
    usersModel_->setTable("USERS");
    ui->viewUsers->setModel(usersModel_);
    ui->viewUsers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    usersModel_->setFilter(ui->chbShowDeleted->isChecked() ? QString() : QString("is_active=1"));
    usersModel_->select();
    usersModel_->setEditStrategy(QSqlTableModel::OnRowChange);
    const char* userHeaders[] = {QT_TR_NOOP("ID"), QT_TR_NOOP("CallerID"), QT_TR_NOOP("PIN"),
                                 QT_TR_NOOP("COS"), QT_TR_NOOP("Name"), QT_TR_NOOP("Active")};
    for (int column = 0; column < 6; ++column)
        usersModel_->setHeaderData(column, Qt::Horizontal, tr(userHeaders[column]), Qt::EditRole);
    ui->viewUsers->hideColumn(0);
    ui->viewUsers->hideColumn(5);
    ui->viewUsers->setSortingEnabled(true);
    ui->viewUsers->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->viewUsers->setSelectionMode(QAbstractItemView::SingleSelection);

    blacklistModel_ = new console::ReportingModel<QSqlTableModel>(this, db_);
    blacklistModel_->setTable("BLACKLIST");
    ui->viewBlacklist->setModel(blacklistModel_);
    ui->viewBlacklist->setEditTriggers(QAbstractItemView::AllEditTriggers);
    blacklistModel_->select();
    blacklistModel_->setEditStrategy(QSqlTableModel::OnRowChange);
    blacklistModel_->setHeaderData(0, Qt::Horizontal, tr("ID"), Qt::EditRole);
    blacklistModel_->setHeaderData(1, Qt::Horizontal, tr("COS"), Qt::EditRole);
    blacklistModel_->setHeaderData(2, Qt::Horizontal, tr("Number"), Qt::EditRole);
    ui->viewBlacklist->hideColumn(0);
    ui->viewBlacklist->hideColumn(1);
    ui->viewBlacklist->setSortingEnabled(true);

    // Newest first, read page by page and kept current row by row (see IncomingLogModel).
    incomingModel_ = new IncomingLogModel(db_, this);
    ui->viewIncoming->setModel(incomingModel_);
    if (!dynamic_cast<QSqlRelationalDelegate*>(ui->viewIncoming->itemDelegate())) // once, not per showing
        ui->viewIncoming->setItemDelegate(new QSqlRelationalDelegate(ui->viewIncoming));
    ui->viewIncoming->setEditTriggers(QAbstractItemView::NoEditTriggers);
    incomingModel_->select();
    incomingModel_->setHeaderData(0, Qt::Horizontal, tr("ID"), Qt::EditRole);
    incomingModel_->setHeaderData(1, Qt::Horizontal, tr("Time"), Qt::EditRole);
    incomingModel_->setHeaderData(2, Qt::Horizontal, tr("CallerID"), Qt::EditRole);
    incomingModel_->setHeaderData(3, Qt::Horizontal, tr("Name"), Qt::EditRole);
    incomingModel_->setHeaderData(4, Qt::Horizontal, tr("Result"), Qt::EditRole);
    ui->viewIncoming->hideColumn(0);
    ui->viewIncoming->resizeColumnsToContents(); // the result is words now: keep each on one line
    ui->viewIncoming->horizontalHeader()->setSortIndicator(IncomingLogModel::Id, Qt::DescendingOrder);
    ui->viewIncoming->setSortingEnabled(true);
    keepIncomingScroll();

    // Only where the database has the lockout's objects: without them the service keeps the lockout off.
    delete lockoutsTab_;
    lockoutsTab_ = nullptr;
    if (LockoutsTab::Available(db_)) {
        lockoutsTab_ = new LockoutsTab(db_, ui->tabWidget);
        ui->tabWidget->addTab(lockoutsTab_, tr("Lockouts"));
    }
    // Every callback attempt, newest first, kept current like the incoming calls. On a database without
    // the outgoing log's columns it stays empty (the status bar names what is missing).
    delete callbackModel_;
    callbackModel_ = new CallbackLogModel(db_, this);
    ui->viewCallbacks->setModel(callbackModel_);
    ui->viewCallbacks->setEditTriggers(QAbstractItemView::NoEditTriggers);
    if (!callbackModel_->select())
        qDebug().noquote() << "The callbacks cannot be read:" << callbackModel_->lastError().text();
    const char* callbackHeaders[] = {QT_TR_NOOP("ID"),     QT_TR_NOOP("Time"),       QT_TR_NOOP("Name"),
                                     QT_TR_NOOP("Number"), QT_TR_NOOP("Attempt"),    QT_TR_NOOP("Line"),
                                     QT_TR_NOOP("Outcome"), QT_TR_NOOP("SIP status"), QT_TR_NOOP("Destination"),
                                     QT_TR_NOOP("Length")};
    for (int column = 0; column < CallbackLogModel::ColumnCount; ++column)
        callbackModel_->setHeaderData(column, Qt::Horizontal, tr(callbackHeaders[column]), Qt::EditRole);
    ui->viewCallbacks->hideColumn(CallbackLogModel::Id);
    // Ten short columns: each as wide as what it holds, so the outcome is in sight without scrolling.
    ui->viewCallbacks->resizeColumnsToContents();
    ui->viewCallbacks->horizontalHeader()->setStretchLastSection(true);
    return true;
}

void Selvdesk::subscribeEvents()
{
    QSqlDriver* driver = db_.driver();
    const QStringList subscribed = driver->subscribedToNotifications();
    std::vector<std::string_view> events(Schema::Events.begin(), Schema::Events.end());
    events.push_back(Schema::PinLockoutEvent);
    for (std::string_view name : events) {
        const QString event = QString::fromLatin1(name.data(), qsizetype(name.size()));
        if (!subscribed.contains(event))
            driver->subscribeToNotification(event);
    }
    // Posted by optional triggers; waiting for an event nobody posts costs nothing.
    for (std::string_view name : Schema::OptionalEvents) {
        const QString event = QString::fromLatin1(name.data(), qsizetype(name.size()));
        if (!subscribed.contains(event))
            driver->subscribeToNotification(event);
    }
    connect(driver, qOverload<const QString&, QSqlDriver::NotificationSource, const QVariant&>(&QSqlDriver::notification),
            this, &Selvdesk::updated, Qt::UniqueConnection);
}

void Selvdesk::keepIncomingScroll()
{
    QTableView* view = ui->viewIncoming;
    // The first row in sight, remembered only when the operator has scrolled away from the newest.
    auto top = std::make_shared<QPersistentModelIndex>();
    connect(incomingModel_, &QAbstractItemModel::rowsAboutToBeInserted, view, [view, top] {
        *top = view->verticalScrollBar()->value() > 0 ? QPersistentModelIndex(view->indexAt(QPoint(0, 0)))
                                                      : QPersistentModelIndex();
    });
    connect(incomingModel_, &QAbstractItemModel::rowsInserted, view, [view, top](const QModelIndex&, int first) {
        if (!top->isValid() || first > top->row())
            return;
        view->doItemsLayout(); // the scroll range must know the new rows before scrolling
        view->scrollTo(view->model()->index(top->row(), top->column()), QAbstractItemView::PositionAtTop);
    });
}

void Selvdesk::updated(QString event_name)
{
    qDebug().noquote() << "Event was occured:" << event_name;
    if (event_name == "user_insert" || event_name == "user_update") {
        if (usersModel_)
            usersModel_->select();
        if (incomingModel_ && event_name == "user_update")
            incomingModel_->refreshNames();
        if (callbackModel_ && event_name == "user_update")
            callbackModel_->refreshNames();
    } else if (event_name == "incominglog_insert") {
        if (!incomingFetch_.isActive()) {
            const qint64 since = sinceIncomingFetch_.isValid() ? sinceIncomingFetch_.elapsed() : kIncomingFetchMs;
            incomingFetch_.start(int(std::max<qint64>(0, kIncomingFetchMs - since)));
        }
    } else if (event_name == "incominglog_update" || event_name == "incominglog_delete") {
        if (incomingModel_)
            incomingModel_->refresh();
    } else if (event_name == QLatin1String(Schema::PinLockoutEvent.data(), qsizetype(Schema::PinLockoutEvent.size()))) {
        if (lockoutsTab_)
            lockoutsTab_->refresh();
    } else if (event_name == "outgoinglog_insert") {
        if (callbackModel_)
            callbackModel_->fetchNew();
    } else if (event_name == "outgoinglog_update") {
        if (callbackModel_)
            callbackModel_->refreshOpen();
    }
}

void Selvdesk::fetchNewCalls()
{
    sinceIncomingFetch_.start();
    if (incomingModel_)
        incomingModel_->fetchNew();
}

void Selvdesk::showMissingIndices(const QStringList& indices)
{
    indicesLabel_->setVisible(!indices.isEmpty());
    indicesLabel_->setText(indices.isEmpty() ? QString()
                                             : tr("The database lacks the indices %1 and answers slowly: the "
                                                  "administrator (SYSDBA) should log in once to add them.")
                                                   .arg(indices.join(", ")));
}

void Selvdesk::showMissingOptional(const QStringList& keys)
{
    optionalLabel_->setVisible(!keys.isEmpty());
    optionalLabel_->setText(keys.isEmpty() ? QString()
                                           : tr("The database lacks %1, which newer features need: the "
                                                "administrator (SYSDBA) should log in once to add them.")
                                                 .arg(keys.join(", ")));
}

void Selvdesk::showDeletedUsers(int state)
{
    if (!usersModel_)
        return;
    if (state == Qt::Unchecked) {
        usersModel_->setFilter("is_active=1");
        usersModel_->select();
    } else if (state == Qt::Checked) {
        usersModel_->setFilter(QString());
        usersModel_->select();
    }
}

void Selvdesk::pressAddUserButton()
{
    NewCallerIDDialog dialog(this);
    if (dialog.exec() == QDialog::Accepted)
        addCallerID(dialog.callerId(), dialog.pin(), dialog.name(), dialog.cos());
}

bool Selvdesk::databaseOpen() const
{
    if (db_.isOpen())
        return true;
    qDebug().noquote() << "Database was not open." << db_.lastError().text();
    return false;
}

void Selvdesk::addCallerID(const QString& callerId, const QString& pin, const QString& name, int cos)
{
    qDebug().noquote() << "Try to add new CallerID to 'USERS' table [caller_id= " + callerId + "; name=" + name +
                              "; PIN=" + pin + "; COS=" + QString::number(cos) + "]";
    if (!databaseOpen())
        return;
    QSqlQuery query(db_);
    if (console::RunStatement(query,
                              "UPDATE OR INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (:caller_id, "
                              ":pin, :cos, :name, '1') MATCHING(CALLERID) ",
                              {{":caller_id", callerId}, {":pin", pin}, {":cos", cos}, {":name", name}}, this))
        qDebug().noquote() << "CallerID " + callerId + " added to database.";
}

void Selvdesk::pressDeleteUserButton()
{
    const QModelIndexList rows = ui->viewUsers->selectionModel() ? ui->viewUsers->selectionModel()->selectedRows()
                                                                   : QModelIndexList();
    if (rows.isEmpty() || !usersModel_)
        return;
    removeCallerID(usersModel_->index(rows.first().row(), 1).data().toString());
}

void Selvdesk::removeCallerID(const QString& callerId)
{
    qDebug().noquote() << "Try to remove CallerID from 'USERS' table [caller_id= " + callerId + "]";
    if (!databaseOpen())
        return;
    QSqlQuery query(db_);
    if (console::RunStatement(query, "UPDATE USERS SET IS_ACTIVE=0 WHERE CALLERID=:caller_id",
                              {{":caller_id", callerId}}, this))
        qDebug().noquote() << "CallerID " + callerId + " was removed from database.";
}

void Selvdesk::pressEditUserButton() { pressEditUserButton(QModelIndex()); }

void Selvdesk::pressEditUserButton(QModelIndex)
{
    // A double click has selected the row it hit; both ways work on the selected row.
    const QModelIndexList rows = ui->viewUsers->selectionModel() ? ui->viewUsers->selectionModel()->selectedRows()
                                                                   : QModelIndexList();
    if (rows.isEmpty() || !usersModel_)
        return;
    const int row = rows.first().row();
    auto field = [this, row](int column) { return usersModel_->index(row, column).data(); };
    const int id = field(0).toInt();

    NewCallerIDDialog dialog(this);
    dialog.setCallerId(field(1).toString());
    dialog.setPin(field(2).toString());
    dialog.setName(field(4).toString());
    dialog.setCos(field(3).toInt());
    dialog.setActive(field(5).toInt());
    if (dialog.exec() == QDialog::Accepted)
        editUser(id, dialog.callerId(), dialog.pin(), dialog.name(), dialog.cos(), dialog.active());
}

void Selvdesk::editUser(int id, const QString& callerId, const QString& pin, const QString& name, int cos, int active)
{
    qDebug().noquote() << "Try to edit user from 'USERS' table [user_id= " + QString::number(id) + "]";
    if (!databaseOpen())
        return;
    QSqlQuery query(db_);
    if (console::RunStatement(query,
                              "UPDATE USERS SET CALLERID=:caller_id, PIN=:pin, COS=:cos, NAME=:name, "
                              "IS_ACTIVE=:is_active WHERE ID=:user_id",
                              {{":caller_id", callerId},
                               {":pin", pin},
                               {":cos", cos},
                               {":name", name},
                               {":is_active", active},
                               {":user_id", id}},
                              this))
        qDebug().noquote() << "User data for ID=" + QString::number(id) + " was updated in database.";
}

void Selvdesk::pressAddBlackListPattern()
{
    if (!databaseOpen())
        return;
    QSqlQuery query(db_);
    if (console::RunStatement(query, "INSERT INTO BLACKLIST (COS, NUMBER) VALUES ( :cos, :number)",
                              {{":cos", 0}, {":number", QString("")}}, this) &&
        blacklistModel_)
        blacklistModel_->select();
}

void Selvdesk::pressDeleteBlackListPattern()
{
    const QModelIndexList selected = ui->viewBlacklist->selectionModel()
                                         ? ui->viewBlacklist->selectionModel()->selectedIndexes()
                                         : QModelIndexList();
    if (selected.isEmpty() || !blacklistModel_)
        return;
    const int id = blacklistModel_->index(selected.first().row(), 0).data().toInt();
    if (!databaseOpen())
        return;
    QSqlQuery query(db_);
    if (console::RunStatement(query, "DELETE FROM BLACKLIST  WHERE id=:pattern_id", {{":pattern_id", id}}, this)) {
        qDebug().noquote() << "pattern id " + QString::number(id) + " was removed from database.";
        blacklistModel_->select();
    }
}
