-- The DC database as a farm may hold it: the session-load table with only the columns the
-- library reads, no key and no index (see db/minimal/ds.sql).

-- The file is UTF-8; the server stores the texts as gbk.
SET NAMES utf8mb4;

CREATE TABLE dc_sessionload (
  InitAppName VARCHAR(1024) NOT NULL DEFAULT '',
  ClientName  VARCHAR(255) NOT NULL DEFAULT '',
  StationName VARCHAR(64) NOT NULL DEFAULT ''
) ENGINE=InnoDB DEFAULT CHARSET=gbk;
