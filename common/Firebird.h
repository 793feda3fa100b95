// The Firebird client library's C interface where Qt's driver does not reach: the text of a status
// vector, database parameter blocks, and creating a database (Qt's driver can only attach to an
// existing one).
#pragma once

#include <ibase.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace firebird {

// The client library's messages in status, joined by " - "; empty when it holds none.
std::string StatusText(const ISC_STATUS* status);

// The client library ends every attachment of the process when SIGTERM or SIGINT arrives, and takes
// the signal's default action away (a program without a handler of its own no longer ends). After
// this call the attachments stay, for the program's own handler to stop in order and write what it
// still has to; a program that has none still does not end on the signal. Once per process; any
// time before the signal.
void KeepAttachmentsOnSignals();

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

// A transaction on an attachment, read committed (it sees what others committed since it began),
// rolled back unless committed.
class Transaction
{
public:
    Transaction() = default;
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // False, with the library's text in error, when it could not begin.
    bool Begin(isc_db_handle* attachment, bool readOnly, std::string& error);
    bool Commit(std::string& error);
    void Rollback();
    isc_tr_handle* Handle() { return &handle_; }

private:
    isc_tr_handle handle_ = 0;
};

// A statement prepared once and executed many times, each with one row of parameters in and one row
// of results out in a single exchange with the server: a SELECT that always yields exactly one row,
// or an INSERT ... RETURNING. Parameters are text, integers or NULL; results are read as integers.
class Statement
{
public:
    using Value = std::variant<std::monostate, std::int64_t, std::string>; // monostate: NULL

    Statement() = default;
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Prepare(isc_db_handle* attachment, Transaction& transaction, const std::string& sql, std::string& error);
    bool Prepared() const { return handle_ != 0; }
    // Frees the statement on the server; before its attachment goes.
    void Release();
    // results receives one entry per column (nullopt for NULL). A text longer than its parameter's
    // declared length is cut to fit.
    bool Execute(Transaction& transaction, const std::vector<Value>& parameters,
                 std::vector<std::optional<std::int64_t>>& results, std::string& error);

private:
    struct FreeArea
    {
        void operator()(XSQLDA* area) const;
    };
    using Area = std::unique_ptr<XSQLDA, FreeArea>;
    static Area NewArea(short vars);
    // Describes the statement's parameters (in) or columns (out) into area, grown as needed, then
    // points each at its own place in data, as text or 64-bit integers.
    bool Describe(bool in, std::string& error);

    isc_stmt_handle handle_ = 0;
    Area in_, out_;
    std::vector<char> inData_, outData_;
    std::vector<short> inNulls_, outNulls_;
};

} // namespace firebird
