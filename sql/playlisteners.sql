-- How many listeners heard each play, as Icecast told the receiver that
-- counted them ([Listeners]): every distinct listener connected at any of
-- its looks while the play was on air, added up over the mounts. A play is
-- the Metadata row with the same time and text. The receiver stores the
-- row once the play has left the air.
--   mariadb -u root < sql/playlisteners.sql
USE Brackenwaves;

CREATE TABLE IF NOT EXISTS PlayListeners (
    id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    -- [Database] Station of the receiver that counted.
    station VARCHAR(255) NOT NULL,
    -- Made once for each count, so that a count sent twice is stored once.
    count_key CHAR(32) CHARACTER SET ascii NOT NULL,
    -- The same time and text as the play's Metadata row.
    played_at DATETIME NOT NULL,
    full_text MEDIUMTEXT NOT NULL,
    -- NULL when Icecast could not be asked while the play was on air.
    performances BIGINT UNSIGNED NULL,
    stored_at TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
    UNIQUE KEY count_key (station, count_key),
    KEY played_at (played_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
