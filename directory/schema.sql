-- The p2pdb directory: channels sorted into groups, the registrations of peers in channels,
-- and their upkeep. Loaded by scripts/directory_server.sh as the server's administrator; safe
-- to load again (nothing is dropped, and an older directory is brought up to date).
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

-- A directory made before these columns, keys and tables gets them here (rows that had no
-- times take the time of loading); loading this file again changes nothing.
ALTER TABLE p2pdb.userlist
    ADD COLUMN IF NOT EXISTS id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY FIRST,
    ADD COLUMN IF NOT EXISTS registered TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
    ADD COLUMN IF NOT EXISTS changed TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3)
        ON UPDATE CURRENT_TIMESTAMP(3),
    ADD KEY IF NOT EXISTS userlist_by_address (IPv4),
    ADD KEY IF NOT EXISTS userlist_by_age (alive, changed),
    DROP KEY IF EXISTS userlist_by_channel;

DELIMITER ;;

-- Rows made before the draw get one each. Adding the column gives every existing row the same
-- value, so they are drawn again, one by one; their times stay as they were.
BEGIN NOT ATOMIC
    IF NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
                   WHERE TABLE_SCHEMA = 'p2pdb' AND TABLE_NAME = 'userlist' AND COLUMN_NAME = 'draw') THEN
        ALTER TABLE p2pdb.userlist
            ADD COLUMN draw INT UNSIGNED NOT NULL DEFAULT (FLOOR(RAND() * 4294967296)) AFTER changed;
        UPDATE p2pdb.userlist SET draw = FLOOR(RAND() * 4294967296), changed = changed;
    END IF;
    ALTER TABLE p2pdb.userlist
        ADD KEY IF NOT EXISTS userlist_listing_alive (iChannel, alive, name, draw, IPv4, port),
        ADD KEY IF NOT EXISTS userlist_listing_every_row (iChannel, name, draw, IPv4, port),
        DROP KEY IF EXISTS userlist_listing;
END;;

-- Channel names become unique where the catalogue allows it. A catalogue that repeats a
-- name keeps working as before (a join registers in every channel of that name), but the
-- server must then sort a channel's whole list on every join: say so, once.
BEGIN NOT ATOMIC
    IF NOT EXISTS (SELECT 1 FROM information_schema.STATISTICS
                   WHERE TABLE_SCHEMA = 'p2pdb' AND TABLE_NAME = 'channel' AND INDEX_NAME = 'channel_name') THEN
        IF EXISTS (SELECT 1 FROM p2pdb.Channel GROUP BY name HAVING COUNT(*) > 1) THEN
            ALTER TABLE p2pdb.Channel ADD KEY IF NOT EXISTS channel_by_name (name);
            SELECT 'schema: some channel names repeat in p2pdb.Channel, so they are not made unique; joins of large channels stay slow until they are'
                AS notice;
        ELSE
            ALTER TABLE p2pdb.Channel ADD UNIQUE KEY channel_name (name), DROP KEY IF EXISTS channel_by_name;
        END IF;
    END IF;
END;;

-- Whether this server runs the upkeep: a single server always; in a cluster only the
-- member listed first in the view (exactly one member of the primary component), so that
-- the nodes do not archive the same rows at once.
CREATE OR REPLACE FUNCTION p2pdb.upkeep_runs_here() RETURNS BOOLEAN
    READS SQL DATA
BEGIN
    DECLARE clustered VARCHAR(64);
    SELECT VARIABLE_VALUE INTO clustered FROM information_schema.GLOBAL_VARIABLES WHERE VARIABLE_NAME = 'WSREP_ON';
    IF clustered IS NULL OR clustered <> 'ON' THEN
        RETURN TRUE;
    END IF;
    RETURN (SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'WSREP_READY') = 'ON'
       AND (SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'WSREP_LOCAL_INDEX') = '0';
END;;

-- One batch: locks the rows of upkeep_batch that still qualify, in the order in which the
-- tracker's liveness reset locks rows (by address, then id, through the address index). A
-- reset of the same address then waits for the batch to commit, or the batch for the
-- reset, and neither can be chosen to roll back in a deadlock.
CREATE OR REPLACE PROCEDURE p2pdb.lock_upkeep_batch(IN wanted_alive TINYINT, IN cutoff TIMESTAMP(3))
    MODIFIES SQL DATA
BEGIN
    DECLARE locked BIGINT;
    SELECT COUNT(*) INTO locked
        FROM upkeep_batch b STRAIGHT_JOIN p2pdb.userlist u FORCE INDEX (userlist_by_address)
            ON u.IPv4 = b.IPv4 AND u.id = b.id
        WHERE u.alive = wanted_alive AND u.changed < cutoff
        FOR UPDATE;
END;;

-- Fills upkeep_batch (made here, for the session) with at most batch_rows ids of rows whose
-- alive is wanted_alive and that last changed before cutoff, oldest first, and says how
-- many. A plain read: no locks.
CREATE OR REPLACE PROCEDURE p2pdb.choose_upkeep_batch(IN wanted_alive TINYINT, IN cutoff TIMESTAMP(3),
                                                      IN batch_rows INT, OUT chosen INT)
    MODIFIES SQL DATA
BEGIN
    CREATE TEMPORARY TABLE IF NOT EXISTS upkeep_batch (
        IPv4 VARCHAR(15) CHARACTER SET ascii COLLATE ascii_bin NOT NULL,
        id   BIGINT UNSIGNED NOT NULL,
        PRIMARY KEY (IPv4, id)
    ) ENGINE = InnoDB;
    DELETE FROM upkeep_batch;
    INSERT INTO upkeep_batch (id, IPv4)
        SELECT id, IPv4 FROM p2pdb.userlist FORCE INDEX (userlist_by_age)
        WHERE alive = wanted_alive AND changed < cutoff
        ORDER BY alive, changed LIMIT batch_rows;
    SET chosen = ROW_COUNT();
END;;

-- Moves the locked batch's rows, retired before cutoff, into the archive.
CREATE OR REPLACE PROCEDURE p2pdb.archive_upkeep_batch(IN cutoff TIMESTAMP(3))
    MODIFIES SQL DATA
BEGIN
    INSERT INTO p2pdb.userlist_archive (id, IPv4, port, IPv6, iChannel, alive, name, registered, changed)
        SELECT u.id, u.IPv4, u.port, u.IPv6, u.iChannel, u.alive, u.name, u.registered, u.changed
        FROM upkeep_batch b STRAIGHT_JOIN p2pdb.userlist u ON u.id = b.id
        WHERE u.alive = 0 AND u.changed < cutoff;
    DELETE u FROM upkeep_batch b STRAIGHT_JOIN p2pdb.userlist u ON u.id = b.id
        WHERE u.alive = 0 AND u.changed < cutoff;
END;;

-- Retires the locked batch's rows, alive since before cutoff.
CREATE OR REPLACE PROCEDURE p2pdb.retire_upkeep_batch(IN cutoff TIMESTAMP(3))
    MODIFIES SQL DATA
BEGIN
    UPDATE upkeep_batch b STRAIGHT_JOIN p2pdb.userlist u ON u.id = b.id
        SET u.alive = 0 WHERE u.alive = 1 AND u.changed < cutoff;
END;;

-- Batches of rows whose alive is wanted_alive and that last changed before cutoff, each one
-- transaction: retired where they are alive, archived where they are retired. Until none is
-- left, or the run that began at `started` has used budget_us microseconds.
CREATE OR REPLACE PROCEDURE p2pdb.upkeep_batches(IN wanted_alive TINYINT, IN cutoff TIMESTAMP(3),
                                                 IN started DATETIME(6), IN budget_us INT)
    MODIFIES SQL DATA
BEGIN
    DECLARE batch_rows INT DEFAULT 200;
    DECLARE chosen INT;
    REPEAT
        CALL p2pdb.choose_upkeep_batch(wanted_alive, cutoff, batch_rows, chosen);
        START TRANSACTION;
        CALL p2pdb.lock_upkeep_batch(wanted_alive, cutoff);
        IF wanted_alive = 1 THEN
            CALL p2pdb.retire_upkeep_batch(cutoff);
        ELSE
            CALL p2pdb.archive_upkeep_batch(cutoff);
        END IF;
        COMMIT;
    UNTIL chosen < batch_rows OR TIMESTAMPDIFF(MICROSECOND, started, SYSDATE(6)) > budget_us END REPEAT;
END;;

-- The upkeep, run every second by the event below: retires timed-out peers (where a time-out
-- is set), moves rows retired longer than the retention window into userlist_archive, and
-- prunes the archive. Each batch is one short transaction of at most 200 rows, so a join
-- waits for the upkeep a few milliseconds at most; a run stops within a second and the next
-- goes on where it left off. A server killed part way loses nothing: a batch commits
-- whole or not at all.
CREATE OR REPLACE PROCEDURE p2pdb.userlist_upkeep()
    MODIFIES SQL DATA
BEGIN
    DECLARE started DATETIME(6) DEFAULT SYSDATE(6);
    DECLARE retention INT UNSIGNED DEFAULT 10;
    DECLARE archive_days INT UNSIGNED DEFAULT 7;
    DECLARE timeout INT UNSIGNED DEFAULT NULL;
    DECLARE cutoff TIMESTAMP(3);

    IF p2pdb.upkeep_runs_here() THEN
        SELECT s.retention_seconds, s.archive_days, s.peer_timeout_seconds INTO retention, archive_days, timeout
            FROM p2pdb.upkeep_settings s LIMIT 1;
        -- Record locks alone: the batch never blocks an insert into a gap. Times in UTC, so
        -- that a change of daylight saving time neither ages rows nor rejuvenates them.
        SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED;
        SET SESSION time_zone = '+00:00';

        IF timeout IS NOT NULL THEN
            CALL p2pdb.upkeep_batches(1, NOW(3) - INTERVAL timeout SECOND, started, 250000);
        END IF;
        CALL p2pdb.upkeep_batches(0, NOW(3) - INTERVAL retention SECOND, started, 500000);

        IF archive_days IS NOT NULL THEN
            SET cutoff = NOW(3) - INTERVAL archive_days DAY;
            REPEAT
                DELETE FROM p2pdb.userlist_archive WHERE archived < cutoff ORDER BY archived LIMIT 1000;
            UNTIL ROW_COUNT() < 1000 OR TIMESTAMPDIFF(MICROSECOND, started, SYSDATE(6)) > 750000 END REPEAT;
        END IF;
        DROP TEMPORARY TABLE upkeep_batch;
    END IF;
END;;

DELIMITER ;

CREATE OR REPLACE EVENT p2pdb.userlist_upkeep ON SCHEDULE EVERY 1 SECOND ON COMPLETION PRESERVE ENABLE
    COMMENT 'Retires timed-out peers, archives retired registrations, prunes the archive'
    DO CALL p2pdb.userlist_upkeep();

SELECT 'schema: the event scheduler is off, so retired registrations are never archived: start the server with event_scheduler=ON'
    AS notice FROM DUAL WHERE @@event_scheduler <> 'ON';
