-- The directory's gauges, written as Prometheus text lines for node-exporter's textfile
-- collector (probe.sh directory runs it with --batch --skip-column-names --raw). Run by the
-- metrics account of directory_account.sql; every statement reads an index, never a table.
SELECT CONCAT('quorvane_directory_peers{alive="', a.alive, '"} ',
              (SELECT COUNT(*) FROM p2pdb.userlist FORCE INDEX (userlist_by_age) WHERE alive = a.alive))
    FROM (SELECT 0 AS alive UNION ALL SELECT 1) a;
-- Retired rows older than the retention window: the upkeep's backlog, about 0 while it keeps up.
SELECT CONCAT('quorvane_directory_upkeep_backlog_rows ', COUNT(*))
    FROM p2pdb.userlist FORCE INDEX (userlist_by_age)
    WHERE alive = 0 AND changed < UTC_TIMESTAMP(3) - INTERVAL
        (SELECT retention_seconds FROM p2pdb.upkeep_settings LIMIT 1) SECOND;
-- The upkeep event's last run; mysql.event keeps it in UTC.
SELECT CONCAT('quorvane_directory_upkeep_last_run_timestamp_seconds ',
              TIMESTAMPDIFF(SECOND, '1970-01-01', last_executed))
    FROM mysql.event WHERE db = 'p2pdb' AND name = 'userlist_upkeep' AND last_executed IS NOT NULL;
-- The archive's rows, as the server estimates them: counting them all would read the table.
SELECT CONCAT('quorvane_directory_archive_rows_estimate ', IFNULL(TABLE_ROWS, 0))
    FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'p2pdb' AND TABLE_NAME = 'userlist_archive';
-- The ten largest channels by alive peers, by key and name (bytes that are not UTF-8 become '?').
SELECT CONCAT('quorvane_directory_channel_peers{channel="',
              REPLACE(REPLACE(REPLACE(CONVERT(c.name USING utf8mb4), '\\', '\\\\'), '"', '\\"'), '\n', '\\n'),
              '",id="', c.iChannel, '"} ', top.peers)
    FROM (SELECT iChannel, COUNT(*) AS peers FROM p2pdb.userlist FORCE INDEX (userlist_listing_alive)
          WHERE alive = 1 GROUP BY iChannel ORDER BY peers DESC LIMIT 10) top
    JOIN p2pdb.Channel c ON c.iChannel = top.iChannel;
SELECT 'quorvane_directory_gauges_success 1';
