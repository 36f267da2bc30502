-- Which station stored each play, for a history several stations share, and
-- the key each receiver makes for a play, so that a play whose answer was
-- lost is looked for by its key, never by a row another station stored. The
-- receiver writes the row in the same transaction as the play's Metadata row.
--   mariadb -u root < sql/stationplays.sql
USE Brackenwaves;

CREATE TABLE IF NOT EXISTS StationPlays (
    -- Insertion order for reports; a cluster needs a primary key on every table.
    id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    -- [Database] Station, by default the name of the receiver's folder.
    station VARCHAR(255) NOT NULL,
    -- 32 hexadecimal digits, made once for each play the receiver keeps.
    play_key CHAR(32) CHARACTER SET ascii NOT NULL,
    -- The same time and text as the play's Metadata row.
    played_at DATETIME NOT NULL,
    full_text MEDIUMTEXT NOT NULL,
    -- 1 when the play has a Metadata row; 0 for a PlayDetails row alone.
    in_metadata TINYINT NOT NULL,
    stored_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
    UNIQUE KEY play (station, play_key),
    KEY station_time (station, played_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
