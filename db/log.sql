-- The Log database: the event log and the audit of application use. The library only
-- inserts. The texts that come from the client are stored byte for byte in binary
-- columns: a value cut at a byte limit may end in half a double-byte character, and a
-- client may send bytes that are not valid code page 936; neither may make the insert fail.
-- Read them as text with CONVERT(column USING gbk).

-- The file is UTF-8; the server stores the texts as gbk.
SET NAMES utf8mb4;

-- One row per recorded step of a session: TypeID 1 startup, 2 every other record;
-- EventID 1 refused at startup, 2 session start or shell check passed, 3 logon,
-- 4 disconnect, 5 reconnect, 6 logoff.
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
  Parameter2   VARBINARY(1024) NOT NULL DEFAULT '',
  PRIMARY KEY (ID),
  -- For administrators' reports by time and by application.
  KEY ix_log_time (Time),
  KEY ix_log_app (AppID(32), Time)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

-- One row per logon, disconnect, reconnect and logoff of a session; stoptime
-- '0000-00-00 00:00:00' means not set yet.
CREATE TABLE appshenji (
  logid       VARCHAR(32) NOT NULL,
  sessionid   VARBINARY(11) NOT NULL DEFAULT '',
  farmuser    VARBINARY(255) NOT NULL DEFAULT '',
  appid       VARBINARY(11) NOT NULL DEFAULT '',
  appshowname VARBINARY(255) NOT NULL DEFAULT '',
  clientmac   VARBINARY(50) NOT NULL DEFAULT '',
  starttime   DATETIME NOT NULL,
  stoptime    DATETIME NOT NULL,
  PRIMARY KEY (logid),
  -- For administrators' reports of use by application and by user.
  KEY ix_appshenji_app (appid, starttime),
  KEY ix_appshenji_user (farmuser(32), starttime)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;
