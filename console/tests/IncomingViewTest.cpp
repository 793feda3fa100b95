// The Incoming tab kept current by events over a log larger than one page: bursts of calls, commits out
// of ID order, renamed subscribers, changed and deleted rows, a filter and another sort order. After
// each step the rows read so far must be exactly the table's newest rows in the view's order, with the
// operator's selection and scroll position untouched and without a reset of the whole model.
#include "console/Application.h"
#include "console/IncomingLogModel.h"
#include "console/Selvdesk.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include <memory>

namespace {

// "id|name|result" of every listed call, in the given order.
QStringList TableRows(QSqlDatabase db, const QString& where, const QString& order)
{
    QStringList rows;
    QSqlQuery query(db);
    const QString sql = "SELECT L.ID, U.NAME, L.RESULT FROM INCOMINGLOG L JOIN USERS U ON U.ID = L.UID" +
                        (where.isEmpty() ? QString() : " WHERE " + where) + " ORDER BY " + order;
    if (!query.exec(sql))
        return {"error: " + query.lastError().text()};
    while (query.next())
        rows << QString("%1|%2|%3").arg(query.value(0).toInt()).arg(query.value(1).toString()).arg(query.value(2).toInt());
    return rows;
}

QStringList ModelRows(const IncomingLogModel* model)
{
    QStringList rows;
    for (int row = 0; row < model->rowCount(); ++row)
        rows << QString("%1|%2|%3")
                    .arg(model->index(row, IncomingLogModel::Id).data().toInt())
                    .arg(model->index(row, IncomingLogModel::Name).data().toString())
                    .arg(model->index(row, IncomingLogModel::Result).data(Qt::EditRole).toInt());
    return rows;
}

const char* const kNewestFirst = "L.ID DESC";

} // namespace

class IncomingViewTest : public QObject
{
    Q_OBJECT

    FbServerEnv server = FbServerEnv::fromEnvironment();
    std::unique_ptr<consoletest::SettingsSandbox> sandbox;

    static QString call(const QString& uid, int result)
    {
        return "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
               "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '7', " +
               uid + ", " + QString::number(result) + ", '7')";
    }

private slots:
    void initTestCase() { sandbox = std::make_unique<consoletest::SettingsSandbox>(); }

    void theLogFollowsCallsRowByRow()
    {
        TestDatabase database;
        QSqlDatabase service = database.connect();
        QSqlDatabase secondService = database.connect();
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '71', '1', 1, 'Ann', 1)");
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (2, '72', '1', 1, 'Bob', 1)");
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (3, '73', '1', 1, 'Cy', 0)");
        // 600 calls, one in five from a caller that is no subscriber (not listed): more than two pages.
        consoletest::Exec(service, "EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < 600) DO BEGIN "
                      "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                      "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '7', "
                      "IIF(MOD(:i, 5) = 0, NULL, MOD(:i, 3) + 1), MOD(:i, 3), '7'); i = i + 1; END END");

        Selvdesk window;
        window.resize(900, 600);
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(consoletest::WaitUntilSubscribed(service));
        window.findChild<QTabWidget*>("tabWidget")->setCurrentWidget(window.findChild<QWidget*>("tabIncoming"));
        auto* view = window.findChild<QTableView*>("viewIncoming");
        IncomingLogModel* model = window.incomingModel();
        QVERIFY(view && model && view->model() == model);

        // Newest first, a page at a time.
        QCOMPARE(ModelRows(model), TableRows(service, "", kNewestFirst).mid(0, model->rowCount()));
        QVERIFY(model->rowCount() < 480 && model->canFetchMore());

        // The operator selects a call and scrolls away from the newest ones.
        QTest::qWait(100);
        view->selectRow(20);
        const int selectedId = model->idAt(20);
        view->verticalScrollBar()->setValue(15);
        QTest::qWait(50);
        const int topId = model->idAt(view->rowAt(0));
        QVERIFY(topId > 0 && view->rowAt(0) > 0);
        QSignalSpy resets(model, &QAbstractItemModel::modelReset);
        const int rowsBefore = model->rowCount();

        // A burst of calls from two service connections; one commit comes after a later call's.
        secondService.transaction();
        consoletest::Exec(secondService, call("1", 1)); // takes its ID first, commits last
        for (int i = 0; i < 60; ++i)
            consoletest::Exec(service, call(i % 4 == 0 ? "NULL" : QString::number(i % 2 + 1), i % 3));
        QTRY_COMPARE_WITH_TIMEOUT(ModelRows(model).value(0), TableRows(service, "", kNewestFirst).value(0), 15000);
        secondService.commit();
        const QStringList all = TableRows(service, "", kNewestFirst);
        QTRY_COMPARE_WITH_TIMEOUT(ModelRows(model), all.mid(0, model->rowCount()), 15000);
        QCOMPARE(model->rowCount() - rowsBefore, 46); // the 45 listed calls of the burst and the late one
        QCOMPARE(resets.count(), 0);
        QCOMPARE(view->selectionModel()->selectedRows().value(0).row(), model->rowOfId(selectedId));
        QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(model->idAt(view->rowAt(0)), topId);

        // A renamed subscriber: every row of theirs shows the new name in place.
        consoletest::Exec(service, "UPDATE USERS SET NAME = 'Bobby' WHERE ID = 2");
        QTRY_COMPARE_WITH_TIMEOUT(ModelRows(model), TableRows(service, "", kNewestFirst).mid(0, model->rowCount()), 15000);
        QVERIFY(ModelRows(model).join(',').contains("|Bobby|"));
        QVERIFY(!ModelRows(model).join(',').contains("|Bob|"));

        // Rows deleted and changed by someone else go and change in place; the selection stays.
        const int deleted[] = {model->idAt(0), model->idAt(3), model->idAt(100)};
        consoletest::Exec(service, QString("DELETE FROM INCOMINGLOG WHERE ID IN (%1, %2, %3)").arg(deleted[0]).arg(deleted[1]).arg(deleted[2]));
        consoletest::Exec(service, QString("UPDATE INCOMINGLOG SET RESULT = 2 WHERE ID = %1").arg(model->idAt(50)));
        QTRY_COMPARE_WITH_TIMEOUT(ModelRows(model), TableRows(service, "", kNewestFirst).mid(0, model->rowCount()), 15000);
        QCOMPARE(model->rowOfId(deleted[1]), -1);
        QCOMPARE(model->idAt(view->selectionModel()->selectedRows().value(0).row()), selectedId);
        QCOMPARE(resets.count(), 0);

        // Read to the end: exactly the table's listed calls.
        while (model->canFetchMore())
            model->fetchMore();
        QCOMPARE(ModelRows(model), TableRows(service, "", kNewestFirst));

        // Filtered: new calls outside the filter stay out.
        model->setFilter("RESULT = 2");
        QVERIFY(model->select());
        consoletest::Exec(service, call("1", 2));
        consoletest::Exec(service, call("2", 1));
        consoletest::Exec(service, call("1", 2));
        QTRY_COMPARE_WITH_TIMEOUT(ModelRows(model).value(0), TableRows(service, "L.RESULT = 2", kNewestFirst).value(0), 15000);
        while (model->canFetchMore())
            model->fetchMore();
        QCOMPARE(ModelRows(model), TableRows(service, "L.RESULT = 2", kNewestFirst));

        // Sorted by name by the header: paging and new calls follow that order.
        model->setFilter(QString());
        view->sortByColumn(IncomingLogModel::Name, Qt::AscendingOrder);
        const QString byName = "U.NAME ASC, L.ID ASC";
        QCOMPARE(ModelRows(model), TableRows(service, "", byName).mid(0, model->rowCount()));
        QVERIFY(model->canFetchMore());
        consoletest::Exec(service, call("1", 0)); // Ann: among the rows read
        consoletest::Exec(service, call("2", 0)); // Bobby: past them, comes with a later page
        QTRY_VERIFY_WITH_TIMEOUT(TableRows(service, "", byName).mid(0, model->rowCount()) == ModelRows(model) &&
                                     ModelRows(model).join(',').contains(QString("%1|Ann").arg(
                                         TableRows(service, "U.NAME = 'Ann'", "L.ID DESC").value(0).section('|', 0, 0))),
                                 15000);
        while (model->canFetchMore())
            model->fetchMore();
        QCOMPARE(ModelRows(model), TableRows(service, "", byName));
    }
};

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    IncomingViewTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "IncomingViewTest.moc"
