-- The p2pdb directory: channels sorted into groups, and the registrations of peers in
-- channels. Loaded by scripts/directory_server.sh; safe to load again (nothing is dropped).
--
-- Names are raw bytes (VARBINARY): the tracker compares a peer's channel name with
-- Channel.name byte for byte and copies every name into its replies unchanged, whatever
-- character set the connection uses. The server must run with lower_case_table_names=1,
-- since the statements write both p2pdb.Channel and p2pdb.channel.

CREATE DATABASE IF NOT EXISTS p2pdb;

-- `group` is a reserved word: quoted here; the tracker's statements write it qualified.
CREATE TABLE IF NOT EXISTS p2pdb.`group` (
    groupid INT NOT NULL,                      -- signed: the catalogue reads the key as text
    name    VARBINARY(255) NOT NULL DEFAULT '',
    PRIMARY KEY (groupid)
) ENGINE = InnoDB;

CREATE TABLE IF NOT EXISTS p2pdb.Channel (
    iChannel INT UNSIGNED NOT NULL AUTO_INCREMENT,
    name     VARBINARY(255) NOT NULL,
    groupid  INT NULL,                         -- may name no group: the catalogue outer-joins
    PRIMARY KEY (iChannel),
    KEY channel_by_name (name)                 -- the joins look channels up by name
) ENGINE = InnoDB;

-- One row per registration; rows are only ever added, and quorvane retires them with alive=0.
-- id is the row's key and nothing else: the tracker never names it (its statements list
-- their columns), but a replicated directory needs a primary key on every table.
CREATE TABLE IF NOT EXISTS p2pdb.userlist (
    id       BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
    IPv4     VARCHAR(15) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
    port     SMALLINT UNSIGNED NOT NULL,
    IPv6     VARCHAR(39) CHARACTER SET ascii COLLATE ascii_bin NOT NULL DEFAULT '',
    iChannel INT UNSIGNED NOT NULL,
    alive    TINYINT NOT NULL DEFAULT 0,
    name     VARBINARY(255) NOT NULL DEFAULT '',  -- never written by the tracker, always listed
    -- The liveness reset finds every row of one address.
    KEY userlist_by_address (IPv4),
    -- The neighbour query reads one channel's alive rows already in name order;
    -- quorvane_tcp's, which ignores alive, still finds the channel's rows by its prefix.
    KEY userlist_by_channel (iChannel, alive, name),
    PRIMARY KEY (id)
) ENGINE = InnoDB;

-- A directory made before userlist had its key, or these indexes, gets them here (its rows
-- numbered in their stored order); loading this file again changes nothing.
ALTER TABLE p2pdb.userlist
    ADD COLUMN IF NOT EXISTS id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY FIRST,
    ADD KEY IF NOT EXISTS userlist_by_address (IPv4),
    ADD KEY IF NOT EXISTS userlist_by_channel (iChannel, alive, name);
ALTER TABLE p2pdb.Channel ADD KEY IF NOT EXISTS channel_by_name (name);
