#include "db/audit_writeback.h"

#include "db/db_session.h"

namespace bw {

namespace {

constexpr const char* kMarkTable =
    "CREATE TABLE IF NOT EXISTS tbl_auditmark ("
    "id INT NOT NULL AUTO_INCREMENT PRIMARY KEY, "
    "spoolid VARCHAR(64) NOT NULL DEFAULT '', "
    "lastseq BIGINT NOT NULL DEFAULT 0, "
    "UNIQUE KEY spoolid (spoolid)) ENGINE=InnoDB DEFAULT CHARSET=latin1";

long long ReadMark(DbSession& db, const std::string& spoolId, ErrorState& err) {
    const auto values = db.ReadColumn(
        "SELECT lastseq FROM tbl_auditmark WHERE spoolid = '" + db.Escape(spoolId) + "' FOR UPDATE",
        "lastseq", err);
    long long mark = 0;
    if (!values.empty() && values.front()) ParseSpoolInt(*values.front(), mark);
    return mark;
}

// Starts the transaction and reads the mark in it (making the mark table on
// an installation whose schema predates it).
long long BeginBatch(DbSession& db, const std::string& spoolId, ErrorState& err) {
    db.Execute("START TRANSACTION", err);
    long long mark = 0;
    if (!err.Failed()) mark = ReadMark(db, spoolId, err);
    if (err.number == 1146 && db.IsOpen()) {
        err.Clear();
        ErrorState ignored;
        db.Execute("ROLLBACK", ignored);
        db.Execute(kMarkTable, err);
        if (!err.Failed()) db.Execute("START TRANSACTION", err);
        if (!err.Failed()) mark = ReadMark(db, spoolId, err);
    }
    return mark;
}

}  // namespace

bool WriteSpoolBatch(DbSession& db, const std::string& spoolId,
                     const std::vector<SpoolRecord>& batch, SpoolWriteback& state,
                     const std::function<void(const std::string&)>& warn) {
    ErrorState err;
    const long long mark = BeginBatch(db, spoolId, err);
    AuditStatement refused;
    if (!err.Failed()) {
        std::vector<std::string> skipped;
        for (const auto& st : AuditStatements(batch, mark, db, skipped)) {
            db.Execute(st.sql, err);
            if (err.Failed()) {
                refused = st;
                break;
            }
        }
        for (const auto& line : skipped) {
            warn("a line that is no record was skipped: " + line.substr(0, 200));
        }
    }
    const long long last = batch.back().seq > mark ? batch.back().seq : mark;
    if (!err.Failed()) {
        db.Execute("INSERT INTO tbl_auditmark (spoolid, lastseq) VALUES ('" + db.Escape(spoolId) +
                       "', " + std::to_string(last) +
                       ") ON DUPLICATE KEY UPDATE lastseq = " + std::to_string(last),
                   err);
    }
    if (!err.Failed()) db.Execute("COMMIT", err);
    if (!err.Failed()) return true;
    ErrorState ignored;
    if (db.IsOpen()) db.Execute("ROLLBACK", ignored);
    // A deadlock, a lock wait time-out or a cluster's certification conflict
    // (reported as a deadlock): the whole batch is tried again later.
    if (err.number == 1213 || err.number == 1205) {
        ++state.retried;
        return false;
    }
    if (db.IsOpen() && refused.firstSeq != 0 && refused.firstSeq != state.lastRefused) {
        // The server answered and said no: these records hold the spool.
        state.lastRefused = refused.firstSeq;
        const std::string which = refused.lastSeq == refused.firstSeq
                                      ? "record " + std::to_string(refused.firstSeq)
                                      : "records " + std::to_string(refused.firstSeq) + " to " +
                                            std::to_string(refused.lastSeq);
        warn("the database refuses " + which + " (" + std::to_string(err.number) + " " +
             err.description + "); they and the records behind them wait in the spool");
    }
    return false;
}

}  // namespace bw
