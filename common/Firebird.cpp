#include "common/Firebird.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace firebird {

namespace {

// Non-zero for a shutdown on a signal: the library then does not shut down.
int DeclineSignalShutdown(const int reason, const int, void*)
{
    return reason == fb_shutrsn_signal ? 1 : 0;
}

} // namespace

void KeepAttachmentsOnSignals()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ISC_STATUS_ARRAY status;
        fb_shutdown_callback(status, DeclineSignalShutdown, fb_shut_confirmation, nullptr);
    });
}

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

Transaction::~Transaction()
{
    Rollback();
}

bool Transaction::Begin(isc_db_handle* attachment, bool readOnly, std::string& error)
{
    Rollback();
    const char tpb[] = {isc_tpb_version3, static_cast<char>(readOnly ? isc_tpb_read : isc_tpb_write),
                        isc_tpb_read_committed, isc_tpb_rec_version, isc_tpb_wait};
    ISC_STATUS_ARRAY status = {};
    if (isc_start_transaction(status, &handle_, 1, attachment, static_cast<unsigned short>(sizeof tpb), tpb) == 0)
        return true;
    handle_ = 0;
    error = StatusText(status);
    return false;
}

bool Transaction::Commit(std::string& error)
{
    ISC_STATUS_ARRAY status = {};
    if (handle_ && isc_commit_transaction(status, &handle_) != 0) {
        error = StatusText(status);
        Rollback();
        return false;
    }
    handle_ = 0;
    return true;
}

void Transaction::Rollback()
{
    if (!handle_)
        return;
    ISC_STATUS_ARRAY status = {};
    if (isc_rollback_transaction(status, &handle_) != 0)
        handle_ = 0; // the attachment is gone, and the transaction with it
}

void Statement::FreeArea::operator()(XSQLDA* area) const
{
    std::free(area);
}

Statement::Area Statement::NewArea(short vars)
{
    auto* area = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(vars)));
    if (!area)
        throw std::bad_alloc();
    area->version = SQLDA_VERSION1;
    area->sqln = vars;
    return Area(area);
}

Statement::~Statement()
{
    Release();
}

void Statement::Release()
{
    if (!handle_)
        return;
    ISC_STATUS_ARRAY status = {};
    if (isc_dsql_free_statement(status, &handle_, DSQL_drop) != 0)
        handle_ = 0; // gone with its attachment
}

bool Statement::Prepare(isc_db_handle* attachment, Transaction& transaction, const std::string& sql,
                        std::string& error)
{
    Release();
    ISC_STATUS_ARRAY status = {};
    out_ = NewArea(4);
    if (isc_dsql_allocate_statement(status, attachment, &handle_) != 0 ||
        isc_dsql_prepare(status, transaction.Handle(), &handle_, 0, sql.c_str(), SQL_DIALECT_V6, out_.get()) != 0) {
        error = StatusText(status);
        Release();
        return false;
    }
    if (!Describe(false, error) || !Describe(true, error)) {
        Release();
        return false;
    }
    return true;
}

bool Statement::Describe(bool in, std::string& error)
{
    Area& area = in ? in_ : out_;
    ISC_STATUS_ARRAY status = {};
    if (in) {
        area = NewArea(4);
        if (isc_dsql_describe_bind(status, &handle_, SQLDA_VERSION1, area.get()) != 0) {
            error = StatusText(status);
            return false;
        }
    }
    if (area->sqld > area->sqln) {
        area = NewArea(area->sqld);
        if ((in ? isc_dsql_describe_bind(status, &handle_, SQLDA_VERSION1, area.get())
                : isc_dsql_describe(status, &handle_, SQLDA_VERSION1, area.get())) != 0) {
            error = StatusText(status);
            return false;
        }
    }
    std::vector<char>& data = in ? inData_ : outData_;
    std::vector<short>& nulls = in ? inNulls_ : outNulls_;
    size_t size = 0;
    for (int i = 0; i < area->sqld; ++i) {
        XSQLVAR& var = area->sqlvar[i];
        const short type = static_cast<short>(var.sqltype & ~1);
        if (type == SQL_TEXT || type == SQL_VARYING) {
            var.sqltype = SQL_VARYING + 1;
            size += sizeof(short) + static_cast<size_t>(var.sqllen);
        } else if (type == SQL_SHORT || type == SQL_LONG || type == SQL_INT64) {
            var.sqltype = SQL_INT64 + 1;
            var.sqllen = sizeof(std::int64_t);
            var.sqlscale = 0;
            size += sizeof(std::int64_t);
        } else {
            error = "column or parameter " + std::to_string(i + 1) + " is neither text nor a whole number";
            return false;
        }
        size = (size + 7) & ~size_t(7);
    }
    data.assign(size, 0);
    nulls.assign(static_cast<size_t>(area->sqld), 0);
    size_t at = 0;
    for (int i = 0; i < area->sqld; ++i) {
        XSQLVAR& var = area->sqlvar[i];
        var.sqldata = data.data() + at;
        var.sqlind = &nulls[static_cast<size_t>(i)];
        at += (var.sqltype & ~1) == SQL_VARYING ? sizeof(short) + static_cast<size_t>(var.sqllen) : sizeof(std::int64_t);
        at = (at + 7) & ~size_t(7);
    }
    return true;
}

bool Statement::Execute(Transaction& transaction, const std::vector<Value>& parameters,
                        std::vector<std::optional<std::int64_t>>& results, std::string& error)
{
    if (!handle_ || static_cast<int>(parameters.size()) != in_->sqld) {
        error = handle_ ? "wrong number of parameters" : "statement not prepared";
        return false;
    }
    for (int i = 0; i < in_->sqld; ++i) {
        XSQLVAR& var = in_->sqlvar[i];
        const Value& value = parameters[static_cast<size_t>(i)];
        *var.sqlind = std::holds_alternative<std::monostate>(value) ? -1 : 0;
        if (const auto* text = std::get_if<std::string>(&value)) {
            if ((var.sqltype & ~1) != SQL_VARYING) {
                error = "parameter " + std::to_string(i + 1) + " takes no text";
                return false;
            }
            size_t length = std::min(text->size(), static_cast<size_t>(var.sqllen));
            while (length < text->size() && length > 0 && ((*text)[length] & 0xC0) == 0x80)
                --length; // not inside a UTF-8 character
            const auto shortLength = static_cast<short>(length);
            std::memcpy(var.sqldata, &shortLength, sizeof shortLength);
            std::memcpy(var.sqldata + sizeof shortLength, text->data(), length);
        } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
            if ((var.sqltype & ~1) != SQL_INT64) {
                error = "parameter " + std::to_string(i + 1) + " takes no number";
                return false;
            }
            std::memcpy(var.sqldata, number, sizeof *number);
        }
    }
    ISC_STATUS_ARRAY status = {};
    if (isc_dsql_execute2(status, transaction.Handle(), &handle_, SQLDA_VERSION1, in_.get(), out_.get()) != 0) {
        error = StatusText(status);
        return false;
    }
    results.assign(static_cast<size_t>(out_->sqld), std::nullopt);
    for (int i = 0; i < out_->sqld; ++i) {
        const XSQLVAR& var = out_->sqlvar[i];
        if (*var.sqlind < 0 || (var.sqltype & ~1) != SQL_INT64)
            continue;
        std::int64_t number = 0;
        std::memcpy(&number, var.sqldata, sizeof number);
        results[static_cast<size_t>(i)] = number;
    }
    return true;
}

} // namespace firebird
