#include "policy/policy_db.h"

#include "host/globals.h"
#include "platform/mariadb.h"

namespace bw {

namespace {
constexpr long kNoObject = 91;  // the shared object is not there
}

bool PolicyDbOpen() {
    return G().db.conn && G().db.conn->State() == DbConnection::kStateOpen;
}

std::string Quote(const std::string& value) {
    // Never unescaped: without a live connection the statement fails anyway,
    // but its text must not be broken open by the value.
    return G().db.conn ? G().db.conn->Escape(value) : EscapeSqlOffline(value);
}

void OpenShared(const std::string& sql, ErrorState& err) {
    if (!G().db.rs) {
        err.Raise(kNoObject, "no shared recordset");
        return;
    }
    G().db.rs->SetSource(sql);
    G().db.rs->Open(err);
}

void CloseShared(ErrorState& err) {
    if (!G().db.rs) {
        err.Raise(kNoObject, "no shared recordset");
        return;
    }
    G().db.rs->Close(err);
}

std::optional<std::string> FieldText(const std::string& name, ErrorState& err) {
    if (!G().db.rs) {
        err.Raise(kNoObject, "no shared recordset");
        return std::nullopt;
    }
    ErrorState local;
    auto v = G().db.rs->Field(name, local);
    if (local.Failed()) {
        err.Raise(local.number, local.description);
        return std::nullopt;
    }
    return v;
}

void SetFieldText(const std::string& name, const std::string& value, ErrorState& err) {
    if (!G().db.rs) {
        err.Raise(kNoObject, "no shared recordset");
        return;
    }
    G().db.rs->SetField(name, value, err);
}

}  // namespace bw
