// The tbl_stats row of an installation, made ahead of its first count (by
// `bwtarnout --init`): the daemon makes it at its first count too, but the
// policy tool's greylist counters need it before.
// DIAGNOSTICS: a statement that fails returns false with the database's error.
#pragma once

#include <string>

#include "platform/error_state.h"

namespace bw {

class DbSession;

/// Makes the tbl_stats row of `tarnId` when there is none; `made` says
/// whether it was made now. The session's connection must be open.
bool EnsureStatsRow(DbSession& session, const std::string& tarnId, bool& made, ErrorState& err);

}  // namespace bw
