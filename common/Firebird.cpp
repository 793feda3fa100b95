#include "common/Firebird.h"

namespace firebird {

std::string StatusText(const ISC_STATUS* status)
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

ParameterBlock::ParameterBlock() : bytes_(1, static_cast<char>(isc_dpb_version1)) {}

ParameterBlock& ParameterBlock::Add(char item, std::string_view value)
{
    const std::string_view cut = value.substr(0, 255);
    bytes_ += item;
    bytes_ += static_cast<char>(cut.size());
    bytes_ += cut;
    return *this;
}

ParameterBlock& ParameterBlock::AddInt(char item, std::int32_t value)
{
    bytes_ += item;
    bytes_ += static_cast<char>(4);
    for (int shift = 0; shift < 32; shift += 8)
        bytes_ += static_cast<char>((static_cast<std::uint32_t>(value) >> shift) & 0xff);
    return *this;
}

bool CreateDatabase(const std::string& statement, std::string& error)
{
    ISC_STATUS_ARRAY status = {};
    isc_db_handle database = 0;
    isc_tr_handle transaction = 0;
    if (isc_dsql_execute_immediate(status, &database, &transaction, 0, statement.c_str(), SQL_DIALECT_V6,
                                   nullptr)) {
        error = StatusText(status);
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

} // namespace firebird
