-- ZE Vuvuri line records for PostgreSQL: the table that zevuvuri-cli
-- --records-db fills (one row per unit upgrade, keyed by the record's own
-- record_id, so a record sent twice is stored once), its indexes, and the
-- views a quality engineer asks first.
--   runuser -u postgres -- psql -d line < postgresql.sql
-- (the README's "Setting up a line" creates the database, the roles and their
-- rights first).
-- Times are UTC.

CREATE TABLE IF NOT EXISTS unit_records (
  record_id        char(32)         PRIMARY KEY,          -- 128 random bits, hex
  station          varchar(255)     NOT NULL,             -- --station-name, by default the host name
  station_run      varchar(64),                            -- one station run; NULL for single runs
  unit             integer,                                -- the unit's number in its station run
  serial_number    varchar(255),                           -- scanned from the board's label
  repeat_unit      smallint,                               -- 1: the serial already had "Upgrade OK" with this image
  host             varchar(255)     NOT NULL,
  port             varchar(1024)    NOT NULL,
  device           varchar(1024),
  type_code        integer          NOT NULL,              -- module type
  link_mode        varchar(16),                            -- serial, over_the_air; NULL: the module never answered
  pacing           varchar(16)      NOT NULL,              -- classic, fast
  firmware         varchar(4096)    NOT NULL,              -- the image's path
  firmware_size    bigint,
  firmware_sha256  char(64),                               -- of the bytes the module received
  approved_sha256  char(64),                               -- --firmware-sha256, when the image was pinned
  result           varchar(255)     NOT NULL,              -- the last status text, "Upgrade OK" on success
  exit_code        integer          NOT NULL,
  data_frames_sent bigint           NOT NULL,
  started_utc      timestamp(3)     NOT NULL,
  ended_utc        timestamp(3)     NOT NULL,
  duration_s       double precision NOT NULL,
  loader_version   varchar(32)      NOT NULL,
  record           text             NOT NULL              -- the journal line as written
);

CREATE INDEX IF NOT EXISTS unit_records_serial_number ON unit_records (serial_number, started_utc);
CREATE INDEX IF NOT EXISTS unit_records_started ON unit_records (started_utc);

-- Yield by station and hour: "what was this line's yield today".
CREATE OR REPLACE VIEW yield_by_station_hour AS
SELECT station,
       date_trunc('hour', started_utc) AS hour_utc,
       count(*) AS units,
       count(*) FILTER (WHERE result = 'Upgrade OK') AS ok,
       count(*) FILTER (WHERE result <> 'Upgrade OK') AS failed,
       round(100.0 * count(*) FILTER (WHERE result = 'Upgrade OK') / count(*), 1) AS yield_percent
FROM unit_records
GROUP BY station, date_trunc('hour', started_utc);

-- Yield by firmware image (its SHA-256, and the names it was flashed under).
CREATE OR REPLACE VIEW yield_by_firmware AS
SELECT firmware_sha256,
       string_agg(DISTINCT firmware, ', ') AS firmware,
       min(started_utc) AS first_utc,
       max(started_utc) AS last_utc,
       count(*) AS units,
       count(*) FILTER (WHERE result = 'Upgrade OK') AS ok,
       count(*) FILTER (WHERE result <> 'Upgrade OK') AS failed,
       round(100.0 * count(*) FILTER (WHERE result = 'Upgrade OK') / count(*), 1) AS yield_percent
FROM unit_records
GROUP BY firmware_sha256;

-- Every attempt on a board, in order: "what happened to board X".
--   SELECT * FROM serial_history WHERE serial_number = 'X';
CREATE OR REPLACE VIEW serial_history AS
SELECT serial_number,
       row_number() OVER (PARTITION BY serial_number ORDER BY started_utc, record_id) AS attempt,
       started_utc, ended_utc, station, port, unit, firmware, firmware_sha256, result, exit_code,
       duration_s, repeat_unit = 1 AS repeat, record_id
FROM unit_records
WHERE serial_number IS NOT NULL;

-- The line's live state, which every station with --records-db keeps up to
-- date beside its records: one row per station (its heartbeat, its image and
-- the totals of its current run) and one per slot. Best effort and not a
-- record: a station that is gone leaves its last state here, and its beat
-- tells how old that is. Times are the database server's own clock, so
-- that stations whose clocks differ still compare.
CREATE TABLE IF NOT EXISTS line_stations (
  station          varchar(255)  PRIMARY KEY,
  host             varchar(255)  NOT NULL,
  station_run      varchar(64)   NOT NULL,    -- the run now (or last) on it
  started_utc      timestamptz   NOT NULL,    -- when that run opened
  beat_utc         timestamptz   NOT NULL,    -- its last heartbeat
  ended_utc        timestamptz,               -- set when the run ended cleanly; NULL while it runs
  slots            integer       NOT NULL,
  type_code        integer       NOT NULL,    -- module type
  pacing           varchar(16)   NOT NULL,
  firmware         varchar(4096) NOT NULL,    -- the image's path as given
  firmware_sha256  char(64),                  -- of the image the run flashes, once known
  approved_sha256  char(64),                  -- the pin, when the image is pinned
  units            integer       NOT NULL DEFAULT 0,  -- this run's totals, as the station shows them
  ok               integer       NOT NULL DEFAULT 0,
  failed           integer       NOT NULL DEFAULT 0,
  failures         text,                      -- JSON [["result text", count], ...] in first-seen order
  loader_version   varchar(32)   NOT NULL
);

CREATE TABLE IF NOT EXISTS station_slots (
  station          varchar(255)  NOT NULL,
  port             varchar(1024) NOT NULL,
  slot             integer       NOT NULL,    -- 0.. in the station's order
  station_run      varchar(64)   NOT NULL,
  unit             integer,                   -- on the slot now, or the last one
  serial_number    varchar(255),
  phase            varchar(16)   NOT NULL,    -- waiting, upgrading, leaving
  state_text       varchar(1024) NOT NULL,    -- as the station view shows it
  percent          smallint,                  -- 0..100 of the image sent; NULL before the first data frame
  result           varchar(16),               -- ok, failed; NULL while a unit runs or before the first
  result_text      varchar(1024),             -- "Upgrade OK", the failure's status text, "interrupted"
  repeat_unit      smallint,                  -- 1: the serial had "Upgrade OK" with this image before
  firmware         varchar(4096),             -- of the unit on the slot (or the last one)
  firmware_sha256  char(64),
  type_code        integer,
  changed_utc      timestamptz   NOT NULL,
  PRIMARY KEY (station, port)
);

-- The line page's count of a shift's units by hour and failures by reason
-- reads these two columns only (an index-only scan over the hour it asks).
CREATE INDEX IF NOT EXISTS unit_records_started_result ON unit_records (started_utc, result);
