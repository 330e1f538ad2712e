-- Optional, reversible: lets the notification library find a user's and an application's
-- running sessions in dc_sessionload by index instead of reading the whole table.
--
-- Run against the DC database, as an account that may alter the table:
--     mariadb DC_DATABASE < sessionload-index-add.sql
-- Undo with sessionload-index-remove.sql. Needs MariaDB 10.3.3 or later (INVISIBLE columns;
-- REGEXP_SUBSTR with \K, indexes on VIRTUAL columns); checked on 10.11.
--
-- The two columns are computed by the server from InitAppName: the values of the "/N:"
-- (application) and "/U:" (user) switches, read the way the library reads a session's own
-- initial program. Parameters are separated by bytes 1 to 32; a double quote opens a
-- stretch that runs to the next double quote (or the end), in which separators are
-- ordinary; the quotes themselves are not part of the parameter. The first parameter whose
-- text (quotes removed) begins with "/N:" or "/U:", the letter in either case, gives the
-- rest of that text. No such parameter: the empty text. The server reads the gbk text by
-- whole characters, so the second byte of a double-byte character is never taken for a
-- separator or a quote.
--
-- The columns are INVISIBLE: an insert that names no columns, or a SELECT *, does not see
-- them, so the broker that writes the table keeps working unchanged. They are VIRTUAL: the
-- rows do not grow; only the indexes hold the values.
--
-- The library only narrows its searches with them (equality under the table's collation);
-- its own switch reader still decides which rows count.

ALTER TABLE dc_sessionload
  ADD COLUMN AppSwitch VARCHAR(1024) AS (SUBSTRING(REPLACE(REGEXP_SUBSTR(InitAppName,
    '^[\\x01-\\x20]*(?:(?:[^\\x00-\\x20"]|"[^"\\x00]*(?:"|\\z))+[\\x01-\\x20]+)*?\\K(?="*/"*[nN]"*:)(?:[^\\x00-\\x20"]|"[^"\\x00]*(?:"|\\z))+'),
    '"', ''), 4)) VIRTUAL INVISIBLE,
  ADD COLUMN UserSwitch VARCHAR(1024) AS (SUBSTRING(REPLACE(REGEXP_SUBSTR(InitAppName,
    '^[\\x01-\\x20]*(?:(?:[^\\x00-\\x20"]|"[^"\\x00]*(?:"|\\z))+[\\x01-\\x20]+)*?\\K(?="*/"*[uU]"*:)(?:[^\\x00-\\x20"]|"[^"\\x00]*(?:"|\\z))+'),
    '"', ''), 4)) VIRTUAL INVISIBLE,
  -- The application's sessions, and the user's sessions of it. AppSwitch is held whole, so
  -- that the count of an application's sessions reads this key alone (a key on a prefix has
  -- to read every row to compare the whole value).
  ADD KEY ix_dc_sessionload_app (AppSwitch, UserSwitch(255)),
  -- The user's sessions from other client computers.
  ADD KEY ix_dc_sessionload_user (UserSwitch(255), ClientName);
