-- The directory's tables as the schema just before the neighbour draws made them
-- (directory/schema.sql of commit c1e9b11's parent), comments and upkeep left out: what the
-- upgrade test brings up to this version's (3_upkeep.sql replaces the upkeep whole).
CREATE DATABASE IF NOT EXISTS p2pdb;
CREATE TABLE IF NOT EXISTS p2pdb.`group` (
    groupid INT NOT NULL,
    name    VARBINARY(255) NOT NULL DEFAULT '',
    PRIMARY KEY (groupid)
) ENGINE = InnoDB;
CREATE TABLE IF NOT EXISTS p2pdb.Channel (
    iChannel INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name     VARBINARY(255) NOT NULL,
    groupid  INT NULL,
    PRIMARY KEY (iChannel),
    UNIQUE KEY channel_name (name)
) ENGINE = InnoDB;
CREATE TABLE IF NOT EXISTS p2pdb.userlist (
    id         BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    IPv4       VARCHAR(15) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
    port       SMALLINT UNSIGNED NOT NULL,
    IPv6       VARCHAR(39) CHARACTER SET ascii COLLATE ascii_bin NOT NULL DEFAULT '',
    iChannel   INT UNSIGNED NOT NULL,
    alive      TINYINT NOT NULL DEFAULT 0,
    name       VARBINARY(255) NOT NULL DEFAULT '',
    registered TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
    changed    TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3) ON UPDATE CURRENT_TIMESTAMP(3),
    KEY userlist_by_address (IPv4),
    KEY userlist_listing (iChannel, alive, name, IPv4, port),
    KEY userlist_by_age (alive, changed),
    PRIMARY KEY (id)
) ENGINE = InnoDB;
CREATE TABLE IF NOT EXISTS p2pdb.userlist_archive (
    archive_id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    id         BIGINT UNSIGNED NOT NULL,
    IPv4       VARCHAR(15) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
    port       SMALLINT UNSIGNED NOT NULL,
    IPv6       VARCHAR(39) CHARACTER SET ascii COLLATE ascii_bin NOT NULL DEFAULT '',
    iChannel   INT UNSIGNED NOT NULL,
    alive      TINYINT NOT NULL DEFAULT 0,
    name       VARBINARY(255) NOT NULL DEFAULT '',
    registered TIMESTAMP(3) NOT NULL,
    changed    TIMESTAMP(3) NOT NULL,
    archived   TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
    PRIMARY KEY (archive_id),
    KEY archive_by_age (archived)
) ENGINE = InnoDB;
CREATE TABLE IF NOT EXISTS p2pdb.upkeep_settings (
    only_row             TINYINT NOT NULL DEFAULT 1 CHECK (only_row = 1),
    retention_seconds    INT UNSIGNED NOT NULL DEFAULT 10,
    archive_days         INT UNSIGNED NULL DEFAULT 7,
    peer_timeout_seconds INT UNSIGNED NULL DEFAULT NULL,
    PRIMARY KEY (only_row)
) ENGINE = InnoDB;
INSERT IGNORE INTO p2pdb.upkeep_settings () VALUES ();
