-- The DC database: the farm's session-load table, one row per running session, kept by
-- the farm's session broker. The notification library only reads it.

-- The file is UTF-8; the server stores the texts as gbk.
SET NAMES utf8mb4;

CREATE TABLE dc_sessionload (
  SessionLoadID INT NOT NULL AUTO_INCREMENT,
  InitAppName   VARCHAR(1024) NOT NULL DEFAULT '',  -- the session's initial program with its switches
  ClientName    VARCHAR(255) NOT NULL DEFAULT '',
  StationName   VARCHAR(64) NOT NULL DEFAULT '',    -- winstation; ours hold "KEV"
  PRIMARY KEY (SessionLoadID),
  -- Serves the per-client count of sessions of our protocol (ClientName=..., StationName
  -- like '%KEV%') and narrows the duplicate-account search (ClientName<>...). The searches
  -- by user and application (InitAppName like '%...%') read the whole table: the table
  -- holds the farm's running sessions only.
  KEY ix_dc_sessionload_client (ClientName, StationName)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;
