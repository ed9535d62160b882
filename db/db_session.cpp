#include "db/db_session.h"

#include "platform/mariadb.h"

namespace bw {

namespace {

void RaiseUnusable(ErrorState& err) {
    err.Raise(3709, "The connection cannot be used to perform this operation.");
}

}  // namespace

std::string DbSession::PrimaryString() const {
    return connectStrings_.GetDBConnect("");
}

bool DbSession::IsOpen() const {
    return conn_ && conn_->State() == DbConnection::kStateOpen;
}

std::optional<std::string> DbSession::ConnectionString() const {
    if (!conn_) return std::nullopt;
    return conn_->ConnectionString();
}

bool DbSession::ReconnectFresh() {
    if (IsOpen()) return true;
    conn_.reset();
    if (factory_ == nullptr) return false;
    conn_ = factory_->NewConnection();
    conn_->SetConnectionString(PrimaryString());
    ErrorState ignored;
    conn_->Open(ignored);
    return IsOpen();
}

bool DbSession::ReconnectReset() {
    if (IsOpen()) return true;
    if (!conn_) return false;
    ErrorState ignored;
    conn_->Close(ignored);
    conn_->SetConnectionString(PrimaryString());
    conn_->Open(ignored);
    return IsOpen();
}

bool DbSession::ReconnectReopen(ErrorState& lastError) {
    if (IsOpen()) return true;
    if (!conn_) {
        lastError.Raise(91, "No database connection object (object variable not set).");
        return false;
    }
    ErrorState closeError;  // closing a closed connection fails; that is expected
    conn_->Close(closeError);
    ErrorState openError;
    conn_->Open(openError);
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
    conn_->Execute(kDBProbe, err);
    conn_->ClearErrors();
    if (!err.Failed()) return true;
    // Open but useless: closed, so nothing else takes it for working.
    ErrorState ignored;
    conn_->Close(ignored);
    return false;
}

bool DbSession::OpenPrimary(int timeoutSeconds, ErrorState& err) {
    if (factory_ == nullptr) return false;
    conn_ = factory_->NewConnection();
    conn_->SetConnectionTimeout(timeoutSeconds);
    conn_->ClearErrors();
    conn_->SetConnectionString(PrimaryString());
    conn_->Open(err);
    return !err.Failed() && Answers(err);
}

int DbSession::OpenAlternative() {
    for (int i = 1; factory_ != nullptr && i <= kMaxAlternativeDB && !IsOpen(); ++i) {
        const std::string cs = connectStrings_.GetDBConnect(std::to_string(i));
        if (cs.empty()) break;
        conn_.reset();
        ErrorState err;
        conn_ = factory_->NewConnection();
        conn_->SetConnectionString(cs);
        conn_->Open(err);
        if (IsOpen() && Answers(err)) return i;
    }
    return 0;
}

bool DbSession::Connect(const std::string& connectionString, ErrorState& err) {
    if (factory_ == nullptr) {
        RaiseUnusable(err);
        return false;
    }
    conn_ = factory_->NewConnection();
    conn_->SetConnectionString(connectionString);
    conn_->Open(err);
    RebuildRecordset();
    return IsOpen();
}

bool DbSession::KeepIfAnswering() {
    ErrorState err;
    if (conn_) {
        conn_->Execute(kDBProbe, err);
        conn_->ClearErrors();
    }
    if (!IsOpen() || err.Failed()) CloseConnection();
    return conn_ != nullptr;
}

bool DbSession::PrimaryAnswers(int timeoutSeconds, ErrorState& err) {
    if (factory_ == nullptr) return false;
    auto probe = factory_->NewConnection();
    probe->SetConnectionTimeout(timeoutSeconds);
    probe->ClearErrors();
    probe->SetConnectionString(PrimaryString());
    probe->Open(err);
    if (probe->State() == DbConnection::kStateOpen) probe->Execute(kDBProbe, err);
    const bool answered = probe->State() == DbConnection::kStateOpen && !err.Failed();
    ErrorState ignored;
    if (probe->State() == DbConnection::kStateOpen) probe->Close(ignored);
    return answered;
}

void DbSession::CloseConnection() {
    ErrorState ignored;
    if (conn_) conn_->Close(ignored);
    conn_.reset();
}

void DbSession::Execute(const std::string& sql, ErrorState& err) {
    if (!conn_) {
        RaiseUnusable(err);
        return;
    }
    conn_->Execute(sql, err);
}

std::string DbSession::Escape(const std::string& value) const {
    return conn_ ? conn_->Escape(value) : EscapeSqlOffline(value);
}

std::vector<std::optional<std::string>> DbSession::ReadColumn(const std::string& sql,
                                                              const std::string& column,
                                                              ErrorState& err) {
    std::vector<std::optional<std::string>> values;
    if (factory_ == nullptr || !IsOpen()) {
        RaiseUnusable(err);
        return values;
    }
    auto rs = factory_->NewRecordset();
    rs->SetActiveConnection(conn_, err);
    rs->SetSource(sql);
    if (!err.Failed()) rs->Open(err);
    while (!err.Failed() && !rs->Eof()) {
        values.push_back(rs->Field(column, err));
        rs->MoveNext(err);
    }
    ErrorState ignored;
    if (rs->IsOpen()) rs->Close(ignored);
    return values;
}

void DbSession::RebuildRecordset() {
    if (factory_ != nullptr) rs_.Rebuild(*factory_, conn_);
}

}  // namespace bw
