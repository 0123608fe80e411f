-- The metrics account: prometheus-mysqld-exporter and probe.sh's directory gauges read the
-- server's status, the statement digests, p2pdb and the upkeep event with it; it changes
-- nothing. Over the socket ('localhost') or from 127.0.0.1; set your own password.
CREATE USER IF NOT EXISTS 'quorvane_metrics'@'localhost' IDENTIFIED BY 'metrics' WITH MAX_USER_CONNECTIONS 3;
CREATE USER IF NOT EXISTS 'quorvane_metrics'@'127.0.0.1' IDENTIFIED BY 'metrics' WITH MAX_USER_CONNECTIONS 3;
GRANT PROCESS, REPLICATION CLIENT, SELECT ON *.* TO 'quorvane_metrics'@'localhost';
GRANT PROCESS, REPLICATION CLIENT, SELECT ON *.* TO 'quorvane_metrics'@'127.0.0.1';
