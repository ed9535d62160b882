#include "db/db_session.h"

namespace bw {

bool DbSession::IsOpen() const {
    return conn && conn->State() == DbConnection::kStateOpen;
}

bool DbSession::ReconnectFresh() {
    if (IsOpen()) return true;
    conn.reset();
    if (factory == nullptr) return false;
    conn = factory->NewConnection();
    conn->SetConnectionString(connectStrings.GetDBConnect(""));
    ErrorState ignored;
    conn->Open(ignored);
    return IsOpen();
}

bool DbSession::ReconnectReset() {
    if (IsOpen()) return true;
    if (!conn) return false;
    ErrorState ignored;
    conn->Close(ignored);
    conn->SetConnectionString(connectStrings.GetDBConnect(""));
    conn->Open(ignored);
    return IsOpen();
}

bool DbSession::ReconnectReopen(ErrorState& lastError) {
    if (IsOpen()) return true;
    if (!conn) {
        lastError.Raise(91, "No database connection object (object variable not set).");
        return false;
    }
    ErrorState closeError;  // closing a closed connection fails; that is expected
    conn->Close(closeError);
    ErrorState openError;
    conn->Open(openError);
    if (openError.Failed()) {
        lastError.Clear();
        lastError.Raise(openError.number, openError.description);
    }
    return IsOpen();
}

bool DbSession::ReconnectReopen() {
    ErrorState ignored;
    return ReconnectReopen(ignored);
}

bool DbSession::Answers(ErrorState& err) {
    if (!IsOpen()) {
        if (!err.Failed()) err.Raise(3704, "The connection is closed.");
        return false;
    }
    conn->Execute(kDBProbe, err);
    conn->ClearErrors();
    if (!err.Failed()) return true;
    // Open but useless: closed, so nothing else takes it for working.
    ErrorState ignored;
    conn->Close(ignored);
    return false;
}

bool DbSession::OpenPrimary(int timeoutSeconds, ErrorState& err) {
    if (factory == nullptr) return false;
    conn = factory->NewConnection();
    conn->SetConnectionTimeout(timeoutSeconds);
    conn->ClearErrors();
    conn->SetConnectionString(connectStrings.GetDBConnect(""));
    conn->Open(err);
    return !err.Failed() && Answers(err);
}

int DbSession::OpenAlternative() {
    for (int i = 1; factory != nullptr && i <= kMaxAlternativeDB && !IsOpen(); ++i) {
        const std::string cs = connectStrings.GetDBConnect(std::to_string(i));
        if (cs.empty()) break;
        conn.reset();
        ErrorState err;
        conn = factory->NewConnection();
        conn->SetConnectionString(cs);
        conn->Open(err);
        if (IsOpen() && Answers(err)) return i;
    }
    return 0;
}

}  // namespace bw
