-- What Rivendell's PAD feed tells of each play, beside its row in Metadata:
-- the columns a royalty report asks for. The receiver inserts by column
-- name, in the same transaction as the Metadata row.
--   mariadb -u root < sql/playdetails.sql
USE Brackenwaves;

CREATE TABLE IF NOT EXISTS PlayDetails (
    detail_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    -- The same time as the play's Metadata row.
    played_at DATETIME NOT NULL,
    -- Rivendell's log machine and service.
    machine INT NOT NULL,
    service VARCHAR(255) NOT NULL,
    -- NULL when the feed did not say.
    cart INT UNSIGNED NULL,
    cut INT NULL,
    group_name VARCHAR(64) NOT NULL,
    artist MEDIUMTEXT NOT NULL,
    title MEDIUMTEXT NOT NULL,
    album MEDIUMTEXT NOT NULL,
    label MEDIUMTEXT NOT NULL,
    composer MEDIUMTEXT NOT NULL,
    publisher MEDIUMTEXT NOT NULL,
    -- NULL when the cart has none.
    year SMALLINT NULL,
    isrc VARCHAR(64) NOT NULL,
    isci VARCHAR(64) NOT NULL,
    length_ms BIGINT NULL,
    -- The text of the Metadata row, as it went on air.
    full_text MEDIUMTEXT NOT NULL,
    -- The Rivendell host whose feed told of the play.
    host_name VARCHAR(255) NULL,
    -- [Database] Station of the receiver that stored it.
    station VARCHAR(255) NULL,
    KEY played_at (played_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;

-- A table made by an earlier version gains what was added since; running
-- this file again is safe. (Without it, the receiver stores plays as that
-- version did: no host, and 0 for an unknown cart or cut.)
ALTER TABLE PlayDetails
    MODIFY cart INT UNSIGNED NULL,
    MODIFY cut INT NULL,
    ADD COLUMN IF NOT EXISTS host_name VARCHAR(255) NULL,
    ADD COLUMN IF NOT EXISTS station VARCHAR(255) NULL;
