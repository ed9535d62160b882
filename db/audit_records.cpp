#include "db/audit_records.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "db/db_session.h"

namespace bw {

namespace {

std::string Escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

constexpr const char* kInsertHead =
    "INSERT INTO tbl_minilog (ipaddress, timestamp, mailfrom, mailto, action) VALUES ";

// The net change of one column of one installation over a batch.
struct StatsSum {
    std::string tarnId;
    std::string field;
    bool absolute = false;  // `value` is the column's new value, else what is added
    long long value = 0;
    long long firstSeq = 0;
    long long lastSeq = 0;
};

// Collects a batch: minilog rows into INSERTs as they come, counts into sums.
class BatchBuilder {
  public:
    explicit BatchBuilder(const DbSession& db) : db_(db) {}

    bool Add(const SpoolRecord& r) {
        const auto& f = r.fields;
        if (f.size() != 7) return false;
        if (f[1] == "M") {
            AddRow(r);
            return true;
        }
        long long amount = 0;
        long long absolute = 0;
        if (f[1] != "S" || !ParseSpoolInt(f[5], amount) || !ParseSpoolInt(f[6], absolute) ||
            !IsPlainColumnName(f[4])) {
            return false;
        }
        auto [it, fresh] = index_.try_emplace({f[3], f[4]}, sums_.size());
        if (fresh) sums_.push_back({f[3], f[4], false, 0, r.seq, r.seq});
        StatsSum& s = sums_[it->second];
        if (absolute != 0) {
            s.absolute = true;
            s.value = amount;
        } else {
            s.value += amount;
        }
        s.lastSeq = r.seq;
        return true;
    }

    std::vector<AuditStatement> Finish() {
        EndInsert();
        std::set<std::string> rowMade;
        for (const auto& s : sums_) {
            const std::string id = "'" + db_.Escape(s.tarnId) + "'";
            // A new installation has no row yet: made here, so no count is lost.
            if (rowMade.insert(s.tarnId).second) {
                out_.push_back({"INSERT INTO tbl_stats (tarnid) SELECT " + id +
                                    " FROM DUAL WHERE NOT EXISTS (SELECT * FROM tbl_stats WHERE "
                                    "tarnid = " +
                                    id + ")",
                                s.firstSeq, s.lastSeq});
            }
            const std::string set =
                s.absolute ? std::to_string(s.value) : s.field + "+" + std::to_string(s.value);
            out_.push_back({"UPDATE tbl_stats SET " + s.field + "=" + set + " WHERE tarnid = " + id,
                            s.firstSeq, s.lastSeq});
        }
        return std::move(out_);
    }

  private:
    void AddRow(const SpoolRecord& r) {
        const auto& f = r.fields;
        if (rows_ == 0) {
            insert_ = {kInsertHead, r.seq, r.seq};
        } else {
            insert_.sql += ", ";
        }
        insert_.sql += "('" + db_.Escape(f[3]) + "', '" + db_.Escape(f[2]) + "', '" +
                       db_.Escape(f[4]) + "', '" + db_.Escape(f[5]) + "', '" + db_.Escape(f[6]) +
                       "')";
        insert_.lastSeq = r.seq;
        if (++rows_ >= kAuditRowsPerInsert || insert_.sql.size() >= kAuditInsertBytes) EndInsert();
    }

    void EndInsert() {
        if (rows_ == 0) return;
        out_.push_back(std::move(insert_));
        rows_ = 0;
    }

    const DbSession& db_;
    std::vector<AuditStatement> out_;
    AuditStatement insert_;
    int rows_ = 0;
    std::vector<StatsSum> sums_;
    std::map<std::pair<std::string, std::string>, std::size_t> index_;
};

}  // namespace

bool IsPlainColumnName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    }
    return true;
}

std::string SpoolLine(long long seq, const std::vector<std::string>& fields) {
    std::string line = std::to_string(seq);
    for (const auto& f : fields) {
        // Piece by piece: GCC 12 -O3 warns falsely (-Wrestrict) on "\t" + temporary.
        line += '\t';
        line += Escape(f);
    }
    line += '\n';
    return line;
}

std::vector<std::string> SplitSpoolFields(const std::string& line) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            out.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char n = line[++i];
            out.back() += n == 't' ? '\t' : n == 'r' ? '\r' : n == 'n' ? '\n' : n;
        } else {
            out.back() += c;
        }
    }
    return out;
}

bool ParseSpoolInt(const std::string& s, long long& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

std::vector<SpoolRecord> SpoolRecordsOf(const std::string& text, int max) {
    std::vector<SpoolRecord> records;
    std::size_t start = 0;
    for (std::size_t p; static_cast<int>(records.size()) < max &&
                        (p = text.find('\n', start)) != std::string::npos;
         start = p + 1) {
        SpoolRecord r;
        r.line = text.substr(start, p - start);
        r.fields = SplitSpoolFields(r.line);
        if (r.fields.empty() || !ParseSpoolInt(r.fields[0], r.seq)) r.seq = 0;
        r.end = static_cast<std::int64_t>(p + 1);
        records.push_back(std::move(r));
    }
    return records;
}

double SpoolRecordWhen(const std::string& text) {
    const auto fields = SplitSpoolFields(text.substr(0, text.find('\n')));
    return fields.size() > 2 ? std::strtod(fields[2].c_str(), nullptr) : 0;
}

std::vector<AuditStatement> AuditStatements(const std::vector<SpoolRecord>& batch, long long mark,
                                            const DbSession& db,
                                            std::vector<std::string>& skipped) {
    BatchBuilder builder(db);
    for (const auto& r : batch) {
        if (r.seq <= mark) continue;
        if (!builder.Add(r)) skipped.push_back(r.line);
    }
    return builder.Finish();
}

}  // namespace bw
