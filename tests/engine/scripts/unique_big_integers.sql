-- UNIQUE over integers beyond 2^53: index keys hold numbers as doubles, so
-- 1234567890123456789 .. 1234567890123456793 share one key, yet they are
-- distinct values and none of them conflicts with another.

CREATE TABLE users (id INTEGER PRIMARY KEY, ext_id INT NOT NULL UNIQUE, name TEXT);
> ok
INSERT INTO users (ext_id, name) VALUES (1234567890123456789, 'alice');
> affected 1
INSERT INTO users (ext_id, name) VALUES (1234567890123456790, 'erin');
> affected 1
INSERT IGNORE INTO users (ext_id, name) VALUES (1234567890123456791, 'bob');
> affected 1
REPLACE INTO users (ext_id, name) VALUES (1234567890123456792, 'carol');
> affected 1
INSERT INTO users (ext_id, name) VALUES (1234567890123456793, 'dave') ON DUPLICATE KEY UPDATE name = 'x';
> affected 1
SELECT id, ext_id, name FROM users ORDER BY id;
> [id, ext_id, name] (1, 1234567890123456789, 'alice') (2, 1234567890123456790, 'erin')
> (3, 1234567890123456791, 'bob') (4, 1234567890123456792, 'carol') (5, 1234567890123456793, 'dave')
PRAGMA integrity_check;
> [integrity_check] ('ok')

-- Equal values still conflict, with the messages and counts as ever.
INSERT INTO users (ext_id, name) VALUES (1234567890123456790, 'erin again');
> !constraint violation: UNIQUE constraint failed: users__ext_id__unique
INSERT IGNORE INTO users (ext_id, name) VALUES (1234567890123456791, 'bob again');
> affected 0
REPLACE INTO users (ext_id, name) VALUES (1234567890123456791, 'bob 2');
> affected 1
INSERT INTO users (ext_id, name) VALUES (1234567890123456792, 'dup') ON DUPLICATE KEY UPDATE name = 'carol 2';
> affected 1
UPDATE users SET ext_id = 1234567890123456789 WHERE name = 'erin';
> !constraint violation: UNIQUE constraint failed: users__ext_id__unique
UPDATE users SET ext_id = 1234567890123456794 WHERE name = 'erin';
> affected 1
SELECT id, ext_id, name FROM users ORDER BY id;
> [id, ext_id, name] (1, 1234567890123456789, 'alice') (2, 1234567890123456794, 'erin')
> (4, 1234567890123456792, 'carol 2') (5, 1234567890123456793, 'dave') (6, 1234567890123456791, 'bob 2')

-- A lookup re-tests each row the key finds.
SELECT name FROM users WHERE ext_id = 1234567890123456793;
> [name] ('dave')

-- The real 1234567890123456768.0 equals each of them (= compares an integer
-- with a real as doubles): it conflicts with all, and REPLACE takes every
-- one of them away.
INSERT INTO users (ext_id, name) VALUES (1234567890123456768.0, 'real');
> !constraint violation: UNIQUE constraint failed: users__ext_id__unique
INSERT INTO users (ext_id, name) VALUES (1234567890123456768.0, 'real') ON DUPLICATE KEY UPDATE name = 'first';
> affected 1
SELECT id, name FROM users WHERE name = 'first';
> [id, name] (1, 'first')
REPLACE INTO users (ext_id, name) VALUES (1234567890123456768.0, 'real');
> affected 1
SELECT id, ext_id, name FROM users;
> [id, ext_id, name] (1, 1.2345678901234568e18, 'real')
PRAGMA integrity_check;
> [integrity_check] ('ok')

-- CREATE UNIQUE INDEX and reindex over rows that share a key: distinct
-- values pass, an equal pair does not.
CREATE TABLE pairs (a INT, b INT);
INSERT INTO pairs VALUES (9223372036854775807, 1), (9223372036854775806, 1), (9223372036854775806, 2);
CREATE UNIQUE INDEX pairs_ab ON pairs (a, b);
PRAGMA reindex = pairs;
> ok / affected 3 / ok / [reindex] ('rebuilt 1 index(es)')
CREATE UNIQUE INDEX pairs_a ON pairs (a);
> !constraint violation: UNIQUE constraint failed: duplicate value in pairs_a
INSERT INTO pairs VALUES (9223372036854775806, 2);
> !constraint violation: UNIQUE constraint failed: pairs_ab
INSERT INTO pairs VALUES (9223372036854775805, 2);
> affected 1
PRAGMA integrity_check;
> [integrity_check] ('ok')
