-- The DS database as a farm may hold it: only the columns the library's statements name,
-- no keys, no indexes, no column of our own. The library and its tools must work on it
-- (the tests run on it as well as on db/ds.sql); where a feature needs more, the doctor says
-- which column is missing.

-- The file is UTF-8; the server stores the texts as gbk.
SET NAMES utf8mb4;

CREATE TABLE GloabolInc (
  Head   VARCHAR(16) NOT NULL,
  ID     VARCHAR(32) NOT NULL,
  Inc    INT NOT NULL DEFAULT 1,
  Remark VARCHAR(64) NULL
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

CREATE TABLE Cuser (
  User_ID           VARCHAR(32) NOT NULL,
  name              VARCHAR(255) NOT NULL,
  RepeatLoginEnable INT NULL DEFAULT 0,
  RunAppNum         INT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

CREATE TABLE Application (
  App_ID                VARCHAR(32) NOT NULL,
  Name                  VARCHAR(512) NULL,
  security_policy_id    VARCHAR(32) NULL,
  app_session_count     INT NULL DEFAULT 0,
  each_user_one_session INT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

CREATE TABLE securitypolicy_sub (
  SecPID                 VARCHAR(32) NOT NULL,
  SortID                 INT NOT NULL DEFAULT 0,
  clientname             VARCHAR(255) NOT NULL DEFAULT '',
  MAC                    VARCHAR(255) NOT NULL DEFAULT '',
  ClientProtocol         INT NOT NULL DEFAULT 0,
  ClientIPAddressGroupID VARCHAR(32) NOT NULL,
  TimeID                 VARCHAR(32) NOT NULL,
  Action                 INT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

CREATE TABLE addressgroup (
  AddressID   VARCHAR(32) NOT NULL,
  AddressType VARCHAR(2) NOT NULL,
  Ip1         VARCHAR(15) NOT NULL DEFAULT '',
  Ip2         VARCHAR(15) NOT NULL DEFAULT ''
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

CREATE TABLE timegroup (
  TimeID    VARCHAR(32) NOT NULL,
  DayType   INT NOT NULL DEFAULT 0,
  DayFlags  VARCHAR(8) NOT NULL DEFAULT '01111111',
  StartDay  DATE NULL,
  EndDay    DATE NULL,
  StartTime TIME NULL,
  EndTime   TIME NULL
) ENGINE=InnoDB DEFAULT CHARSET=gbk;
