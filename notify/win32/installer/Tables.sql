-- What wixl cannot express, applied to its package with msibuild (one statement a line;
-- lines starting with "--" are skipped). @PERMANENT@ is the Attributes value of a permanent
-- component of this architecture (16, plus 256 for 64-bit).
--
-- InstallPath is written only when the product had none, or when an earlier package of ours
-- wrote it (INSTALLPATHOURS): an existing one is kept, and removing the package removes only
-- what it wrote.
UPDATE `Component` SET `Condition` = 'NOT INSTALLPATHFOUND OR INSTALLPATHOURS' WHERE `Component` = 'InstallPath'
-- The Data folders stay when the package is removed: kept rows are the farm's record.
UPDATE `Component` SET `Attributes` = @PERMANENT@ WHERE `Component` = 'DataFolder'
UPDATE `Component` SET `Attributes` = @PERMANENT@ WHERE `Component` = 'ConfigFolder'
UPDATE `Component` SET `Attributes` = @PERMANENT@ WHERE `Component` = 'StateFolder'
UPDATE `Component` SET `Attributes` = @PERMANENT@ WHERE `Component` = 'SpoolFolder'
-- Properties a managed (elevated) install passes from the client to the server side.
UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;INSTALLPATH;INSTALLPATHFOUND;INSTALLPATHOURS;DSHOST;DSUSER;DSDB;DCDB;LOGDB;OFFLINE' WHERE `Property` = 'SecureCustomProperties'
-- Winlogon keeps the library loaded until the server restarts: the package asks for the
-- restart (msiexec's /norestart leaves it to the administrator; the exit status is 3010).
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('ScheduleReboot', 6650)
-- Data, Data\CONFIG, Data\State and Data\Spool: SYSTEM and the administrators only (full
-- access, replacing what the folder inherits). The library checks the access again at every
-- start and narrows State and Spool; qbnotify-settings protect narrows all four.
CREATE TABLE `LockPermissions` (`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `Domain` CHAR(255), `User` CHAR(255) NOT NULL, `Permission` LONG PRIMARY KEY `LockObject`, `Table`, `Domain`, `User`)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('DATADIR', 'CreateFolder', 'SYSTEM', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('DATADIR', 'CreateFolder', 'Administrators', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('CONFIGDIR', 'CreateFolder', 'SYSTEM', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('CONFIGDIR', 'CreateFolder', 'Administrators', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('STATEDIR', 'CreateFolder', 'SYSTEM', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('STATEDIR', 'CreateFolder', 'Administrators', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('SPOOLDIR', 'CreateFolder', 'SYSTEM', 268435456)
INSERT INTO `LockPermissions` (`LockObject`, `Table`, `User`, `Permission`) VALUES ('SPOOLDIR', 'CreateFolder', 'Administrators', 268435456)
