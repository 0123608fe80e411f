-- The upkeep of userlist, run by the server's event scheduler every second: retires timed-out
-- peers, archives retired registrations, prunes the archive. Its settings are the one row of
-- p2pdb.upkeep_settings (1_tables.sql). Safe to load again: everything is replaced.

DELIMITER ;;

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
    DECLARE retention INT UNSIGNED;
    DECLARE archive_days INT UNSIGNED;
    DECLARE timeout INT UNSIGNED;
    DECLARE cutoff TIMESTAMP(3);

    IF p2pdb.upkeep_runs_here() THEN
        -- The settings' defaults are the table's: a row deleted by hand comes back with them.
        IF NOT EXISTS (SELECT 1 FROM p2pdb.upkeep_settings) THEN
            INSERT IGNORE INTO p2pdb.upkeep_settings () VALUES ();
        END IF;
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
