#include "db/stats_row.h"

#include "db/db_session.h"
#include "platform/db.h"

namespace bw {

bool EnsureStatsRow(DbSession& session, const std::string& tarnId, bool& made, ErrorState& err) {
    made = false;
    if (session.factory == nullptr || !session.IsOpen()) {
        err.Raise(3709, "The connection cannot be used to perform this operation.");
        return false;
    }
    const std::string id = "'" + session.conn->Escape(tarnId) + "'";
    auto rs = session.factory->NewRecordset();
    rs->SetActiveConnection(session.conn, err);
    rs->SetSource("SELECT tarnid FROM tbl_stats WHERE tarnid = " + id);
    if (!err.Failed()) rs->Open(err);
    if (err.Failed()) return false;
    const bool there = !rs->Eof();
    ErrorState ignored;
    rs->Close(ignored);
    if (there) return true;
    // As the audit's write-back makes it: never a second row, whoever runs.
    session.conn->Execute("INSERT INTO tbl_stats (tarnid) SELECT " + id +
                              " FROM DUAL WHERE NOT EXISTS (SELECT * FROM tbl_stats WHERE "
                              "tarnid = " +
                              id + ")",
                          err);
    made = !err.Failed();
    return made;
}

}  // namespace bw
