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
    cart INT UNSIGNED NOT NULL,
    cut INT NOT NULL,
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
    KEY played_at (played_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
