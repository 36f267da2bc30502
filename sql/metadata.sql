-- Play history for Quaverlink. The receiver inserts five values by position,
-- so the table has exactly five visible columns in this order.
--   mariadb -u root < sql/metadata.sql
CREATE DATABASE IF NOT EXISTS Brackenwaves CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
USE Brackenwaves;

CREATE TABLE IF NOT EXISTS Metadata (
    -- Row identity and insertion order for reports; invisible, so it takes
    -- no part in the receiver's positional insert.
    play_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT INVISIBLE PRIMARY KEY,
    -- The receiver always sends the empty string here.
    entry_tag VARCHAR(64) NOT NULL DEFAULT '',
    -- The text as it went on air; a datagram can carry up to 64 KiB.
    full_text MEDIUMTEXT NOT NULL,
    played_at DATETIME NOT NULL,
    -- The text before the first dash, and after it with further dashes left out.
    artist MEDIUMTEXT NOT NULL,
    title MEDIUMTEXT NOT NULL,
    KEY played_at (played_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
