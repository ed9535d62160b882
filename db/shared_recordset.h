// SharedRecordset: the one recordset the database session shares, as its
// users walk it: open a source, move along the rows, read and write columns,
// add, store and delete rows, close. The session builds it on its connection
// (DbSession::RebuildRecordset) and lets it go; its users only move it.
// Every call reports into the caller's ErrorState and none throws. A missing
// recordset (none built yet, or let go after a failure) fails every call
// that takes an ErrorState (91) and reads as closed: no rows, at the end.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/db.h"
#include "platform/error_state.h"

namespace bw {

class SharedRecordset {
  public:
    /// True when the session has built one (and not let it go since).
    bool Exists() const { return rs_ != nullptr; }
    /// Sets the source and opens it (err is not cleared here).
    void Open(const std::string& sql, ErrorState& err);
    /// Closes it; closing a closed recordset fails, into err.
    void Close(ErrorState& err);
    /// Closes it (errors ignored) and lets it go.
    void Drop();

    /// Rows of the open source; -1 while closed or missing.
    long RecordCount() const;
    /// No current row (past the last, closed, missing).
    bool Eof() const;
    void MoveFirst(ErrorState& err);
    void MoveNext(ErrorState& err);

    /// Column text of the current row; nullopt for NULL or a failed read
    /// (which is recorded in err).
    std::optional<std::string> Field(const std::string& name, ErrorState& err) const;
    /// Writes a column of the current (or new) row.
    void SetField(const std::string& name, const std::string& value, ErrorState& err);
    /// Starts a new row; Update stores it.
    void AddNew(ErrorState& err);
    /// Stores the new or changed current row.
    void Update(ErrorState& err);
    /// Deletes the current row.
    void Delete(ErrorState& err);

  private:
    friend class DbSession;
    /// Drops the one it has and takes a new one from `factory`, bound to
    /// `conn` (a binding that fails leaves it unbound; the failure is ignored).
    void Rebuild(DbFactory& factory, const std::shared_ptr<DbConnection>& conn);
    /// The recordset, or nullptr after raising 91 into err.
    DbRecordset* Get(ErrorState& err) const;

    std::shared_ptr<DbRecordset> rs_;
};

}  // namespace bw
