-- Gateway database schema (MySQL / MariaDB). Every table has an auto-increment
-- `id` primary key: stored-back and deleted rows are identified by it.
--
-- The program writes every value as quoted text and the server converts it:
-- day-serial numbers (days since 30 December 1899, time of day as fraction)
-- go into DOUBLE columns, counters into integer columns. Free text that comes
-- from mail (addresses, actions) is TEXT, so a long address is never cut or
-- refused; keys that are searched for are VARCHAR with an index. latin1 keeps
-- the 8-bit text of the gateway byte for byte; its default collation compares
-- addresses without regard to case, as the gateway always did. TEXT columns
-- take their default as an expression, the form that both MariaDB (10.2 and
-- later) and MySQL (8.0.13 and later) accept.

-- Counters, one row per gateway installation (created by the gateway's
-- set-up, only updated by the components).
CREATE TABLE IF NOT EXISTS tbl_stats (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    tarnid VARCHAR(64) NOT NULL DEFAULT '',
    delivered INT NOT NULL DEFAULT 0,
    passedgrey INT NOT NULL DEFAULT 0,
    allowedgrey INT NOT NULL DEFAULT 0,
    addedgrey INT NOT NULL DEFAULT 0,
    UNIQUE KEY tarnid (tarnid)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- One audit row per handled message; rows are only ever added.
CREATE TABLE IF NOT EXISTS tbl_minilog (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    ipaddress VARCHAR(255) NOT NULL DEFAULT '',
    timestamp DOUBLE NOT NULL DEFAULT 0,
    mailfrom TEXT NOT NULL DEFAULT (''),
    mailto TEXT NOT NULL DEFAULT (''),
    action TEXT NOT NULL DEFAULT (''),
    KEY timestamp (timestamp)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- The audit spool's high-water mark: the last spooled record (per spool
-- generation) that is in tbl_minilog / tbl_stats. It is written in the same
-- transaction as the records, so a record is never written back twice. The
-- daemon creates the table itself when it is missing.
CREATE TABLE IF NOT EXISTS tbl_auditmark (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    spoolid VARCHAR(64) NOT NULL DEFAULT '',
    lastseq BIGINT NOT NULL DEFAULT 0,
    UNIQUE KEY spoolid (spoolid)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Sender allow and deny lists: an address (or a pattern holding "*") and the
-- mailbox owner it belongs to ('' = every owner).
CREATE TABLE IF NOT EXISTS tbl_allowed (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    fromaddress VARCHAR(255) NOT NULL DEFAULT '',
    owner VARCHAR(255) NOT NULL DEFAULT '',
    KEY fromaddress (fromaddress),
    KEY owner (owner)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

CREATE TABLE IF NOT EXISTS tbl_disallowed (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    fromaddress VARCHAR(255) NOT NULL DEFAULT '',
    owner VARCHAR(255) NOT NULL DEFAULT '',
    KEY fromaddress (fromaddress),
    KEY owner (owner)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- IP lock: the reputation of a sending network, keyed by its first three
-- octets each followed by "." (10.1.2.).
CREATE TABLE IF NOT EXISTS tbl_lockip (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    netip VARCHAR(64) NOT NULL DEFAULT '',
    numspam INT NOT NULL DEFAULT 0,
    numgood INT NOT NULL DEFAULT 0,
    lastspam DOUBLE NOT NULL DEFAULT 0,
    lastgood DOUBLE NOT NULL DEFAULT 0,
    numrejects DOUBLE NOT NULL DEFAULT 0,
    lastreject DOUBLE NOT NULL DEFAULT 0,
    locklevel SMALLINT NOT NULL DEFAULT 0,
    lockdays SMALLINT NOT NULL DEFAULT 0,
    lastlocked DOUBLE NOT NULL DEFAULT 0,
    KEY netip (netip)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Greylisting: one row per (network, sender, recipient) triplet. A new row
-- is pending (allowed = 0, earlycount = 0) unless those are written. The
-- network query names netip_allow; the triplet lookup uses triplet.
CREATE TABLE IF NOT EXISTS tbl_greylist (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    netip VARCHAR(64) NOT NULL DEFAULT '',
    mailfrom TEXT NOT NULL DEFAULT (''),
    mailto TEXT NOT NULL DEFAULT (''),
    ipaddress VARCHAR(255) NOT NULL DEFAULT '',
    rectime DOUBLE NOT NULL DEFAULT 0,
    lastcontact DOUBLE NOT NULL DEFAULT 0,
    allowed SMALLINT NOT NULL DEFAULT 0,
    earlycount INT NOT NULL DEFAULT 0,
    allowtime DOUBLE NOT NULL DEFAULT 0,
    exptime DOUBLE NOT NULL DEFAULT 0,
    KEY netip_allow (netip, allowed),
    KEY rectime (allowed, rectime),
    KEY lastcontact (allowed, lastcontact),
    KEY triplet (netip, mailfrom(100), mailto(100))
) ENGINE=InnoDB DEFAULT CHARSET=latin1;
