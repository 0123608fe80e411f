-- Brings a directory made by an earlier version up to this version's tables (1_tables.sql
-- makes only what is missing whole); loading it again changes nothing.

-- Columns and keys that came after the first version (rows that had no times take the time
-- of loading).
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
-- value, so they are drawn again, one by one (DEFAULT is evaluated for each row); their times
-- stay as they were.
BEGIN NOT ATOMIC
    IF NOT EXISTS (SELECT 1 FROM information_schema.COLUMNS
                   WHERE TABLE_SCHEMA = 'p2pdb' AND TABLE_NAME = 'userlist' AND COLUMN_NAME = 'draw') THEN
        ALTER TABLE p2pdb.userlist
            ADD COLUMN draw INT UNSIGNED NOT NULL DEFAULT (FLOOR(RAND() * 4294967296)) AFTER changed;
        UPDATE p2pdb.userlist SET draw = DEFAULT, changed = changed;
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

DELIMITER ;
