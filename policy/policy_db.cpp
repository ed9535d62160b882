#include "policy/policy_db.h"

#include "platform/mariadb.h"

namespace bw {

namespace {
constexpr long kNoObject = 91;  // the shared object is not there

bool Missing(const std::shared_ptr<DbRecordset>& rs, ErrorState& err) {
    if (rs) return false;
    err.Raise(kNoObject, "no shared recordset");
    return true;
}
}  // namespace

std::string PolicyDb::Quote(const std::string& value) const {
    // Never unescaped: without a live connection the statement fails anyway,
    // but its text must not be broken open by the value.
    return session.conn ? session.conn->Escape(value) : EscapeSqlOffline(value);
}

void PolicyDb::Open(const std::string& sql, ErrorState& err) {
    if (Missing(session.rs, err)) return;
    session.rs->SetSource(sql);
    session.rs->Open(err);
}

void PolicyDb::Close(ErrorState& err) {
    if (!Missing(session.rs, err)) session.rs->Close(err);
}

std::optional<std::string> PolicyDb::Field(const std::string& name, ErrorState& err) {
    if (Missing(session.rs, err)) return std::nullopt;
    ErrorState local;
    auto v = session.rs->Field(name, local);
    if (local.Failed()) {
        err.Raise(local.number, local.description);
        return std::nullopt;
    }
    return v;
}

void PolicyDb::SetField(const std::string& name, const std::string& value, ErrorState& err) {
    if (!Missing(session.rs, err)) session.rs->SetField(name, value, err);
}

}  // namespace bw
