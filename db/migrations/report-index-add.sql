-- Optional, reversible: lets qbnotify-report read only the rows of the period it reports
-- (with a look-back before it and the rows just after it) instead of the whole audit and
-- event log. The library itself never reads these tables, so nothing else changes.
--
-- Run against the Log database, as an account that may alter the tables:
--     mariadb LOG_DATABASE < report-index-add.sql
-- Undo with report-index-remove.sql. MariaDB 10.3 or later; checked on 10.11.
--
-- The indexes are built in place while the library keeps writing (LOCK=NONE), but a build
-- reads the whole table and takes minutes on a large one: run it in a maintenance window.
-- On a Galera cluster it is worse: the statement is replicated in total order and stalls
-- writes on every node until it has finished everywhere.

ALTER TABLE appshenji
  ADD KEY IF NOT EXISTS ix_appshenji_starttime (starttime),
  ADD KEY IF NOT EXISTS ix_appshenji_stoptime (stoptime),
  ALGORITHM=INPLACE, LOCK=NONE;

-- The event log's index also holds the user and the application, so that a month of
-- disconnects and logoffs is read from the index alone.
ALTER TABLE log
  ADD KEY IF NOT EXISTS ix_log_event_time (EventID, Time, UserID, AppID),
  ALGORITHM=INPLACE, LOCK=NONE;
