// The database schema both programs expect, as the statements that build it. The texts are executed
// verbatim (blanks, tabs and semicolons included), so compare and create with these and nothing else.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace Schema {

enum class ObjectKind { Table, Generator, Trigger, Role, Right, Index };

struct Object
{
    std::string_view key;  // lower-case object name, the lookup key ("users", "new_user_id")
    std::string_view name; // the name the server stores (unquoted identifiers are upper-cased); for a
                           // right, the grant's words as the check rebuilds them from the catalogue
    ObjectKind kind;
    std::string_view statement;
};

// Every object in creation order: tables (each after those it references), generators, triggers
// (after the generators they use), then the role, which is followed by ManagerGrants, then the rights
// the triggers need to write what the role's statements make them write, then the indices that keep
// the per-call lookups and the newest-first incoming log fast on large tables.
extern const std::array<Object, 33> Objects;

// The statement creating the object with this lower-case key; empty when there is no such object.
std::string_view Statement(std::string_view key);
// The object with this lower-case key, or nullptr.
const Object* Find(std::string_view key);

// The expected objects by kind, as lower-case keys in creation order.
inline constexpr std::array<std::string_view, 7> Tables = {"users",      "incominglog", "outgoinglog", "dblog",
                                                           "queue",      "callslog",    "blacklist"};
inline constexpr std::array<std::string_view, 7> Generators = {
    "new_user_id",  "new_log_id",      "new_incoming_id", "new_outgoing_id",
    "new_queue_id", "new_callslog_id", "new_blacklist_id"};
inline constexpr std::array<std::string_view, 10> Triggers = {
    "user_insert",        "user_insert2",       "user_update",        "queue_update",
    "queue_insert",       "queue_delete",       "incominglog_update", "incominglog_insert",
    "incominglog_delete", "blacklist_insert"};
inline constexpr std::string_view Role = "manager";
// Rights granted to triggers, not to the role: operators reach DBLOG and the generators only through
// the triggers. Dropping a trigger drops its rights, so they are checked like objects.
inline constexpr std::array<std::string_view, 6> Rights = {
    "usage on generator new_user_id to trigger user_insert2",
    "usage on generator new_log_id to trigger user_insert",
    "insert on table dblog to trigger user_insert",
    "usage on generator new_log_id to trigger user_update",
    "insert on table dblog to trigger user_update",
    "usage on generator new_blacklist_id to trigger blacklist_insert"};
// The rights granted to triggers, one per row in the form of a right's name (IIF pads the shorter text).
inline constexpr std::string_view RightsQuery =
    "SELECT TRIM(IIF(RDB$PRIVILEGE = 'G', 'USAGE ON GENERATOR', 'INSERT ON TABLE')) || ' ' || TRIM(RDB$RELATION_NAME) || "
    "' TO TRIGGER ' || TRIM(RDB$USER) FROM RDB$USER_PRIVILEGES WHERE RDB$USER_TYPE = 2 AND RDB$PRIVILEGE IN ('G', 'I')";
inline constexpr std::array<std::string_view, 2> Indices = {"idx_users_callerid", "idx_incominglog_newest"};

// Run one by one, in this order, right after the role was created.
extern const std::array<std::string_view, 6> ManagerGrants;

// The events the triggers post, in the order the console registers them.
inline constexpr std::array<std::string_view, 8> Events = {
    "user_insert",        "user_update",        "queue_update",       "queue_insert",
    "queue_delete",       "incominglog_update", "incominglog_insert", "incominglog_delete"};

// Objects that features beyond the base schema use when they are there (columns, tables, triggers and
// grants). A database built before them works on: the console's check lists them apart and never fails
// for them, the administrator's repair adds them, and the service probes them and keeps a feature off
// while one of its objects is missing.
struct OptionalObject
{
    std::string_view key;       // lower-case and unique, the name the check shows ("outgoinglog.line")
    std::string_view feature;   // the feature that needs it, as the service asks for it
    std::string_view probe;     // a query whose first value is above zero when the object exists
    std::string_view statement; // creates it; the list is in creation order
};
extern const std::vector<OptionalObject> OptionalObjects;
// The event the lockout table's trigger posts on every change.
inline constexpr std::string_view PinLockoutEvent = "pinlockouts_change";
// The events the optional triggers post, which the console registers too.
inline constexpr std::array<std::string_view, 2> OptionalEvents = {"outgoinglog_insert", "outgoinglog_update"};
// The optional objects one feature needs, in creation order.
std::vector<const OptionalObject*> OptionalObjectsOf(std::string_view feature);
const OptionalObject* FindOptional(std::string_view key);

// "CREATE DATABASE  '<location>' USER '<user>' PASSWORD '<password>' DEFAULT CHARACTER SET UNICODE_FSS".
// A quote inside a piece is doubled, so it stays part of the literal (the name or password really holds
// it) and cannot end the literal early and inject the rest of the text.
std::string CreateDatabaseStatement(std::string_view location, std::string_view user, std::string_view password);

// The location (connection string) of a database: "host/port:name", or "host:name" when port is 0 or less.
std::string DatabaseLocation(std::string_view host, int port, std::string_view name);

} // namespace Schema
