#include "common/FirebirdCreate.h"

#include <ibase.h>

namespace {
std::string statusText(const ISC_STATUS* status)
{
    std::string text;
    char buffer[1024];
    const ISC_STATUS* cursor = status;
    while (fb_interpret(buffer, sizeof buffer, &cursor) > 0) {
        if (!text.empty())
            text += " - ";
        text += buffer;
    }
    return text;
}
} // namespace

bool CreateFirebirdDatabase(const std::string& statement, std::string& error)
{
    ISC_STATUS_ARRAY status = {};
    isc_db_handle database = 0;
    isc_tr_handle transaction = 0;
    if (isc_dsql_execute_immediate(status, &database, &transaction, 0, statement.c_str(), SQL_DIALECT_V6,
                                   nullptr)) {
        error = statusText(status);
        if (error.empty())
            error = "unknown Firebird error";
        return false;
    }
    error.clear();
    if (transaction)
        isc_commit_transaction(status, &transaction);
    if (database)
        isc_detach_database(status, &database);
    return true;
}
