// The MariaDB connection and the helpers its recordset shares with it (the
// data-access objects' own error numbers and texts). Only platform/mariadb*.cpp
// include this; the public face is platform/mariadb.h.
#pragma once

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/mariadb.h"

namespace bw::mariadb {

// Error numbers and texts of the data-access objects themselves (not the server's).
constexpr long kErrObjectOpen = 3705;
constexpr long kErrObjectClosed = 3704;
constexpr long kErrNoCurrentRow = 3021;
constexpr long kErrUnknownField = 3265;
constexpr long kErrBadConnection = 3709;
constexpr long kErrCannotStore = 3251;

const char* const kTextObjectOpen = "Operation is not allowed when the object is open.";
const char* const kTextObjectClosed = "Operation is not allowed when the object is closed.";
const char* const kTextNoCurrentRow =
    "Either BOF or EOF is True, or the current record has been deleted.";
const char* const kTextBadConnection =
    "The connection cannot be used to perform this operation. It is either closed or invalid "
    "in this context.";

inline std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Errors after which the session is gone: the client lost the server, or the
// server ended the session.
inline bool MeansConnectionLost(unsigned no) {
    if (no == CR_COMMANDS_OUT_OF_SYNC) return false;
    if (no >= 2000 && no < 3000) return true;
    return no == ER_SERVER_SHUTDOWN || no == ER_CONNECTION_KILLED || no == 4031;
}

inline std::string QuoteIdent(const std::string& name) {
    std::string out = "`";
    for (char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    return out + "`";
}

class MariaDbConnection final : public DbConnection {
  public:
    explicit MariaDbConnection(unsigned ioTimeoutSeconds) : ioTimeout_(ioTimeoutSeconds) {}
    MariaDbConnection(const MariaDbConnection&) = delete;
    MariaDbConnection& operator=(const MariaDbConnection&) = delete;
    ~MariaDbConnection() override {
        if (m_ != nullptr) mysql_close(m_);
    }

    int State() const override { return m_ != nullptr ? kStateOpen : kStateClosed; }
    void SetConnectionTimeout(int seconds) override { timeout_ = seconds; }
    int ConnectionTimeout() const override { return timeout_; }
    void SetConnectionString(const std::string& cs) override { cs_ = cs; }
    const std::string& ConnectionString() const override { return cs_; }

    void Open(ErrorState& err) override {
        if (m_ != nullptr) {
            err.Raise(kErrObjectOpen, kTextObjectOpen);
            return;
        }
        if (Trim(cs_).empty()) {
            errors_.push_back("The connection string is empty.");
            err.Raise(CR_UNKNOWN_ERROR, "The connection string is empty.");
            return;
        }
        const DbConnectParams p = ParseConnectionString(cs_);
        if (!p.error.empty()) {
            errors_.push_back(p.error);
            err.Raise(CR_UNKNOWN_ERROR, p.error);
            return;
        }
        MYSQL* m = mysql_init(nullptr);
        if (m == nullptr) {
            err.Raise(CR_OUT_OF_MEMORY, "The database client is out of memory.");
            return;
        }
        const unsigned connectTimeout = timeout_ > 0 ? static_cast<unsigned>(timeout_) : 0;
        const unsigned ioTimeout = ioTimeout_;
        const my_bool noReconnect = 0;
        mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
        mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &ioTimeout);
        mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &ioTimeout);
        mysql_optionsv(m, MYSQL_OPT_RECONNECT, &noReconnect);
        mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, p.charset.c_str());
        auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        if (mysql_real_connect(m, opt(p.host), p.user.c_str(), p.password.c_str(), opt(p.database),
                               p.port, opt(p.socket), 0) == nullptr) {
            errors_.push_back(mysql_error(m));
            err.Raise(mysql_errno(m), mysql_error(m));
            mysql_close(m);
            return;
        }
        m_ = m;
    }

    void Execute(const std::string& sql, ErrorState& err) override {
        MYSQL_RES* res = Query(sql, err);
        if (res != nullptr) mysql_free_result(res);
    }

    void Close(ErrorState& err) override {
        if (m_ == nullptr) {
            err.Raise(kErrObjectClosed, kTextObjectClosed);
            return;
        }
        mysql_close(m_);
        m_ = nullptr;
    }

    void ClearErrors() override { errors_.clear(); }

    std::string Escape(const std::string& value) const override {
        if (m_ == nullptr) return EscapeSqlOffline(value);
        std::string out(value.size() * 2 + 1, '\0');
        const unsigned long n = mysql_real_escape_string(m_, out.data(), value.data(),
                                                         static_cast<unsigned long>(value.size()));
        if (n == static_cast<unsigned long>(-1)) return EscapeSqlOffline(value);
        out.resize(n);
        return out;
    }

    /// Runs a statement; returns its buffered result set, if it has one.
    MYSQL_RES* Query(const std::string& sql, ErrorState& err) {
        if (m_ == nullptr) {
            err.Raise(kErrObjectClosed, kTextObjectClosed);
            return nullptr;
        }
        if (mysql_real_query(m_, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
            Fail(err);
            return nullptr;
        }
        MYSQL_RES* res = mysql_store_result(m_);
        if (res == nullptr && mysql_field_count(m_) != 0) Fail(err);
        return res;
    }

    unsigned long long LastInsertId() const { return m_ != nullptr ? mysql_insert_id(m_) : 0; }

  private:
    void Fail(ErrorState& err) {
        const unsigned no = mysql_errno(m_);
        errors_.push_back(mysql_error(m_));
        err.Raise(no, mysql_error(m_));
        if (MeansConnectionLost(no)) {
            // The session is gone: show the connection closed, so the health
            // check and the callers' reconnection see it.
            mysql_close(m_);
            m_ = nullptr;
        }
    }

    MYSQL* m_ = nullptr;
    int timeout_ = MariaDbFactory::kDefaultConnectionTimeout;
    unsigned ioTimeout_;
    std::string cs_;
    std::vector<std::string> errors_;  // the provider's error list (never read by the logic)
};

/// A client-side recordset over a MariaDbConnection.
std::shared_ptr<DbRecordset> NewRecordset();

}  // namespace bw::mariadb
