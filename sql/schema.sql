-- Gateway database schema (MySQL / MariaDB). Every table has an auto-increment
-- `id` primary key: stored-back and deleted rows are identified by it.
CREATE TABLE IF NOT EXISTS tbl_stats (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    tarnid VARCHAR(16) NOT NULL DEFAULT '',
    delivered INT NOT NULL DEFAULT 0,
    passedgrey INT NOT NULL DEFAULT 0,
    allowedgrey INT NOT NULL DEFAULT 0,
    addedgrey INT NOT NULL DEFAULT 0,
    KEY tarnid (tarnid)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

CREATE TABLE IF NOT EXISTS tbl_minilog (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    ipaddress VARCHAR(64) NOT NULL DEFAULT '',
    timestamp DOUBLE NOT NULL DEFAULT 0,
    mailfrom VARCHAR(255) NOT NULL DEFAULT '',
    mailto VARCHAR(255) NOT NULL DEFAULT '',
    action VARCHAR(255) NOT NULL DEFAULT ''
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- Policy store lookups: the greylist check looks up one triplet (network,
-- sender, recipient); the network query uses netip_allow.
CREATE INDEX IF NOT EXISTS triplet ON tbl_greylist (netip, mailfrom(100), mailto(100));
