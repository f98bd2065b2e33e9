-- One row per GCU per update. Times are UTC text, ISO 8601 with milliseconds
-- ("2026-12-08T19:20:00.000Z"), so that text order is time order.
CREATE TABLE updates (
    id TEXT PRIMARY KEY,
    station TEXT NOT NULL,
    host TEXT NOT NULL,
    pid INTEGER NOT NULL,
    operator TEXT NOT NULL,
    program TEXT NOT NULL,
    program_version TEXT NOT NULL,
    command TEXT NOT NULL,
    serial TEXT NOT NULL,
    port TEXT NOT NULL,
    firmware_file TEXT NOT NULL,
    firmware_sha256 TEXT NOT NULL,
    version_before TEXT NOT NULL,
    version_after TEXT NOT NULL,
    key_fingerprint TEXT NOT NULL,
    outcome TEXT NOT NULL,
    exit_code INTEGER,
    reason TEXT NOT NULL,
    started_at TEXT NOT NULL,
    ended_at TEXT,
    seconds REAL,
    bytes INTEGER NOT NULL,
    retries INTEGER NOT NULL,
    resumes INTEGER NOT NULL
);
