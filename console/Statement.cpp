#include "console/Statement.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>

namespace console {

bool RunStatement(QSqlQuery& query, const QString& statement, Bindings bindings, QWidget* parent)
{
    // Binding to a statement that did not prepare only hides the server's reason behind a parameter
    // mismatch, so a failed prepare stops here.
    if (!query.prepare(statement)) {
        qDebug().noquote() << "Can't prepare SQL statement for execution" << query.lastError().text();
        ShowStatementFailure(parent, query.lastError(), statement);
        return false;
    }
    for (const auto& [name, value] : bindings)
        query.bindValue(QString::fromLatin1(name), value);
    if (!query.exec()) {
        qDebug().noquote() << "Can't execute query." << query.lastError().text();
        ShowStatementFailure(parent, query.lastError(), statement);
        return false;
    }
    return true;
}

void ShowStatementFailure(QWidget* parent, const QSqlError& error, const QString& statement)
{
    if (!statement.isEmpty())
        qDebug().noquote() << "Query=" + statement;
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.text().trimmed();
    QMessageBox box(QMessageBox::Critical, QCoreApplication::translate("Database", "Database error"),
                    QCoreApplication::translate("Database", "The database did not carry out the operation."),
                    QMessageBox::Ok, parent);
    box.setInformativeText(text);
    box.exec();
}

} // namespace console
