-- A small sample farm for the demo: users, applications, security policies and the
-- sessions already running on the farm. Load it after ds.sql, dc.sql and log.sql; it names
-- the demo's databases qbds and qbdc.

SET NAMES utf8mb4;

USE qbds;

-- alice may use one client computer at a time; 张伟 may run two sessions from his computer,
-- carol one.
INSERT INTO Cuser (User_ID, name, RepeatLoginEnable, RunAppNum) VALUES
  ('U0001', 'alice', 1, 0),
  ('U0002', 'bob',   0, 0),
  ('U0003', '张伟',  0, 2),
  ('U0004', 'carol', 0, 1),
  ('U0005', 'dave',  0, 0);

INSERT INTO Application (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) VALUES
  ('APP00000012', '财务报表',        'SP01', 10, 0),  -- office computers on the LAN only
  ('APP00000020', 'Office 文字处理', NULL,   0,  0),  -- no policy, no limit
  ('APP00000030', '人事档案',        'SP02', 0,  0),  -- known MACs only
  ('APP00000040', '合同审批',        'NULL', 0,  1);  -- one session per user

INSERT INTO addressgroup (AddressID, AddressType, Ip1, Ip2) VALUES
  ('AG00', '0', '', ''),                          -- any address
  ('AG01', '8', '10.0.0.0', ''),                  -- the office LAN 10.0.0.x
  ('AG02', '4', '192.168.1.20', '192.168.1.30');  -- a range

INSERT INTO timegroup (TimeID, DayType, DayFlags, StartDay, EndDay, StartTime, EndTime) VALUES
  ('TG00', 0, '01111111', NULL, NULL, NULL, NULL),                              -- any time
  ('TG01', 1, '01111100', '2026-01-01', '0000-00-00', '08:00:00', '18:00:00');  -- working hours

INSERT INTO securitypolicy_sub (SecPID, SortID, clientname, MAC, ClientProtocol, ClientIPAddressGroupID, TimeID, Action) VALUES
  ('SP01', 10, 'PC-*',     '任何Mac地址', 1, 'AG01', 'TG00', 0),  -- office PCs on the LAN: admit
  ('SP01', 20, '任何名称', '任何Mac地址', 0, 'AG00', 'TG00', 1),  -- everybody else: refuse
  ('SP02', 10, '任何名称', '00-11-22-*',  1, 'AG00', 'TG00', 0);  -- known MACs: admit

USE qbdc;

-- Sessions already running on the farm, as the session broker records them.
INSERT INTO dc_sessionload (InitAppName, ClientName, StationName) VALUES
  ('"C:\\TAV\\kevshell.exe" /N:APP00000020 /U:alice /M:AA-BB-CC-00-00-01 /E:S0100', 'PC-B', 'KEV-Tcp#11'),
  ('"C:\\TAV\\kevshell.exe" /N:APP00000012 /U:zoe /M:AA-BB-CC-00-00-02 /E:S0101',   'PC-C', 'KEV-Tcp#12'),
  ('"C:\\TAV\\kevshell.exe" /N:APP00000040 /U:dave /M:AA-BB-CC-00-00-03 /E:S0102',  'PC-D', 'KEV-Tcp#13'),
  ('rdpclip.exe',                                                                   'PC-C', 'RDP-Tcp#4');
