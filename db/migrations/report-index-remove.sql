-- Undoes report-index-add.sql: qbnotify-report goes back to reading each table whole (its
-- answers stay the same). Run against the Log database.
ALTER TABLE appshenji
  DROP KEY IF EXISTS ix_appshenji_starttime,
  DROP KEY IF EXISTS ix_appshenji_stoptime;

ALTER TABLE log
  DROP KEY IF EXISTS ix_log_event_time;
