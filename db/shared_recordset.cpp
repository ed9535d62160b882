#include "db/shared_recordset.h"

namespace bw {

namespace {
constexpr long kNoObject = 91;  // the shared object is not there
}  // namespace

DbRecordset* SharedRecordset::Get(ErrorState& err) const {
    if (!rs_) err.Raise(kNoObject, "no shared recordset");
    return rs_.get();
}

void SharedRecordset::Rebuild(DbFactory& factory, const std::shared_ptr<DbConnection>& conn) {
    Drop();
    rs_ = factory.NewRecordset();
    ErrorState ignored;
    rs_->SetActiveConnection(conn, ignored);
}

void SharedRecordset::Open(const std::string& sql, ErrorState& err) {
    DbRecordset* rs = Get(err);
    if (rs == nullptr) return;
    rs->SetSource(sql);
    rs->Open(err);
}

void SharedRecordset::Close(ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->Close(err);
}

void SharedRecordset::Drop() {
    ErrorState ignored;
    if (rs_) rs_->Close(ignored);
    rs_.reset();
}

long SharedRecordset::RecordCount() const {
    return rs_ ? rs_->RecordCount() : -1;
}

bool SharedRecordset::Eof() const {
    return !rs_ || rs_->Eof();
}

void SharedRecordset::MoveFirst(ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->MoveFirst(err);
}

void SharedRecordset::MoveNext(ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->MoveNext(err);
}

std::optional<std::string> SharedRecordset::Field(const std::string& name, ErrorState& err) const {
    const DbRecordset* rs = Get(err);
    if (rs == nullptr) return std::nullopt;
    ErrorState local;
    auto v = rs->Field(name, local);
    if (local.Failed()) {
        err.Raise(local.number, local.description);
        return std::nullopt;
    }
    return v;
}

void SharedRecordset::SetField(const std::string& name, const std::string& value, ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->SetField(name, value, err);
}

void SharedRecordset::AddNew(ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->AddNew(err);
}

void SharedRecordset::Update(ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->Update(err);
}

void SharedRecordset::Delete(ErrorState& err) {
    if (DbRecordset* rs = Get(err)) rs->Delete(err);
}

}  // namespace bw
