-- The DS database: identifier counters, users, applications and their security policies.
-- Character set gbk: the library's texts are code-page-936 bytes.
-- Table names are written as the library writes them; the server must be started with
-- lower_case_table_names=1, because the library names some tables in two letter cases
-- (Cuser and cuser, Application and application).

-- The file is UTF-8; the server stores the texts as gbk.
SET NAMES utf8mb4;

-- One counter row per identifier head ("Log" for event rows, "lap" for audit rows); ID holds
-- the last identifier issued. A draw is one UPDATE of the head's row. The key on Head keeps
-- one row per head when first draws race, and lets a cluster replicate the row by its key
-- (the library still works on a table without it).
CREATE TABLE GloabolInc (
  Head   VARCHAR(16) NOT NULL,
  ID     VARCHAR(32) NOT NULL,
  Inc    INT NOT NULL DEFAULT 1,
  Remark VARCHAR(64) NULL,
  -- Serves the draw's "... where Head=..." and the read by Head.
  PRIMARY KEY (Head)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

-- Farm users. name is the value of the client's "/U:" switch.
CREATE TABLE Cuser (
  User_ID           VARCHAR(32) NOT NULL,
  name              VARCHAR(255) NOT NULL,
  RepeatLoginEnable INT NULL DEFAULT 0,  -- 1: one client computer at a time
  RunAppNum         INT NULL DEFAULT 0,  -- most sessions of our protocol from one client computer; 0: no limit
  PRIMARY KEY (User_ID),
  -- Serves the lookups by name: User_ID at startup, RepeatLoginEnable, RunAppNum.
  KEY ix_cuser_name (name)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

-- Published applications. App_ID is the value of the client's "/N:" switch.
CREATE TABLE Application (
  App_ID                VARCHAR(32) NOT NULL,
  Name                  VARCHAR(512) NULL,   -- display name; the audit keeps its first 255 bytes
  security_policy_id    VARCHAR(32) NULL,    -- NULL, '' or 'NULL': no policy
  app_session_count     INT NULL DEFAULT 0,  -- most running sessions of the application; 0: no limit
  each_user_one_session INT NULL DEFAULT 0,  -- 1: one session of the application per user
  -- Serves every lookup by App_ID (display name, policy, limits).
  PRIMARY KEY (App_ID)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

-- Rules of the security policies; the matching rule with the lowest SortID decides.
-- clientname and MAC are patterns ("*" any run, "?" one character); the texts
-- '任何名称' and '任何Mac地址' match every client name and every MAC.
CREATE TABLE securitypolicy_sub (
  RuleID                 INT NOT NULL AUTO_INCREMENT,
  SecPID                 VARCHAR(32) NOT NULL,
  SortID                 INT NOT NULL DEFAULT 0,
  clientname             VARCHAR(255) NOT NULL DEFAULT '',
  MAC                    VARCHAR(255) NOT NULL DEFAULT '',
  ClientProtocol         INT NOT NULL DEFAULT 0,  -- 1: our protocol; 0: all protocols
  ClientIPAddressGroupID VARCHAR(32) NOT NULL,
  TimeID                 VARCHAR(32) NOT NULL,
  Action                 INT NULL DEFAULT 0,      -- 0 admits; anything else refuses
  PRIMARY KEY (RuleID),
  -- Serves the rule query: a policy's rules, in SortID order.
  KEY ix_securitypolicy_sub_policy (SecPID, SortID)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

-- Address groups: AddressType '0' any address, '2' the single address Ip1, '4' the range
-- Ip1..Ip2 (octets compared as text), '8' the subnet of Ip1's first three octets.
CREATE TABLE addressgroup (
  AddressID   VARCHAR(32) NOT NULL,
  AddressType VARCHAR(2) NOT NULL,
  Ip1         VARCHAR(15) NOT NULL DEFAULT '',
  Ip2         VARCHAR(15) NOT NULL DEFAULT '',
  -- Serves the rule query's join on the rule's address group.
  PRIMARY KEY (AddressID)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;

-- Time groups, evaluated on the database server's clock. DayType 0: no restriction.
-- DayFlags: the 2nd character is Monday ... the 8th Sunday, '1' allows the day. EndDay
-- '0000-00-00' leaves the date window open; a NULL EndDay never matches.
CREATE TABLE timegroup (
  TimeID    VARCHAR(32) NOT NULL,
  DayType   INT NOT NULL DEFAULT 0,
  DayFlags  VARCHAR(8) NOT NULL DEFAULT '01111111',
  StartDay  DATE NULL,
  EndDay    DATE NULL,
  StartTime TIME NULL,
  EndTime   TIME NULL,
  -- Serves the rule query's join on the rule's time group.
  PRIMARY KEY (TimeID)
) ENGINE=InnoDB DEFAULT CHARSET=gbk;
