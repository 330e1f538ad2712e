-- The Log database as a farm may hold it: the columns the library's inserts name, no key
-- and no index (see db/minimal/ds.sql).

-- The file is UTF-8; the server stores the texts as gbk.
SET NAMES utf8mb4;

CREATE TABLE log (
  ID           VARCHAR(32) NOT NULL,
  Time         DATETIME NOT NULL,
  TypeID       INT NOT NULL,
  SourceID     INT NOT NULL,
  UserID       VARBINARY(255) NOT NULL DEFAULT '',
  AppID        VARBINARY(1024) NOT NULL DEFAULT '',
  ComputerName VARBINARY(1024) NOT NULL DEFAULT '',
  EventID      INT NOT NULL,
  Parameter1   VARBINARY(1024) NOT NULL DEFAULT '',
  Parameter2   VARBINARY(1024) NOT NULL DEFAULT ''
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

CREATE TABLE appshenji (
  logid       VARCHAR(32) NOT NULL,
  sessionid   VARBINARY(11) NOT NULL DEFAULT '',
  farmuser    VARBINARY(255) NOT NULL DEFAULT '',
  appid       VARBINARY(11) NOT NULL DEFAULT '',
  appshowname VARBINARY(255) NOT NULL DEFAULT '',
  clientmac   VARBINARY(50) NOT NULL DEFAULT '',
  starttime   DATETIME NOT NULL,
  stoptime    DATETIME NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=gbk;
