#include "db/reconnect.h"

#include "db/connect_string.h"
#include "host/globals.h"
#include "platform/db.h"

namespace bw {

namespace {

bool IsOpen() {
    return G().oDBConn && G().oDBConn->State() == DbConnection::kStateOpen;
}

void RaiseNoConnection(ErrorState& err) {
    err.Raise(91, "No database connection object (object variable not set).");
}

}  // namespace

bool ReconnectFresh() {
    if (IsOpen()) return true;
    Globals& g = G();
    g.oDBConn.reset();
    if (g.dbFactory == nullptr) return false;
    g.oDBConn = g.dbFactory->NewConnection();
    g.oDBConn->SetConnectionString(GetDBConnect(""));
    ErrorState ignored;
    g.oDBConn->Open(ignored);
    return IsOpen();
}

bool ReconnectReset() {
    if (IsOpen()) return true;
    Globals& g = G();
    if (!g.oDBConn) return false;
    ErrorState ignored;
    g.oDBConn->Close(ignored);
    g.oDBConn->SetConnectionString(GetDBConnect(""));
    g.oDBConn->Open(ignored);
    return IsOpen();
}

bool ReconnectReopen(ErrorState& lastError) {
    if (IsOpen()) return true;
    Globals& g = G();
    if (!g.oDBConn) {
        RaiseNoConnection(lastError);
        return false;
    }
    ErrorState closeError;  // closing a closed connection fails; that is expected
    g.oDBConn->Close(closeError);
    ErrorState openError;
    g.oDBConn->Open(openError);
    if (openError.Failed()) {
        lastError.Clear();
        lastError.Raise(openError.number, openError.description);
    }
    return IsOpen();
}

bool ReconnectReopen() {
    ErrorState ignored;
    return ReconnectReopen(ignored);
}

}  // namespace bw
