// Every statement the console runs reports its failure here: the diagnostic output gets the error and
// the statement, and a message box shows the operator the server's own text. Nothing fails unseen.
#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <initializer_list>
#include <utility>

namespace console {

using Bindings = std::initializer_list<std::pair<const char*, QVariant>>;

// Prepares statement on query, binds the named values and executes it. False when either step failed;
// the failure has then been written and shown in a box over parent.
bool RunStatement(QSqlQuery& query, const QString& statement, Bindings bindings, QWidget* parent);

// Writes a failure and shows it in a modal box over parent: the server's text, or the driver's when the
// server said nothing.
void ShowStatementFailure(QWidget* parent, const QSqlError& error, const QString& statement);

// A table model whose reads and writes report their failures like every other statement. The box waits
// for the event loop: a write fails inside the view's own handling of a row change, where a nested
// modal loop has no place.
template <class Model> class ReportingModel : public Model
{
public:
    using Model::Model;

    bool select() override { return reported(Model::select(), this->selectStatement()); }

protected:
    bool updateRowInTable(int row, const QSqlRecord& values) override
    {
        return reported(Model::updateRowInTable(row, values), {});
    }
    bool insertRowIntoTable(const QSqlRecord& values) override
    {
        return reported(Model::insertRowIntoTable(values), {});
    }
    bool deleteRowFromTable(int row) override { return reported(Model::deleteRowFromTable(row), {}); }

private:
    bool reported(bool ok, const QString& statement)
    {
        if (!ok) {
            QPointer<QWidget> parent = qobject_cast<QWidget*>(this->QObject::parent());
            QMetaObject::invokeMethod(
                this,
                [parent, error = this->lastError(), statement] {
                    ShowStatementFailure(parent, error, statement);
                },
                Qt::QueuedConnection);
        }
        return ok;
    }
};

} // namespace console
