-- The tracker's directory account: it reads the catalogue and the registrations, adds
-- registrations and retires them (alive); it never deletes and never changes Channel or group.
CREATE USER IF NOT EXISTS 'qv'@'%' IDENTIFIED BY 'qz';
GRANT SELECT ON p2pdb.* TO 'qv'@'%';
GRANT INSERT, UPDATE ON p2pdb.userlist TO 'qv'@'%';
