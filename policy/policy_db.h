// Small helpers the policy members share for the shared recordset oDBRS:
// opening a source, reading a column as text or number, quoting a value.
// Every call reports into the caller's ErrorState; none throws. A missing
// oDBRS (the health check has not built one yet) counts as a failed call.
#pragma once

#include <optional>
#include <string>

#include "platform/db.h"
#include "platform/error_state.h"

namespace bw {

/// True when oDBConn exists and is open.
bool PolicyDbOpen();
/// Escapes a value for a quoted SQL literal on oDBConn.
std::string Quote(const std::string& value);
/// Sets the source of oDBRS and opens it (the error state is not cleared here).
void OpenShared(const std::string& sql, ErrorState& err);
/// Closes oDBRS when it exists; a failure goes into err.
void CloseShared(ErrorState& err);

/// Column text of oDBRS's current row; nullopt for NULL or a failed read
/// (which is recorded in err).
std::optional<std::string> FieldText(const std::string& name, ErrorState& err);
/// Writes a column of oDBRS's current row.
void SetFieldText(const std::string& name, const std::string& value, ErrorState& err);

}  // namespace bw
