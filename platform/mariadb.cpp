#include "platform/mariadb.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

namespace bw {

namespace {

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

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Errors after which the session is gone: the client lost the server, or the
// server ended the session.
bool MeansConnectionLost(unsigned no) {
    if (no == CR_COMMANDS_OUT_OF_SYNC) return false;
    if (no >= 2000 && no < 3000) return true;
    return no == ER_SERVER_SHUTDOWN || no == ER_CONNECTION_KILLED || no == 4031;
}

std::string QuoteIdent(const std::string& name) {
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

class MariaDbRecordset final : public DbRecordset {
  public:
    void SetActiveConnection(std::shared_ptr<DbConnection> conn, ErrorState& err) override {
        if (open_) {
            err.Raise(kErrObjectOpen, kTextObjectOpen);
            return;
        }
        if (!conn || conn->State() != DbConnection::kStateOpen) {
            conn_.reset();
            err.Raise(kErrBadConnection, kTextBadConnection);
            return;
        }
        conn_ = std::move(conn);
    }
    std::shared_ptr<DbConnection> ActiveConnection() const override { return conn_; }
    void SetSource(const std::string& sql) override { source_ = sql; }

    void Open(ErrorState& err) override {
        if (open_) {
            err.Raise(kErrObjectOpen, kTextObjectOpen);
            return;
        }
        auto* mc = dynamic_cast<MariaDbConnection*>(conn_.get());
        if (mc == nullptr) {
            err.Raise(kErrBadConnection, kTextBadConnection);
            return;
        }
        ErrorState local;
        MYSQL_RES* res = mc->Query(source_, local);
        if (local.Failed()) {
            if (res != nullptr) mysql_free_result(res);
            err.Raise(local.number, local.description);
            return;
        }
        if (res == nullptr) return;  // a statement without rows leaves the recordset closed
        Load(res);
        mysql_free_result(res);
        open_ = true;
    }

    bool IsOpen() const override { return open_; }

    long RecordCount() const override {
        if (!open_) return -1;
        return static_cast<long>(
            std::count_if(rows_.begin(), rows_.end(), [](const RowData& r) { return !r.deleted; }));
    }

    void MoveFirst(ErrorState& err) override {
        if (!Usable(err)) return;
        if (mode_ != Mode::kNone) Update(err);
        pos_ = NextLive(0);
        if (pos_ >= rows_.size()) err.Raise(kErrNoCurrentRow, kTextNoCurrentRow);
    }

    void MoveNext(ErrorState& err) override {
        if (!Usable(err)) return;
        if (pos_ >= rows_.size()) {
            err.Raise(kErrNoCurrentRow, kTextNoCurrentRow);
            return;
        }
        if (mode_ != Mode::kNone) Update(err);
        pos_ = NextLive(pos_ + 1);
    }

    bool Eof() const override { return !open_ || pos_ >= rows_.size(); }

    std::optional<std::string> Field(const std::string& name, ErrorState& err) const override {
        if (!open_) {
            err.Raise(kErrObjectClosed, kTextObjectClosed);
            return std::nullopt;
        }
        const int c = Column(name, err);
        if (c < 0) return std::nullopt;
        if (!OnRow()) {
            err.Raise(kErrNoCurrentRow, kTextNoCurrentRow);
            return std::nullopt;
        }
        return rows_[pos_].v[static_cast<std::size_t>(c)];
    }

    void SetField(const std::string& name, const std::optional<std::string>& value,
                  ErrorState& err) override {
        if (!Usable(err)) return;
        const int c = Column(name, err);
        if (c < 0) return;
        if (!OnRow()) {
            err.Raise(kErrNoCurrentRow, kTextNoCurrentRow);
            return;
        }
        if (mode_ == Mode::kNone) {
            mode_ = Mode::kEdit;
            original_ = rows_[pos_].v;
            dirty_.assign(cols_.size(), false);
        }
        rows_[pos_].v[static_cast<std::size_t>(c)] = value;
        dirty_[static_cast<std::size_t>(c)] = true;
    }

    void AddNew(ErrorState& err) override {
        if (!Usable(err)) return;
        if (mode_ != Mode::kNone) Update(err);
        rows_.push_back(RowData{std::vector<std::optional<std::string>>(cols_.size()), false});
        pos_ = rows_.size() - 1;
        mode_ = Mode::kAdd;
        dirty_.assign(cols_.size(), false);
    }

    void Update(ErrorState& err) override {
        if (!Usable(err)) return;
        if (mode_ == Mode::kNone) return;
        auto* mc = dynamic_cast<MariaDbConnection*>(conn_.get());
        ErrorState local;
        const std::string table = BaseTable(local);
        std::string sql;
        if (!local.Failed()) {
            sql = mode_ == Mode::kAdd ? InsertStatement(table) : UpdateStatement(table, local);
        }
        if (!local.Failed() && !sql.empty()) {
            if (mc == nullptr) {
                local.Raise(kErrBadConnection, kTextBadConnection);
            } else {
                mc->Execute(sql, local);
            }
        }
        if (local.Failed()) {
            // Nothing half done: a new row that was not stored disappears, a
            // changed row gets its old values back.
            if (mode_ == Mode::kAdd) {
                rows_.pop_back();
                pos_ = rows_.size();
            } else {
                rows_[pos_].v = original_;
            }
            mode_ = Mode::kNone;
            err.Raise(local.number, local.description);
            return;
        }
        if (mode_ == Mode::kAdd) {
            const int idc = IdColumn();
            if (idc >= 0 && !dirty_[static_cast<std::size_t>(idc)] && mc->LastInsertId() != 0) {
                rows_[pos_].v[static_cast<std::size_t>(idc)] = std::to_string(mc->LastInsertId());
            }
        }
        mode_ = Mode::kNone;
    }

    void Delete(ErrorState& err) override {
        if (!Usable(err)) return;
        if (!OnRow()) {
            err.Raise(kErrNoCurrentRow, kTextNoCurrentRow);
            return;
        }
        if (mode_ == Mode::kAdd) {
            rows_.pop_back();
            pos_ = rows_.size();
            mode_ = Mode::kNone;
            return;
        }
        if (mode_ == Mode::kEdit) {
            rows_[pos_].v = original_;
            mode_ = Mode::kNone;
        }
        ErrorState local;
        const std::string table = BaseTable(local);
        const std::string where = local.Failed() ? "" : RowKey(local);
        auto* mc = dynamic_cast<MariaDbConnection*>(conn_.get());
        if (!local.Failed() && mc == nullptr) local.Raise(kErrBadConnection, kTextBadConnection);
        if (!local.Failed()) mc->Execute("DELETE FROM " + table + where, local);
        if (local.Failed()) {
            err.Raise(local.number, local.description);
            return;
        }
        rows_[pos_].deleted = true;
    }

    void Close(ErrorState& err) override {
        if (!open_) {
            err.Raise(kErrObjectClosed, kTextObjectClosed);
            return;
        }
        open_ = false;
        cols_.clear();
        rows_.clear();
        pos_ = 0;
        mode_ = Mode::kNone;
    }

  private:
    enum class Mode { kNone, kEdit, kAdd };
    struct ColumnInfo {
        std::string name;     // as the result names it (alias)
        std::string orgName;  // the table's own column name
        std::string orgTable;
        std::string db;
    };
    struct RowData {
        std::vector<std::optional<std::string>> v;
        bool deleted = false;
    };

    void Load(MYSQL_RES* res) {
        cols_.clear();
        rows_.clear();
        const unsigned n = mysql_num_fields(res);
        const MYSQL_FIELD* f = mysql_fetch_fields(res);
        for (unsigned i = 0; i < n; ++i) {
            cols_.push_back({f[i].name ? f[i].name : "", f[i].org_name ? f[i].org_name : "",
                             f[i].org_table ? f[i].org_table : "", f[i].db ? f[i].db : ""});
        }
        while (MYSQL_ROW r = mysql_fetch_row(res)) {
            const unsigned long* len = mysql_fetch_lengths(res);
            RowData row;
            row.v.reserve(n);
            for (unsigned i = 0; i < n; ++i) {
                if (r[i] == nullptr) {
                    row.v.emplace_back(std::nullopt);
                } else {
                    row.v.emplace_back(std::string(r[i], len[i]));
                }
            }
            rows_.push_back(std::move(row));
        }
        pos_ = NextLive(0);
        mode_ = Mode::kNone;
    }

    bool Usable(ErrorState& err) const {
        if (open_) return true;
        err.Raise(kErrObjectClosed, kTextObjectClosed);
        return false;
    }
    bool OnRow() const { return pos_ < rows_.size() && !rows_[pos_].deleted; }
    std::size_t NextLive(std::size_t from) const {
        while (from < rows_.size() && rows_[from].deleted) ++from;
        return from;
    }

    int Column(const std::string& name, ErrorState& err) const {
        const std::string want = Lower(name);
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            if (Lower(cols_[i].name) == want) return static_cast<int>(i);
        }
        err.Raise(kErrUnknownField,
                  "Item cannot be found in the collection corresponding to the requested name "
                  "or ordinal: " +
                      name);
        return -1;
    }

    int IdColumn() const {
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            if (Lower(cols_[i].orgName) == "id") return static_cast<int>(i);
        }
        return -1;
    }

    // The one table the result comes from, quoted; rows of a join cannot be stored.
    std::string BaseTable(ErrorState& err) const {
        std::string table;
        std::string db;
        for (const auto& c : cols_) {
            if (c.orgTable.empty()) continue;
            if (table.empty()) {
                table = c.orgTable;
                db = c.db;
            } else if (c.orgTable != table || c.db != db) {
                table.clear();
                break;
            }
        }
        if (table.empty()) {
            err.Raise(kErrCannotStore, "The rows of this query cannot be stored back.");
            return "";
        }
        return db.empty() ? QuoteIdent(table) : QuoteIdent(db) + "." + QuoteIdent(table);
    }

    std::string Literal(const std::optional<std::string>& v) const {
        if (!v) return "NULL";
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + temporary.
        std::string literal(1, '\'');
        literal += conn_->Escape(*v);
        literal += '\'';
        return literal;
    }

    std::string InsertStatement(const std::string& table) const {
        std::string names;
        std::string values;
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            if (!dirty_[i] || cols_[i].orgName.empty()) continue;
            if (!names.empty()) {
                names += ",";
                values += ",";
            }
            names += QuoteIdent(cols_[i].orgName);
            values += Literal(rows_[pos_].v[i]);
        }
        return "INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")";
    }

    std::string RowKey(ErrorState& err) const {
        const int idc = IdColumn();
        if (idc < 0 || !OriginalValue(idc)) {
            err.Raise(kErrCannotStore, "The row cannot be identified: the query has no id column.");
            return "";
        }
        return " WHERE " + QuoteIdent(cols_[static_cast<std::size_t>(idc)].orgName) + "=" +
               Literal(OriginalValue(idc));
    }

    // The id the row had when it was read (an edit may have changed the column).
    std::optional<std::string> OriginalValue(int c) const {
        const auto i = static_cast<std::size_t>(c);
        if (mode_ == Mode::kEdit) return original_[i];
        return rows_[pos_].v[i];
    }

    std::string UpdateStatement(const std::string& table, ErrorState& err) const {
        const std::string where = RowKey(err);
        if (err.Failed()) return "";
        std::string sets;
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            if (!dirty_[i] || cols_[i].orgName.empty()) continue;
            if (!sets.empty()) sets += ",";
            sets += QuoteIdent(cols_[i].orgName) + "=" + Literal(rows_[pos_].v[i]);
        }
        if (sets.empty()) return "";  // nothing changed: nothing to store
        return "UPDATE " + table + " SET " + sets + where;
    }

    std::shared_ptr<DbConnection> conn_;
    std::string source_;
    bool open_ = false;
    std::vector<ColumnInfo> cols_;
    std::vector<RowData> rows_;
    std::size_t pos_ = 0;
    Mode mode_ = Mode::kNone;
    std::vector<bool> dirty_;
    std::vector<std::optional<std::string>> original_;
};

}  // namespace

DbConnectParams ParseConnectionString(const std::string& cs) {
    DbConnectParams p;
    std::size_t i = 0;
    while (i < cs.size()) {
        const std::size_t eq = cs.find('=', i);
        const std::size_t semi = cs.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            // A piece without "=" carries nothing.
            if (semi == std::string::npos) break;
            i = semi + 1;
            continue;
        }
        const std::string key = Lower(Trim(cs.substr(i, eq - i)));
        std::size_t j = eq + 1;
        while (j < cs.size() && (cs[j] == ' ' || cs[j] == '\t')) ++j;
        std::string value;
        if (j < cs.size() && cs[j] == '{') {
            ++j;
            bool closed = false;
            while (j < cs.size()) {
                if (cs[j] == '}') {
                    if (j + 1 < cs.size() && cs[j + 1] == '}') {
                        value += '}';
                        j += 2;
                        continue;
                    }
                    ++j;
                    closed = true;
                    break;
                }
                value += cs[j++];
            }
            if (!closed)
                p.error = "Invalid connection string: unclosed \"{\" in the value of " + key;
            const std::size_t next = cs.find(';', j);
            i = next == std::string::npos ? cs.size() : next + 1;
        } else {
            const std::size_t end = cs.find(';', j);
            value = Trim(cs.substr(j, end == std::string::npos ? std::string::npos : end - j));
            i = end == std::string::npos ? cs.size() : end + 1;
        }
        if (key == "server" || key == "host" || key == "data source") {
            p.host = value;
        } else if (key == "port") {
            unsigned port = 0;
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (value.empty()) {
                port = 0;
            } else if (ec != std::errc() || ptr != value.data() + value.size() || port > 65535) {
                p.error = "Invalid connection string: PORT=" + value + " is not a port number";
            }
            p.port = port;
        } else if (key == "database" || key == "db" || key == "initial catalog") {
            p.database = value;
        } else if (key == "uid" || key == "user" || key == "user id") {
            p.user = value;
        } else if (key == "pwd" || key == "password") {
            p.password = value;
        } else if (key == "socket") {
            p.socket = value;
        } else if (key == "charset") {
            if (!value.empty()) p.charset = value;
        }
    }
    return p;
}

std::string EscapeSqlOffline(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 8);
    for (char c : value) {
        switch (c) {
            case '\0':
                out += "\\0";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\x1a':
                out += "\\Z";
                break;
            case '\\':
            case '\'':
            case '"':
                out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::shared_ptr<DbConnection> MariaDbFactory::NewConnection() {
    return std::make_shared<MariaDbConnection>(ioTimeout_);
}

std::shared_ptr<DbRecordset> MariaDbFactory::NewRecordset() {
    return std::make_shared<MariaDbRecordset>();
}

}  // namespace bw
