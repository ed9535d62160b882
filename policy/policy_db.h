// PolicyDb: what the policy store does with the shared recordset of its
// database session: opening a source, reading a column as text, writing one,
// quoting a value. Every call reports into the caller's ErrorState; none
// throws. A missing recordset (the health check has not built one yet)
// counts as a failed call.
#pragma once

#include <optional>
#include <string>

#include "db/db_session.h"
#include "platform/error_state.h"

namespace bw {

class PolicyDb {
  public:
    explicit PolicyDb(DbSession& session) : session(session) {}

    /// True when the connection exists and is open.
    bool IsOpen() const { return session.IsOpen(); }
    /// Escapes a value for a quoted SQL literal on the connection.
    std::string Quote(const std::string& value) const;
    /// Sets the source of the recordset and opens it (err is not cleared here).
    void Open(const std::string& sql, ErrorState& err);
    /// Closes the recordset when it exists; a failure goes into err.
    void Close(ErrorState& err);
    /// Column text of the current row; nullopt for NULL or a failed read
    /// (which is recorded in err).
    std::optional<std::string> Field(const std::string& name, ErrorState& err);
    /// Writes a column of the current row.
    void SetField(const std::string& name, const std::string& value, ErrorState& err);

    DbSession& session;
};

}  // namespace bw
