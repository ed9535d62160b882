// The audit spool's records: their line format in the spool file and the
// statements that write a batch of them back to the database.
//
// A record is one line: its sequence number, its kind ("M" a minilog row, "S"
// a statistics change), the time it was meant for, then the kind's fields;
// fields are separated by tabs, and a backslash, tab, CR or LF inside a field
// is written as \\, \t, \r, \n.
//
// A batch goes to the database as few statements as it can: its minilog rows
// as multi-row INSERTs (in their order, so the table's ids follow the order of
// events), and its statistics changes summed per installation and column into
// one UPDATE each, after an INSERT that makes the installation's row when it
// is missing (a new installation), so no count is lost. An absolute value
// ends the sum before it: the changes after it are added to it. All of them run in one transaction,
// so the order between the two tables is not seen by anyone. DIAGNOSTICS: a line that is no record
// gives no statement; its text is handed back to the caller, which warns. Nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

class DbSession;

/// Rows in one INSERT, and the size an INSERT stops growing at (far below the
/// server's max_allowed_packet, whose smallest default is 1 MB).
inline constexpr int kAuditRowsPerInsert = 500;
inline constexpr std::size_t kAuditInsertBytes = 512 * 1024;

struct SpoolRecord {
    long long seq = 0;                // 0 when the line has no number
    std::string line;                 // without its line end
    std::vector<std::string> fields;  // seq, kind, when, ...
    std::int64_t end = 0;             // file offset just past the line
};

/// Up to `max` whole records of `text` (lines of a spool), `end` counted from
/// the start of `text`.
std::vector<SpoolRecord> SpoolRecordsOf(const std::string& text, int max);
/// The time (day-serial number) the first record of `text` was meant for; 0
/// when it has none.
double SpoolRecordWhen(const std::string& text);

/// One statement of a batch and the records it writes (named when it is refused).
struct AuditStatement {
    std::string sql;
    long long firstSeq = 0;
    long long lastSeq = 0;
};

/// Column names go into the statements bare; anything but a plain name (letters,
/// digits, "_", at most 64 characters) would change the statement and is never sent.
bool IsPlainColumnName(const std::string& s);

/// The line of record `seq` with these fields (kind, when, ...), line end included.
std::string SpoolLine(long long seq, const std::vector<std::string>& fields);
/// Splits a line into its fields, undoing the escapes.
std::vector<std::string> SplitSpoolFields(const std::string& line);
/// A whole decimal number, nothing before or after it.
bool ParseSpoolInt(const std::string& s, long long& v);

/// The statements that write the records of `batch` above `mark`, in their
/// order, their values escaped by `db`. Lines that are no record are left out
/// and their text added to `skipped`.
std::vector<AuditStatement> AuditStatements(const std::vector<SpoolRecord>& batch, long long mark,
                                            const DbSession& db, std::vector<std::string>& skipped);

}  // namespace bw
