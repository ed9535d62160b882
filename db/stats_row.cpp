#include "db/stats_row.h"

#include "db/db_session.h"

namespace bw {

bool EnsureStatsRow(DbSession& session, const std::string& tarnId, bool& made, ErrorState& err) {
    made = false;
    if (!session.IsOpen()) {
        err.Raise(3709, "The connection cannot be used to perform this operation.");
        return false;
    }
    const std::string id = "'" + session.Escape(tarnId) + "'";
    const auto rows =
        session.ReadColumn("SELECT tarnid FROM tbl_stats WHERE tarnid = " + id, "tarnid", err);
    if (err.Failed()) return false;
    if (!rows.empty()) return true;
    // As the audit's write-back makes it: never a second row, whoever runs.
    session.Execute("INSERT INTO tbl_stats (tarnid) SELECT " + id +
                        " FROM DUAL WHERE NOT EXISTS (SELECT * FROM tbl_stats WHERE tarnid = " +
                        id + ")",
                    err);
    made = !err.Failed();
    return made;
}

}  // namespace bw
