// The Callbacks tab through the real window, against attempts a test connection writes as the service
// would: newest first, the outcome in words (and in Russian with the translation), new attempts on top
// and attempts under way changed in place when the database's events come, without a reset of the
// model or a lost selection; the Incoming tab's result in words; a database without the outgoing log's
// columns leaves the tab empty.
#include "console/Application.h"
#include "console/CallbackLogModel.h"
#include "console/IncomingLogModel.h"
#include "console/Selvdesk.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTranslator>

#include <memory>

namespace {

// "number|attempt|outcome|status|destination|length" of every row the view shows, top to bottom.
QStringList Shown(const QTableView* view)
{
    QStringList rows;
    const QAbstractItemModel* m = view->model();
    for (int row = 0; row < m->rowCount(); ++row) {
        QStringList cells;
        for (int column : {CallbackLogModel::Number, CallbackLogModel::Attempt, CallbackLogModel::Outcome,
                           CallbackLogModel::SipStatus, CallbackLogModel::Destination, CallbackLogModel::Length})
            cells << m->index(row, column).data().toString();
        rows << m->index(row, CallbackLogModel::Name).data().toString() + ":" + cells.join('|');
    }
    return rows;
}

} // namespace

class CallbacksViewTest : public QObject
{
    Q_OBJECT

    FbServerEnv server = FbServerEnv::fromEnvironment();
    std::unique_ptr<consoletest::SettingsSandbox> sandbox;

    // An attempt as the service writes it when it places the call.
    static QString placed(int id, int cid, int uid, int attempt)
    {
        return QString("INSERT INTO OUTGOINGLOG (ID, CID, UID, CALL_BEGIN, CALL_LENGTH, ATTEMPT_NUMBER, ANSWERED, "
                       "PIN_RESULT, LINE) VALUES (%1, %2, %3, current_timestamp, 0, %4, 0, 0, '201')")
            .arg(id)
            .arg(cid)
            .arg(uid)
            .arg(attempt);
    }

private slots:
    void initTestCase() { sandbox = std::make_unique<consoletest::SettingsSandbox>(); }

    void theTabFollowsEveryAttempt()
    {
        TestDatabase database;
        QSqlDatabase service = database.connect();
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '1234567', '1', 1, 'Ann', 1)");
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (2, '84951234567', '1', 1, 'Bob', 1)");
        consoletest::Exec(service, "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                      "(1, current_timestamp, '1234567', 1, 1, '1234567')");
        consoletest::Exec(service, "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                      "(2, current_timestamp, '+74951234567', 2, 1, '84951234567')");
        consoletest::Exec(service, "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                      "(3, current_timestamp, '5550000', NULL, 0, '5550000')");
        // Ann: refused busy, then transferred after 65 s; Bob's first attempt is under way.
        consoletest::Exec(service, placed(1, 1, 1, 1));
        consoletest::Exec(service, "UPDATE OUTGOINGLOG SET END_REASON = 2, SIP_STATUS = 486 WHERE ID = 1");
        consoletest::Exec(service, placed(2, 1, 1, 2));
        consoletest::Exec(service, "UPDATE OUTGOINGLOG SET ANSWERED = 1, PIN_RESULT = 1, END_REASON = 8, DESTINATION = '97654321', "
                      "CALL_LENGTH = 65 WHERE ID = 2");
        consoletest::Exec(service, placed(3, 2, 2, 1));

        Selvdesk window;
        window.resize(900, 600);
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(consoletest::WaitUntilSubscribed(service));
        auto* tabs = window.findChild<QTabWidget*>("tabWidget");
        tabs->setCurrentWidget(window.findChild<QWidget*>("tabCallbacks"));
        QCOMPARE(tabs->tabText(tabs->currentIndex()), QString("Callbacks"));
        auto* view = window.findChild<QTableView*>("viewCallbacks");
        CallbackLogModel* model = window.callbackModel();
        QVERIFY(view && model && view->model() == model);
        QVERIFY(view->isColumnHidden(CallbackLogModel::Id));
        QCOMPARE(model->headerData(CallbackLogModel::Outcome, Qt::Horizontal).toString(), QString("Outcome"));

        QCOMPARE(Shown(view), (QStringList{"Bob:84951234567|1|Under way|||0:00",
                                           "Ann:1234567|2|Transferred||97654321|1:05",
                                           "Ann:1234567|1|Refused|486||0:00"}));
        QCOMPARE(model->index(1, CallbackLogModel::Outcome).data(Qt::EditRole).toInt(), 8);

        // The operator selects Ann's transfer; attempts go on meanwhile.
        view->selectRow(1);
        QSignalSpy resets(model, &QAbstractItemModel::modelReset);
        consoletest::Exec(service, "UPDATE OUTGOINGLOG SET ANSWERED = 1, PIN_RESULT = 2, END_REASON = 4, CALL_LENGTH = 12 WHERE ID = 3");
        QTRY_COMPARE_WITH_TIMEOUT(Shown(view).value(0), QString("Bob:84951234567|1|PIN failed|||0:12"), 15000);
        consoletest::Exec(service, placed(4, 2, 2, 2));
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 4, 15000);
        QCOMPARE(Shown(view).value(0), QString("Bob:84951234567|2|Under way|||0:00"));
        consoletest::Exec(service, "UPDATE OUTGOINGLOG SET END_REASON = 1 WHERE ID = 4");
        QTRY_COMPARE_WITH_TIMEOUT(Shown(view).value(0), QString("Bob:84951234567|2|No answer|||0:00"), 15000);
        // A renamed subscriber shows the new name in place.
        consoletest::Exec(service, "UPDATE USERS SET NAME = 'Robert' WHERE ID = 2");
        QTRY_COMPARE_WITH_TIMEOUT(Shown(view).value(0).section(':', 0, 0), QString("Robert"), 15000);
        QCOMPARE(resets.count(), 0);
        QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(model->idAt(view->selectionModel()->selectedRows().value(0).row()), 2);

        // The Incoming tab says its results in words, and keeps the code for sorting.
        IncomingLogModel* incoming = window.incomingModel();
        QStringList results;
        for (int row = 0; row < incoming->rowCount(); ++row)
            results << incoming->index(row, IncomingLogModel::Result).data().toString();
        QCOMPARE(results, (QStringList{"Queued for a callback", "Queued for a callback"})); // subscribers only
        QCOMPARE(incoming->index(0, IncomingLogModel::Result).data(Qt::EditRole).toInt(), 1);

        // In Russian with the translation.
        QTranslator translator;
        QVERIFY(console::LoadTranslation(translator, SELVDESK_PROGRAM_DIR));
        QCOMPARE(Shown(view).value(2).section('|', 2, 2), QString::fromUtf8("Переведён"));
        QCOMPARE(incoming->index(0, IncomingLogModel::Result).data().toString(),
                 QString::fromUtf8("В очереди на обратный вызов"));
        QCoreApplication::removeTranslator(&translator);
    }

    // A database from before the outgoing log's columns: the model says why it shows nothing.
    void aDatabaseWithoutTheColumnsLeavesTheTabEmpty()
    {
        TestDatabase database(TestDatabase::BaseSchema);
        QSqlDatabase db = database.connect();
        consoletest::Exec(db, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '1234567', '1', 1, 'Ann', 1)");
        CallbackLogModel model(db);
        QVERIFY(!model.select());
        QVERIFY(model.lastError().isValid());
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!model.canFetchMore());
        model.fetchNew();
        model.refreshOpen();
        QCOMPARE(model.rowCount(), 0);
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CallbacksViewTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "CallbacksViewTest.moc"
