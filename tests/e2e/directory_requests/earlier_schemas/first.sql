-- The directory as the first schema made it (directory/schema.sql of commit 65ddc4c), comments
-- left out: what the upgrade test brings up to this version's.
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
    KEY channel_by_name (name)
) ENGINE = InnoDB;
CREATE TABLE IF NOT EXISTS p2pdb.userlist (
    IPv4     VARCHAR(15) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
    port     SMALLINT UNSIGNED NOT NULL,
    IPv6     VARCHAR(39) CHARACTER SET ascii COLLATE ascii_bin NOT NULL DEFAULT '',
    iChannel INT UNSIGNED NOT NULL,
    alive    TINYINT NOT NULL DEFAULT 0,
    name     VARBINARY(255) NOT NULL DEFAULT '',
    KEY userlist_by_address (IPv4),
    KEY userlist_by_channel (iChannel, alive, name)
) ENGINE = InnoDB;
