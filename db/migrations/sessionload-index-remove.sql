-- Undoes sessionload-index-add.sql: the library goes back to its searches without the
-- columns at its next startup. Run against the DC database; MariaDB 10.3.3 or later.
ALTER TABLE dc_sessionload
  DROP KEY ix_dc_sessionload_user,
  DROP KEY ix_dc_sessionload_app,
  DROP COLUMN UserSwitch,
  DROP COLUMN AppSwitch;
