// The main window's schema check and repair: objects are compared by name only, and created from the
// shared statement table when the administrator is logged in. Missing indices only slow things down and
// missing optional objects only keep newer features off, so they alone do not keep another account out.
#include "console/Selvdesk.h"

#include "common/Schema.h"
#include "console/Statement.h"

#include <QDebug>
#include <QMessageBox>
#include <QSqlError>
#include <QSqlQuery>

namespace {

template <size_t N>
QStringList Names(const std::array<std::string_view, N>& keys)
{
    QStringList names;
    for (std::string_view key : keys)
        names << QString::fromLatin1(key.data(), qsizetype(key.size()));
    return names;
}

QString Text(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// The catalogue stores names upper-case and blank-padded to the column's width.
QStringList CatalogueNames(QSqlDatabase& db, const QString& sql, QWidget* parent)
{
    QStringList names;
    QSqlQuery query(db);
    if (!console::RunStatement(query, sql, {}, parent))
        return names;
    while (query.next())
        names << query.value(0).toString().trimmed();
    return names;
}

// Each expected name looked up without regard to case; returns the missing ones in expected order.
QStringList Missing(const QStringList& expected, const QStringList& present, const QString& kind)
{
    QStringList missing;
    for (const QString& name : expected) {
        if (present.contains(name, Qt::CaseInsensitive)) {
            qDebug().noquote() << kind + " " + name + " exists";
        } else {
            qDebug().noquote() << kind + " " + name + " not exists";
            missing << name;
        }
    }
    return missing;
}

QString Quoted(const QString& prefix, const QStringList& names)
{
    return names.isEmpty() ? QString() : prefix + names.join("', '") + "'.\n";
}

// The optional objects whose probe finds nothing (or fails), in creation order.
QStringList MissingOptional(QSqlDatabase& db)
{
    QStringList missing;
    for (const Schema::OptionalObject& object : Schema::OptionalObjects) {
        const QString key = Text(object.key);
        QSqlQuery query(db);
        const bool present = query.exec(Text(object.probe)) && query.next() && query.value(0).toInt() > 0;
        qDebug().noquote() << "Object " + key + (present ? " exists" : " not exists");
        if (!present)
            missing << key;
    }
    return missing;
}

const char* const kCatalogueFilter = " WHERE (RDB$SYSTEM_FLAG = 0) or (RDB$SYSTEM_FLAG is NULL)";

} // namespace

bool Selvdesk::checkDatabase()
{
    const QStringList tables = Names(Schema::Tables);
    const QStringList generators = Names(Schema::Generators);
    const QStringList triggers = Names(Schema::Triggers);
    const QStringList roles = {Text(Schema::Role)};
    const QStringList rights = Names(Schema::Rights);
    const QStringList indices = Names(Schema::Indices);
    qDebug().noquote() << "Let's check database...";
    showMissingIndices(QStringList());
    showMissingOptional(QStringList());

    QStringList missingTables, missingGenerators, missingTriggers, missingRoles, missingRights, missingIndices,
        missingOptional;
    if (db_.isOpen()) {
        missingTables = Missing(tables, db_.tables(QSql::Tables), "Table");
        auto catalogue = [this](const QString& select) { return CatalogueNames(db_, select + kCatalogueFilter, this); };
        missingGenerators = Missing(generators, catalogue("SELECT RDB$GENERATOR_NAME FROM RDB$GENERATORS"), "Generator");
        missingTriggers = Missing(triggers, catalogue("SELECT RDB$TRIGGER_NAME FROM RDB$TRIGGERS"), "Trigger");
        missingRoles = Missing(roles, catalogue("SELECT RDB$ROLE_NAME FROM RDB$ROLES"), "Role");
        missingRights = Missing(rights, CatalogueNames(db_, Text(Schema::RightsQuery), this), "Right");
        missingIndices = Missing(indices, catalogue("SELECT RDB$INDEX_NAME FROM RDB$INDICES"), "Index");
        missingOptional = MissingOptional(db_);
    } else {
        qDebug().noquote() << "The application could not open the database";
    }
    // Without the rights operators cannot write; without the indices they only wait longer.
    const bool essentialsPresent = missingTables.isEmpty() && missingGenerators.isEmpty() && missingTriggers.isEmpty() &&
                                   missingRoles.isEmpty() && missingRights.isEmpty();
    if (essentialsPresent && missingIndices.isEmpty() && missingOptional.isEmpty())
        return true;

    const QString details = Quoted(tr("Missing tables: '"), missingTables) +
                            Quoted(tr("Missing generators: '"), missingGenerators) +
                            Quoted(tr("Missing triggers: '"), missingTriggers) +
                            Quoted(tr("Missing roles: '"), missingRoles) + Quoted(tr("Missing rights: '"), missingRights) +
                            Quoted(tr("Missing indices: '"), missingIndices) +
                            Quoted(tr("Missing optional objects: '"), missingOptional);

    auto critical = [this](const QString& text) {
        QMessageBox box(QMessageBox::Critical, tr("Database critical error"), text, QMessageBox::Ok, this);
        box.exec();
    };
    if (db_.userName().toUpper() == "SYSDBA") {
        critical(tr("Application database is missing or corrupted.\n") + details + tr(" Now we will try to repair database."));
        if (repairDatabase(missingTables, missingGenerators, missingTriggers, missingRoles, missingRights,
                           missingIndices, missingOptional)) {
            QMessageBox box(QMessageBox::Information, tr("Database repaired"),
                            tr("Application database was successfully restored."), QMessageBox::Ok, this);
            box.exec();
            return true;
        }
        critical(tr("We can't repair application database.\nPlease, reinstall the application."));
        return false;
    }
    if (essentialsPresent) {
        // Only the administrator may create them; everyone else works on, just slower or without them.
        if (!missingIndices.isEmpty())
            qDebug().noquote() << "The database has no indices " + missingIndices.join(", ") +
                                      ": lookups are slow until SYSDBA logs in once and adds them";
        if (!missingOptional.isEmpty())
            qDebug().noquote() << "The database lacks the optional objects " + missingOptional.join(", ") +
                                      ": the features that need them are off until SYSDBA logs in once and adds them";
        showMissingIndices(missingIndices);
        showMissingOptional(missingOptional);
        return true;
    }
    critical(tr("Application database is missing or corrupted.\n") + details +
             tr("You need to log in as SYSDBA to repair your database."));
    return false;
}

bool Selvdesk::repairDatabase(const QStringList& tables, const QStringList& generators, const QStringList& triggers,
                              const QStringList& roles, const QStringList& rights, const QStringList& indices,
                              const QStringList& optional)
{
    qDebug().noquote() << "Try to repair our database...";
    if (!db_.isOpen() && !db_.open()) {
        qDebug().noquote() << "The application could not open the database";
        return false;
    }
    bool result = true;
    for (const QString& name : tables)
        result = createTable(name.toLower()) && result;
    for (const QString& name : generators)
        result = createGenerator(name.toLower()) && result;
    for (const QString& name : triggers)
        result = createTrigger(name.toLower()) && result;
    for (const QString& name : roles)
        result = createRole(name.toLower()) && result;
    for (const QString& name : rights)
        result = createRight(name.toLower()) && result;
    for (const QString& name : indices)
        result = createIndex(name.toLower()) && result;
    for (const QString& key : optional)
        result = createOptional(key.toLower()) && result;
    return result;
}

bool Selvdesk::createTable(const QString& name) { return createObject(Schema::ObjectKind::Table, "table", name); }
bool Selvdesk::createGenerator(const QString& name)
{
    return createObject(Schema::ObjectKind::Generator, "generator", name);
}
bool Selvdesk::createTrigger(const QString& name) { return createObject(Schema::ObjectKind::Trigger, "trigger", name); }
bool Selvdesk::createRight(const QString& name) { return createObject(Schema::ObjectKind::Right, "right", name); }
bool Selvdesk::createIndex(const QString& name) { return createObject(Schema::ObjectKind::Index, "index", name); }

bool Selvdesk::createOptional(const QString& key)
{
    qDebug().noquote() << "Try to create object " + key;
    const Schema::OptionalObject* object = Schema::FindOptional(key.toStdString());
    if (!db_.isOpen()) {
        qDebug().noquote() << "Database is not opened";
        return false;
    }
    QSqlQuery query(db_);
    if (!console::RunStatement(query, object ? Text(object->statement) : QString(), {}, this)) {
        qDebug().noquote() << "Can't create object " + key;
        return false;
    }
    qDebug().noquote() << "Object " + key + " created";
    return true;
}

bool Selvdesk::createRole(const QString& name)
{
    if (!createObject(Schema::ObjectKind::Role, "role", name))
        return false;
    return grantRoleRights(name);
}

bool Selvdesk::createObject(Schema::ObjectKind kind, const char* kindName, const QString& name)
{
    const QString what = QString::fromLatin1(kindName);
    qDebug().noquote() << "Try to create " + what + " " + name;
    // Only a key of the object's own kind gives a statement.
    const Schema::Object* object = Schema::Find(name.toStdString());
    const QString statement = object && object->kind == kind ? Text(object->statement) : QString();
    if (!db_.isOpen()) {
        qDebug().noquote() << "Database is not opened";
        return false;
    }
    qDebug().noquote() << "Try execute SQL script";
    QSqlQuery query(db_);
    if (!console::RunStatement(query, statement, {}, this)) {
        qDebug().noquote() << "Can't create " + what + " " + name;
        return false;
    }
    QString capitalised = what;
    capitalised[0] = capitalised[0].toUpper();
    qDebug().noquote() << capitalised + " " + name + " created";
    return true;
}

bool Selvdesk::grantRoleRights(const QString& name)
{
    qDebug().noquote() << "Try to give the rights to role " + name;
    QStringList statements;
    if (name == Text(Schema::Role)) {
        for (std::string_view grant : Schema::ManagerGrants)
            statements << Text(grant);
    }
    if (!db_.isOpen()) {
        qDebug().noquote() << "Database is not opened";
        return false;
    }
    qDebug().noquote() << "Try execute SQL script";
    bool result = true;
    for (const QString& statement : statements) {
        QSqlQuery query(db_);
        if (console::RunStatement(query, statement, {}, this)) {
            qDebug().noquote() << "Grant statement successfully executed. Query was " + statement;
        } else {
            qDebug().noquote() << "Can't execute grant statement: " + statement + " Error:" + query.lastError().text();
            result = false;
        }
    }
    return result;
}
