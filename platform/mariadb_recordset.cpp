#include <algorithm>
#include <optional>
#include <vector>

#include "platform/mariadb_connection.h"

namespace bw::mariadb {

namespace {

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
        const std::string want = LowerAscii(name);
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            if (LowerAscii(cols_[i].name) == want) return static_cast<int>(i);
        }
        err.Raise(kErrUnknownField,
                  "Item cannot be found in the collection corresponding to the requested name "
                  "or ordinal: " +
                      name);
        return -1;
    }

    int IdColumn() const {
        for (std::size_t i = 0; i < cols_.size(); ++i) {
            if (LowerAscii(cols_[i].orgName) == "id") return static_cast<int>(i);
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

std::shared_ptr<DbRecordset> NewRecordset() {
    return std::make_shared<MariaDbRecordset>();
}

}  // namespace bw::mariadb
