-- The two roles of the farm's databases, each with exactly what its users need.
--
--   qbnotify_library  the notification library (and qbnotify-doctor, qbnotify-lint, which
--                     connect as it): reads the rules, the users, the applications and the
--                     session-load table; draws identifiers; adds rows to the event log and
--                     the audit. No DELETE anywhere, no UPDATE but the counter's ID, nothing
--                     on other databases, no global privilege.
--   qbnotify_reader   qbnotify-report and qbnotify-explain: SELECT on the tables they read.
--
-- Run as an administrator after the tables exist (db/ds.sql, db/dc.sql, db/log.sql): column
-- grants name columns of existing tables. The file names the demo's databases qbds (DS),
-- qbdc (DC) and qblog (Log); for other names replace the three, for example
--
--     sed -e 's/\bqbds\./farm_ds./g; s/\bqbdc\./farm_dc./g; s/\bqblog\./farm_log./g' \
--         db/grants.sql | mariadb
--
-- or let `qbnotify-doctor` print the statements for the databases a settings file names.
-- Running it again is harmless. Then give each account its role, as its default (a role
-- that is not the account's default is not in force when it connects), on every host it
-- connects from ('u'@'localhost' does not match a TCP connection to 127.0.0.1):
--
--     GRANT qbnotify_library TO 'qbnotify'@'%';
--     SET DEFAULT ROLE qbnotify_library FOR 'qbnotify'@'%';
--     GRANT qbnotify_reader TO 'qbreport'@'%';
--     SET DEFAULT ROLE qbnotify_reader FOR 'qbreport'@'%';
--
-- Where a statement reads `*` of a table (the rule query: a.*, b.*, c.*) the whole table is
-- granted, since the server refuses `SELECT *` to an account holding only some columns;
-- elsewhere only the columns the statements name. The session-load table is granted whole:
-- the library's search names the columns AppSwitch and UserSwitch, which exist only after
-- db/migrations/sessionload-index-add.sql, and to an account with column grants the server
-- answers a column that is not there with "access denied" instead of "unknown column", so
-- the library could not tell the table's two forms apart.
--
-- By table: GloabolInc, the identifier counters: a draw reads Head and ID and updates ID, a
-- head's first draw inserts its row. Cuser and Application: the columns the checks, the
-- records and the rules' snapshot read. securitypolicy_sub, addressgroup, timegroup: the
-- rules, read whole. dc_sessionload: the farm's running sessions. log and appshenji: rows are
-- added, and read back under their key after a duplicate key (a row written back from the
-- spool may be there already). qbnotify-doctor checks an account against exactly these
-- statements (it prints them with --grants).

CREATE ROLE IF NOT EXISTS qbnotify_library;
CREATE ROLE IF NOT EXISTS qbnotify_reader;
GRANT SELECT (Head, ID), INSERT (Head, ID, Inc, Remark), UPDATE (ID) ON qbds.GloabolInc TO qbnotify_library;
GRANT SELECT (User_ID, name, RepeatLoginEnable, RunAppNum) ON qbds.Cuser TO qbnotify_library;
GRANT SELECT (App_ID, Name, security_policy_id, app_session_count, each_user_one_session) ON qbds.Application TO qbnotify_library;
GRANT SELECT ON qbds.securitypolicy_sub TO qbnotify_library;
GRANT SELECT ON qbds.addressgroup TO qbnotify_library;
GRANT SELECT ON qbds.timegroup TO qbnotify_library;
GRANT SELECT ON qbdc.dc_sessionload TO qbnotify_library;
GRANT SELECT, INSERT ON qblog.log TO qbnotify_library;
GRANT SELECT, INSERT ON qblog.appshenji TO qbnotify_library;
GRANT SELECT ON qbds.Cuser TO qbnotify_reader;
GRANT SELECT ON qbds.Application TO qbnotify_reader;
GRANT SELECT ON qbds.securitypolicy_sub TO qbnotify_reader;
GRANT SELECT ON qbds.addressgroup TO qbnotify_reader;
GRANT SELECT ON qbds.timegroup TO qbnotify_reader;
GRANT SELECT ON qbdc.dc_sessionload TO qbnotify_reader;
GRANT SELECT ON qblog.log TO qbnotify_reader;
GRANT SELECT ON qblog.appshenji TO qbnotify_reader;
