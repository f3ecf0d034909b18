-- ZE Vuvuri line records for Microsoft SQL Server: the same table and views
-- as postgresql.sql. UNTESTED here: no SQL Server runs in this project's
-- tests; check it on your server before a line depends on it.
--   sqlcmd -S SERVER -d line -i sqlserver.sql
-- Times are UTC.

IF OBJECT_ID('unit_records') IS NULL
CREATE TABLE unit_records (
  record_id        char(32)       NOT NULL PRIMARY KEY,
  station          nvarchar(255)  NOT NULL,
  station_run      nvarchar(64)   NULL,
  unit             int            NULL,
  serial_number    nvarchar(255)  NULL,
  repeat_unit      smallint       NULL,
  host             nvarchar(255)  NOT NULL,
  port             nvarchar(1024) NOT NULL,
  device           nvarchar(1024) NULL,
  type_code        int            NOT NULL,
  link_mode        nvarchar(16)   NULL,
  pacing           nvarchar(16)   NOT NULL,
  firmware         nvarchar(4000) NOT NULL,
  firmware_size    bigint         NULL,
  firmware_sha256  char(64)       NULL,
  approved_sha256  char(64)       NULL,
  result           nvarchar(255)  NOT NULL,
  exit_code        int            NOT NULL,
  data_frames_sent bigint         NOT NULL,
  started_utc      datetime2(3)   NOT NULL,
  ended_utc        datetime2(3)   NOT NULL,
  duration_s       float          NOT NULL,
  loader_version   nvarchar(32)   NOT NULL,
  record           nvarchar(max)  NOT NULL
);
GO
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = 'unit_records_serial_number')
  CREATE INDEX unit_records_serial_number ON unit_records (serial_number, started_utc);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = 'unit_records_started')
  CREATE INDEX unit_records_started ON unit_records (started_utc);
GO
CREATE OR ALTER VIEW yield_by_station_hour AS
SELECT station,
       DATEADD(hour, DATEDIFF(hour, 0, started_utc), 0) AS hour_utc,
       COUNT(*) AS units,
       SUM(CASE WHEN result = 'Upgrade OK' THEN 1 ELSE 0 END) AS ok,
       SUM(CASE WHEN result <> 'Upgrade OK' THEN 1 ELSE 0 END) AS failed,
       ROUND(100.0 * SUM(CASE WHEN result = 'Upgrade OK' THEN 1 ELSE 0 END) / COUNT(*), 1) AS yield_percent
FROM unit_records
GROUP BY station, DATEADD(hour, DATEDIFF(hour, 0, started_utc), 0);
GO
CREATE OR ALTER VIEW yield_by_firmware AS
SELECT firmware_sha256,
       STRING_AGG(firmware, ', ') AS firmware,
       MIN(started_utc) AS first_utc,
       MAX(started_utc) AS last_utc,
       COUNT(*) AS units,
       SUM(CASE WHEN result = 'Upgrade OK' THEN 1 ELSE 0 END) AS ok,
       SUM(CASE WHEN result <> 'Upgrade OK' THEN 1 ELSE 0 END) AS failed,
       ROUND(100.0 * SUM(CASE WHEN result = 'Upgrade OK' THEN 1 ELSE 0 END) / COUNT(*), 1) AS yield_percent
FROM unit_records
GROUP BY firmware_sha256;
GO
CREATE OR ALTER VIEW serial_history AS
SELECT serial_number,
       ROW_NUMBER() OVER (PARTITION BY serial_number ORDER BY started_utc, record_id) AS attempt,
       started_utc, ended_utc, station, port, unit, firmware, firmware_sha256, result, exit_code,
       duration_s, CASE WHEN repeat_unit = 1 THEN 1 ELSE 0 END AS repeat, record_id
FROM unit_records
WHERE serial_number IS NOT NULL;
GO

-- The line page's count of a shift's units by hour and failures by reason
-- reads these two columns only.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = 'unit_records_started_result')
  CREATE INDEX unit_records_started_result ON unit_records (started_utc, result);
GO

-- The line's live state: one row per station (its heartbeat, this run's
-- totals) and one per slot, kept by every station with --records-db, as in
-- postgresql.sql. The stations write the times with SYSDATETIMEOFFSET().
IF OBJECT_ID('line_stations') IS NULL
CREATE TABLE line_stations (
  station          nvarchar(255)  NOT NULL PRIMARY KEY,
  host             nvarchar(255)  NOT NULL,
  station_run      nvarchar(64)   NOT NULL,
  started_utc      datetimeoffset(3) NOT NULL,
  beat_utc         datetimeoffset(3) NOT NULL,
  ended_utc        datetimeoffset(3) NULL,
  slots            int            NOT NULL,
  type_code        int            NOT NULL,
  pacing           nvarchar(16)   NOT NULL,
  firmware         nvarchar(4000) NOT NULL,
  firmware_sha256  char(64)       NULL,
  approved_sha256  char(64)       NULL,
  units            int            NOT NULL DEFAULT 0,
  ok               int            NOT NULL DEFAULT 0,
  failed           int            NOT NULL DEFAULT 0,
  failures         nvarchar(max)  NULL,
  loader_version   nvarchar(32)   NOT NULL
);
GO
IF OBJECT_ID('station_slots') IS NULL
CREATE TABLE station_slots (
  station          nvarchar(255)  NOT NULL,
  port             nvarchar(590)  NOT NULL,  -- the key within 1700 bytes
  slot             int            NOT NULL,
  station_run      nvarchar(64)   NOT NULL,
  unit             int            NULL,
  serial_number    nvarchar(255)  NULL,
  phase            nvarchar(16)   NOT NULL,
  state_text       nvarchar(1024) NOT NULL,
  [percent]        smallint       NULL,      -- a keyword here: the stations write "percent"
  result           nvarchar(16)   NULL,
  result_text      nvarchar(1024) NULL,
  repeat_unit      smallint       NULL,
  firmware         nvarchar(4000) NULL,
  firmware_sha256  char(64)       NULL,
  type_code        int            NULL,
  changed_utc      datetimeoffset(3) NOT NULL,
  PRIMARY KEY NONCLUSTERED (station, port)
);
GO
