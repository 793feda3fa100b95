// The Firebird client library's C interface where Qt's driver does not reach: the text of a status
// vector, database parameter blocks, and creating a database (Qt's driver can only attach to an
// existing one).
#pragma once

#include <ibase.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace firebird {

// The client library's messages in status, joined by " - "; empty when it holds none.
std::string StatusText(const ISC_STATUS* status);

// A database parameter block for isc_attach_database: the version, then the items added.
class ParameterBlock
{
public:
    ParameterBlock();
    // A text item; the value is cut to the 255 bytes an item's length can say.
    ParameterBlock& Add(char item, std::string_view value);
    // A four-byte integer item, little-endian as the client expects.
    ParameterBlock& AddInt(char item, std::int32_t value);

    const char* Data() const { return bytes_.data(); }
    short Size() const { return static_cast<short>(bytes_.size()); }

private:
    std::string bytes_;
};

// Executes statement (a complete "CREATE DATABASE ..." text, see Schema::CreateDatabaseStatement) by
// immediate execution without a database or transaction handle, in SQL dialect 3; on success commits and
// detaches the new attachment. On failure returns false and the client library's status report in error.
bool CreateDatabase(const std::string& statement, std::string& error);

} // namespace firebird
