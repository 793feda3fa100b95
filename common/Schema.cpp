#include "common/Schema.h"

namespace Schema {

// clang-format off
const std::array<Object, 33> Objects = {{
    {"users", "USERS", ObjectKind::Table,
     "CREATE TABLE USERS (ID Integer NOT NULL PRIMARY KEY,CALLERID Varchar(20) NOT NULL,PIN Varchar(20) DEFAULT NULL,COS Int DEFAULT NULL,NAME Varchar(100) NOT NULL,IS_ACTIVE Smallint NOT NULL);"},
    {"incominglog", "INCOMINGLOG", ObjectKind::Table,
     "CREATE TABLE INCOMINGLOG (ID Integer NOT NULL PRIMARY KEY,Call_begin Timestamp NOT NULL,CallerID Varchar(20) NOT NULL,UID Integer DEFAULT NULL REFERENCES Users(ID),Result Integer NOT NULL,DEST Varchar(20) NOT NULL)"},
    {"outgoinglog", "OUTGOINGLOG", ObjectKind::Table,
     "CREATE TABLE OUTGOINGLOG (ID Integer NOT NULL PRIMARY KEY,CID Integer NOT NULL REFERENCES Incominglog(ID),UID Integer NOT NULL REFERENCES Users(ID),Call_begin Timestamp NOT NULL,Call_length Integer NOT NULL,Attempt_number Integer NOT NULL,Answered Smallint NOT NULL,PIN_Result Integer NOT NULL)"},
    {"dblog", "DBLOG", ObjectKind::Table,
     "CREATE TABLE DBLOG (ID Integer NOT NULL PRIMARY KEY,DBUSER Varchar(32) default current_user NOT NULL,LOGTIME Timestamp default current_timestamp NOT NULL,UID Integer NOT NULL REFERENCES Users(ID),OPERATION Varchar(20) NOT NULL);"},
    {"queue", "QUEUE", ObjectKind::Table,
     "CREATE TABLE QUEUE (ID Integer NOT NULL PRIMARY KEY,CID Integer NOT NULL REFERENCES Incominglog(ID),UID Integer NOT NULL REFERENCES Users(ID),Call_begin Timestamp NOT NULL,Attempts Integer NOT NULL)"},
    {"callslog", "CALLSLOG", ObjectKind::Table,
     "CREATE TABLE CALLSLOG (ID Integer NOT NULL PRIMARY KEY,CID Integer NOT NULL REFERENCES Incominglog(ID),UID Integer NOT NULL REFERENCES Users(ID),Call_begin Timestamp NOT NULL,Call_length Integer NOT NULL,CalledID Varchar(20) NOT NULL)"},
    {"blacklist", "BLACKLIST", ObjectKind::Table,
     "CREATE TABLE BLACKLIST (ID Integer NOT NULL PRIMARY KEY,COS Integer NOT NULL,Number Varchar(20) NOT NULL)"},
    {"new_user_id", "NEW_USER_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_USER_ID; "},
    {"new_log_id", "NEW_LOG_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_LOG_ID;"},
    {"new_incoming_id", "NEW_INCOMING_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_INCOMING_ID; "},
    {"new_outgoing_id", "NEW_OUTGOING_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_OUTGOING_ID; "},
    {"new_queue_id", "NEW_QUEUE_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_QUEUE_ID; "},
    {"new_callslog_id", "NEW_CALLSLOG_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_CALLSLOG_ID; "},
    {"new_blacklist_id", "NEW_BLACKLIST_ID", ObjectKind::Generator,
     "CREATE GENERATOR NEW_BLACKLIST_ID; "},
    {"user_insert", "USER_INSERT", ObjectKind::Trigger,
     "CREATE TRIGGER USER_INSERT FOR USERS ACTIVE AFTER INSERT POSITION 0 AS BEGIN INSERT INTO DBLOG (ID, UID, OPERATION) VALUES(GEN_ID(NEW_LOG_ID,1),NEW.id,'insert'); POST_EVENT ('user_insert'); END ;"},
    {"user_insert2", "USER_INSERT2", ObjectKind::Trigger,
     "CREATE TRIGGER USER_INSERT2 FOR USERS ACTIVE BEFORE INSERT POSITION 0 AS BEGIN  IF (NEW.ID IS NULL) THEN NEW.ID = GEN_ID(NEW_USER_ID, 1);END;"},
    {"user_update", "USER_UPDATE", ObjectKind::Trigger,
     "CREATE TRIGGER USER_UPDATE FOR USERS ACTIVE \tAFTER UPDATE POSITION 0 \tAS \tBEGIN \tIF (NEW.IS_ACTIVE <> OLD.IS_ACTIVE) THEN \tBEGIN \tIF (NEW.IS_ACTIVE=0) THEN \tINSERT INTO DBLOG (ID, UID, OPERATION) VALUES(GEN_ID(NEW_LOG_ID,1),NEW.id,'active_off'); ELSE \tINSERT INTO DBLOG (ID, UID, OPERATION) VALUES(GEN_ID(NEW_LOG_ID,1),NEW.id,'active_on'); END \tELSE \tINSERT INTO DBLOG (ID, UID, OPERATION) VALUES(GEN_ID(NEW_LOG_ID,1),NEW.id,'update'); POST_EVENT ('user_update'); END ;"},
    {"queue_update", "QUEUE_UPDATE", ObjectKind::Trigger,
     "CREATE TRIGGER QUEUE_UPDATE FOR QUEUE ACTIVE  AFTER UPDATE POSITION 0  AS  BEGIN  POST_EVENT ('queue_update');  END ;"},
    {"queue_insert", "QUEUE_INSERT", ObjectKind::Trigger,
     "CREATE TRIGGER QUEUE_INSERT FOR QUEUE ACTIVE  AFTER INSERT POSITION 0  AS  BEGIN  POST_EVENT ('queue_insert');  END ;"},
    {"queue_delete", "QUEUE_DELETE", ObjectKind::Trigger,
     "CREATE TRIGGER QUEUE_DELETE FOR QUEUE ACTIVE  AFTER DELETE POSITION 0  AS  BEGIN  POST_EVENT ('queue_delete');  END ;"},
    {"incominglog_update", "INCOMINGLOG_UPDATE", ObjectKind::Trigger,
     "CREATE TRIGGER INCOMINGLOG_UPDATE FOR INCOMINGLOG ACTIVE  AFTER UPDATE POSITION 0  AS  BEGIN  POST_EVENT ('incominglog_update');  END ;"},
    {"incominglog_insert", "INCOMINGLOG_INSERT", ObjectKind::Trigger,
     "CREATE TRIGGER INCOMINGLOG_INSERT FOR INCOMINGLOG ACTIVE  AFTER INSERT POSITION 0  AS  BEGIN  POST_EVENT ('incominglog_insert');  END ;"},
    {"incominglog_delete", "INCOMINGLOG_DELETE", ObjectKind::Trigger,
     "CREATE TRIGGER INCOMINGLOG_DELETE FOR INCOMINGLOG ACTIVE  AFTER DELETE POSITION 0  AS  BEGIN  POST_EVENT ('incominglog_delete');  END ;"},
    {"blacklist_insert", "BLACKLIST_INSERT", ObjectKind::Trigger,
     "CREATE TRIGGER BLACKLIST_INSERT FOR BLACKLIST ACTIVE  BEFORE INSERT POSITION 0  AS  BEGIN  IF (NEW.ID IS NULL) THEN NEW.ID = GEN_ID(NEW_BLACKLIST_ID, 1);  END ;"},
    {"manager", "MANAGER", ObjectKind::Role,
     "CREATE ROLE MANAGER;"},
    {"usage on generator new_user_id to trigger user_insert2", "USAGE ON GENERATOR NEW_USER_ID TO TRIGGER USER_INSERT2", ObjectKind::Right,
     "GRANT USAGE ON GENERATOR NEW_USER_ID TO TRIGGER USER_INSERT2;"},
    {"usage on generator new_log_id to trigger user_insert", "USAGE ON GENERATOR NEW_LOG_ID TO TRIGGER USER_INSERT", ObjectKind::Right,
     "GRANT USAGE ON GENERATOR NEW_LOG_ID TO TRIGGER USER_INSERT;"},
    {"insert on table dblog to trigger user_insert", "INSERT ON TABLE DBLOG TO TRIGGER USER_INSERT", ObjectKind::Right,
     "GRANT INSERT ON TABLE DBLOG TO TRIGGER USER_INSERT;"},
    {"usage on generator new_log_id to trigger user_update", "USAGE ON GENERATOR NEW_LOG_ID TO TRIGGER USER_UPDATE", ObjectKind::Right,
     "GRANT USAGE ON GENERATOR NEW_LOG_ID TO TRIGGER USER_UPDATE;"},
    {"insert on table dblog to trigger user_update", "INSERT ON TABLE DBLOG TO TRIGGER USER_UPDATE", ObjectKind::Right,
     "GRANT INSERT ON TABLE DBLOG TO TRIGGER USER_UPDATE;"},
    {"usage on generator new_blacklist_id to trigger blacklist_insert", "USAGE ON GENERATOR NEW_BLACKLIST_ID TO TRIGGER BLACKLIST_INSERT", ObjectKind::Right,
     "GRANT USAGE ON GENERATOR NEW_BLACKLIST_ID TO TRIGGER BLACKLIST_INSERT;"},
    // The service looks every caller up by CALLERID; without this each call reads all of USERS.
    {"idx_users_callerid", "IDX_USERS_CALLERID", ObjectKind::Index,
     "CREATE INDEX IDX_USERS_CALLERID ON USERS (CALLERID)"},
    // The console pages the log newest first; the primary key's index only walks upwards.
    {"idx_incominglog_newest", "IDX_INCOMINGLOG_NEWEST", ObjectKind::Index,
     "CREATE DESCENDING INDEX IDX_INCOMINGLOG_NEWEST ON INCOMINGLOG (ID)"},
}};

const std::array<std::string_view, 6> ManagerGrants = {
    "GRANT SELECT ON TABLE INCOMINGLOG TO MANAGER;",
    "GRANT SELECT ON TABLE OUTGOINGLOG TO MANAGER;",
    "GRANT SELECT ON TABLE QUEUE TO MANAGER;",
    "GRANT SELECT, INSERT, UPDATE ON TABLE USERS TO MANAGER;",
    "GRANT SELECT ON TABLE CALLSLOG TO MANAGER;",
    "GRANT SELECT, INSERT, UPDATE, DELETE ON TABLE BLACKLIST TO MANAGER;",
};

// Each feature's objects together, after those they build on. A probe reads the catalogue, so it
// needs no rights on the objects themselves.
const std::vector<OptionalObject> OptionalObjects = {
    // What became of each callback attempt, beyond the base columns.
    {"outgoinglog.end_reason", "outgoing log",
     "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'OUTGOINGLOG' AND RDB$FIELD_NAME = 'END_REASON'",
     "ALTER TABLE OUTGOINGLOG ADD END_REASON Integer"},
    {"outgoinglog.sip_status", "outgoing log",
     "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'OUTGOINGLOG' AND RDB$FIELD_NAME = 'SIP_STATUS'",
     "ALTER TABLE OUTGOINGLOG ADD SIP_STATUS Integer"},
    {"outgoinglog.line", "outgoing log",
     "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'OUTGOINGLOG' AND RDB$FIELD_NAME = 'LINE'",
     "ALTER TABLE OUTGOINGLOG ADD LINE Varchar(20)"},
    {"outgoinglog.destination", "outgoing log",
     "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'OUTGOINGLOG' AND RDB$FIELD_NAME = 'DESTINATION'",
     "ALTER TABLE OUTGOINGLOG ADD DESTINATION Varchar(20)"},
    {"outgoinglog_insert", "outgoing log",
     "SELECT COUNT(*) FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME = 'OUTGOINGLOG_INSERT'",
     "CREATE TRIGGER OUTGOINGLOG_INSERT FOR OUTGOINGLOG ACTIVE AFTER INSERT POSITION 0 AS BEGIN POST_EVENT ('outgoinglog_insert'); END"},
    {"outgoinglog_update", "outgoing log",
     "SELECT COUNT(*) FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME = 'OUTGOINGLOG_UPDATE'",
     "CREATE TRIGGER OUTGOINGLOG_UPDATE FOR OUTGOINGLOG ACTIVE AFTER UPDATE POSITION 0 AS BEGIN POST_EVENT ('outgoinglog_update'); END"},
    // Callers locked out after repeated sessions with wrong PINs; the row outlives a restart.
    {"pinlockouts", "pin lockout",
     "SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'PINLOCKOUTS'",
     "CREATE TABLE PINLOCKOUTS (CALLERID Varchar(20) NOT NULL PRIMARY KEY,UID Integer DEFAULT NULL REFERENCES Users(ID),FAILURES Integer NOT NULL,FIRST_FAILURE Timestamp NOT NULL,LAST_FAILURE Timestamp NOT NULL,LOCKED_UNTIL Timestamp DEFAULT NULL)"},
    {"pinlockouts_change", "pin lockout",
     "SELECT COUNT(*) FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME = 'PINLOCKOUTS_CHANGE'",
     "CREATE TRIGGER PINLOCKOUTS_CHANGE FOR PINLOCKOUTS ACTIVE AFTER INSERT OR UPDATE OR DELETE POSITION 0 AS BEGIN POST_EVENT ('pinlockouts_change'); END"},
    // Operators list the locked callers and unlock one by deleting its row.
    {"select on table pinlockouts to manager", "pin lockout",
     "SELECT COUNT(*) FROM RDB$USER_PRIVILEGES WHERE RDB$USER = 'MANAGER' AND RDB$RELATION_NAME = 'PINLOCKOUTS' AND RDB$PRIVILEGE = 'S'",
     "GRANT SELECT ON TABLE PINLOCKOUTS TO MANAGER"},
    {"delete on table pinlockouts to manager", "pin lockout",
     "SELECT COUNT(*) FROM RDB$USER_PRIVILEGES WHERE RDB$USER = 'MANAGER' AND RDB$RELATION_NAME = 'PINLOCKOUTS' AND RDB$PRIVILEGE = 'D'",
     "GRANT DELETE ON TABLE PINLOCKOUTS TO MANAGER"},
};
// clang-format on

std::vector<const OptionalObject*> OptionalObjectsOf(std::string_view feature)
{
    std::vector<const OptionalObject*> objects;
    for (const OptionalObject& object : OptionalObjects)
        if (object.feature == feature)
            objects.push_back(&object);
    return objects;
}

const OptionalObject* FindOptional(std::string_view key)
{
    for (const OptionalObject& object : OptionalObjects)
        if (object.key == key)
            return &object;
    return nullptr;
}

const Object* Find(std::string_view key)
{
    for (const Object& object : Objects)
        if (object.key == key)
            return &object;
    return nullptr;
}

std::string_view Statement(std::string_view key)
{
    const Object* object = Find(key);
    return object ? object->statement : std::string_view();
}

namespace {
void appendQuoted(std::string& out, std::string_view text)
{
    out += '\'';
    for (char c : text) {
        if (c == '\'')
            out += '\'';
        out += c;
    }
    out += '\'';
}
} // namespace

std::string CreateDatabaseStatement(std::string_view location, std::string_view user, std::string_view password)
{
    std::string out = "CREATE DATABASE ";
    out += " ";
    appendQuoted(out, location);
    out += " USER ";
    appendQuoted(out, user);
    out += " PASSWORD ";
    appendQuoted(out, password);
    out += " DEFAULT CHARACTER SET UNICODE_FSS";
    return out;
}

std::string DatabaseLocation(std::string_view host, int port, std::string_view name)
{
    std::string out(host);
    if (port > 0)
        out += "/" + std::to_string(port);
    out += ":";
    out += name;
    return out;
}

} // namespace Schema
