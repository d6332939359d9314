-- Indexes whose columns hold the row-id alias column. Reading the column
-- yields the row id, while a row inserted without it stores the column's
-- default (Null unless declared): every index keys it by the row id,
-- whether it exists before the rows or is built over them.

CREATE TABLE al (id INTEGER PRIMARY KEY, v TEXT);
CREATE INDEX al_i ON al (id);
INSERT INTO al (v) VALUES ('a');
PRAGMA integrity_check;
> ok / ok / affected 1 / [integrity_check] ('ok')

-- Built over rows inserted without the id: UNIQUE holds, the ids differ.
INSERT INTO al (v) VALUES ('a'), ('b');
> affected 2
CREATE UNIQUE INDEX al_vi ON al (v, id);
CREATE UNIQUE INDEX al_iv ON al (id, v);
CREATE UNIQUE INDEX al_u ON al (id);
PRAGMA integrity_check;
> ok / ok / ok / [integrity_check] ('ok')
SELECT id, v FROM al WHERE v = 'a' ORDER BY id;
> [id, v] (1, 'a') (2, 'a')
SELECT id, v FROM al WHERE v = 'a' AND id > 1 ORDER BY id;
> [id, v] (2, 'a')

-- Every write form keeps them in step, with the id and without.
INSERT INTO al (id, v) VALUES (10, 'a');
INSERT IGNORE INTO al (v) VALUES ('c');
INSERT IGNORE INTO al (id, v) VALUES (10, 'x');
REPLACE INTO al (id, v) VALUES (2, 'z');
REPLACE INTO al (v) VALUES ('a');
INSERT INTO al (id, v) VALUES (1, 'q') ON DUPLICATE KEY UPDATE v = 'b';
INSERT INTO al (v) VALUES ('d') ON DUPLICATE KEY UPDATE v = 'never';
INSERT INTO al (v) SELECT v FROM al WHERE id <= 2;
REPLACE INTO al (id, v) SELECT id + 1, 'r' FROM al WHERE v = 'z';
PRAGMA integrity_check;
> affected 1 / affected 1 / affected 0 / affected 1 / affected 1 / affected 1 / affected 1 / affected 2
> / affected 2 / [integrity_check] ('ok')
SELECT id, v FROM al ORDER BY id;
> [id, v] (1, 'b') (2, 'z') (3, 'r') (10, 'a') (11, 'c') (12, 'a') (13, 'd') (14, 'b') (15, 'z') (16, 'r')
UPDATE al SET v = 'y' WHERE v = 'a';
DELETE FROM al WHERE v = 'b';
PRAGMA integrity_check;
> affected 2 / affected 2 / [integrity_check] ('ok')
SELECT id, v FROM al WHERE v >= 'y' ORDER BY id;
> [id, v] (2, 'z') (10, 'y') (12, 'y') (15, 'z')
INSERT INTO al (id, v) VALUES (3, 'again');
> !constraint violation: UNIQUE constraint failed: al.id

-- A default on the alias column is what its record holds; the keys hold
-- the row ids, and a reindex builds the same keys.
CREATE TABLE ad (id INTEGER PRIMARY KEY DEFAULT 7, v TEXT);
INSERT INTO ad (v) VALUES ('a'), ('a');
CREATE UNIQUE INDEX ad_vi ON ad (v, id);
SELECT id, v FROM ad WHERE v = 'a' ORDER BY id;
> ok / affected 2 / ok / [id, v] (1, 'a') (2, 'a')
PRAGMA reindex;
PRAGMA integrity_check;
> [reindex] ('rebuilt 5 index(es)') / [integrity_check] ('ok')

-- A column named id that is not the alias is keyed by what it holds.
CREATE TABLE na (id INT, v TEXT);
INSERT INTO na (v) VALUES ('a'), ('a');
CREATE INDEX na_vi ON na (v, id);
SELECT rowid, id FROM na WHERE v = 'a' AND id IS NULL ORDER BY rowid;
> ok / affected 2 / ok / [rowid, id] (1, NULL) (2, NULL)
CREATE UNIQUE INDEX na_u ON na (v, id);
> !constraint violation: UNIQUE constraint failed: duplicate value in na_u
PRAGMA integrity_check;
> [integrity_check] ('ok')
