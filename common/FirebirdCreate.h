// Creates a database file through the Firebird client library. Used where a database cannot be opened
// because its file is missing: Qt's driver can only attach to an existing database.
#pragma once

#include <string>

// Executes statement (a complete "CREATE DATABASE ..." text, see Schema::CreateDatabaseStatement) by
// immediate execution without a database or transaction handle, in SQL dialect 3; on success commits and
// detaches the new attachment. On failure returns false and the client library's status report in error.
bool CreateFirebirdDatabase(const std::string& statement, std::string& error);
