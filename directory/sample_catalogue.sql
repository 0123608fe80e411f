-- A small catalogue for the quick start: four groups of channels. Explicit keys and
-- INSERT IGNORE make loading it again a no-op.
INSERT IGNORE INTO p2pdb.`group` (groupid, name) VALUES
    (1, 'News'),
    (2, 'Sports'),
    (3, 'Music'),
    (4, 'Kids');

INSERT IGNORE INTO p2pdb.Channel (iChannel, name, groupid) VALUES
    (1, 'World Report', 1),
    (2, 'City Desk', 1),
    (3, 'Football Live', 2),
    (4, 'Tennis Court', 2),
    (5, 'Cycling Tour', 2),
    (6, 'Jazz Lounge', 3),
    (7, 'Classic Hits', 3),
    (8, 'Cartoon Corner', 4);
