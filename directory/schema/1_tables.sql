-- The p2pdb directory's tables: channels sorted into groups, the registrations of peers in
-- channels, their archive and the upkeep's settings, as this version makes them. The first of
-- the schema's files, loaded in the order of their names (tables, upgrade, upkeep) by the
-- server's administrator; safe to load again: nothing is dropped.
--
-- Names are raw bytes (VARBINARY): the tracker compares a peer's channel name with
-- Channel.name byte for byte and copies every name into its replies unchanged, whatever
-- character set the connection uses. The server must run with lower_case_table_names=1,
-- since the statements write both p2pdb.Channel and p2pdb.channel, and with the options of
-- directory/server.cnf (the event scheduler, the tracker account's row limit).

CREATE DATABASE IF NOT EXISTS p2pdb;

-- `group` is a reserved word: quoted here; the tracker's statements write it qualified.
CREATE TABLE IF NOT EXISTS p2pdb.`group` (
    groupid INT NOT NULL,                      -- signed: the catalogue reads the key as text
    name    VARBINARY(255) NOT NULL DEFAULT '',
    PRIMARY KEY (groupid)
) ENGINE = InnoDB;

-- Channel names are unique (see below), so a join finds its channel as one row.
CREATE TABLE IF NOT EXISTS p2pdb.Channel (
    iChannel INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name     VARBINARY(255) NOT NULL,
    groupid  INT NULL,                         -- may name no group: the catalogue outer-joins
    PRIMARY KEY (iChannel),
    UNIQUE KEY channel_name (name)
) ENGINE = InnoDB;

-- One row per registration: added by a join; retired (alive=0) by the next join from the
-- same address, or by the peer time-out; moved to userlist_archive by the upkeep.
-- id is the row's key and nothing else: the tracker never names it (its statements list
-- their columns), but a replicated directory needs a primary key on every table.
CREATE TABLE IF NOT EXISTS p2pdb.userlist (
    id         BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    IPv4       VARCHAR(15) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
    port       SMALLINT UNSIGNED NOT NULL,
    IPv6       VARCHAR(39) CHARACTER SET ascii COLLATE ascii_bin NOT NULL DEFAULT '',
    iChannel   INT UNSIGNED NOT NULL,
    alive      TINYINT NOT NULL DEFAULT 0,
    name       VARBINARY(255) NOT NULL DEFAULT '',  -- never written by the tracker, always listed
    -- Set by the server, never by the tracker: when the row was made, and when it last
    -- changed (for a retired row, when it was retired).
    registered TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
    changed    TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3) ON UPDATE CURRENT_TIMESTAMP(3),
    -- The row's place among the channel's equal names, drawn by the server when the row is
    -- made: a join lists the rows that follow a point of its own choosing in this order, so
    -- no address, port or time of registration comes first.
    draw       INT UNSIGNED NOT NULL DEFAULT (FLOOR(RAND() * 4294967296)),
    -- The liveness reset finds every row of one address.
    KEY userlist_by_address (IPv4),
    -- The neighbour lists read one channel's rows in name and draw order from these indexes
    -- alone, starting at the join's point, and stop once a reply is full: quorvane's its
    -- alive rows, quorvane_tcp's every row.
    KEY userlist_listing_alive (iChannel, alive, name, draw, IPv4, port),
    KEY userlist_listing_every_row (iChannel, name, draw, IPv4, port),
    -- The upkeep finds rows retired (or registered) before a given time.
    KEY userlist_by_age (alive, changed),
    PRIMARY KEY (id)
) ENGINE = InnoDB;

-- Retired registrations, moved here by the upkeep in the same columns (but the draw, which
-- only orders the lists of live rows); pruned after upkeep_settings.archive_days. archive_id
-- is this table's own key: userlist's ids start again at 1 after a TRUNCATE.
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

-- The upkeep's settings, one row; change them with UPDATE, loading this file again keeps them.
CREATE TABLE IF NOT EXISTS p2pdb.upkeep_settings (
    only_row             TINYINT NOT NULL DEFAULT 1 CHECK (only_row = 1),
    -- Retired rows stay in userlist this long (quorvane_tcp lists them meanwhile).
    retention_seconds    INT UNSIGNED NOT NULL DEFAULT 10,
    -- Archived rows are deleted after this many days; NULL keeps them for ever.
    archive_days         INT UNSIGNED NULL DEFAULT 7,
    -- Alive rows registered longer ago than this are retired; NULL (the default): never.
    peer_timeout_seconds INT UNSIGNED NULL DEFAULT NULL,
    PRIMARY KEY (only_row)
) ENGINE = InnoDB;
INSERT IGNORE INTO p2pdb.upkeep_settings () VALUES ();
