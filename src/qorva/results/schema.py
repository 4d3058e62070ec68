"""The results database's schema: the migrations every store runs in order, on SQLite and PostgreSQL alike."""

from __future__ import annotations

# Each entry migrates the database from the version before it to its own (its position + 1); they run in
# order at open, all in one transaction, and `PRAGMA user_version` records the last one applied. Add a
# migration at the end; never edit one that has shipped: databases on the line have already run it.
MIGRATIONS: tuple[str, ...] = (
    # 1: one row per inspected image.
    """
    CREATE TABLE IF NOT EXISTS results (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        recorded_at TEXT NOT NULL,
        run_id TEXT NOT NULL,
        product_id TEXT NOT NULL,
        source_file TEXT,
        source_path TEXT,
        verdict TEXT NOT NULL,
        score REAL,
        threshold REAL,
        ratio REAL,
        structural REAL,
        mahalanobis REAL,
        logical REAL,
        dominant_branch TEXT,
        overlay_path TEXT,
        latency_ms REAL,
        error_message TEXT
    );
    CREATE INDEX IF NOT EXISTS results_product_time ON results (product_id, recorded_at);
    """,
    # 2: the raw bytes of the source path, the key of each image (name, size, modification time, content
    # hash) that keeps an image from being recorded twice, and the journal of images handed over but not
    # yet recorded, which a run after a crash uses to mark the images it judges again as recovered.
    """
    ALTER TABLE results ADD COLUMN source_bytes BLOB;
    ALTER TABLE results ADD COLUMN file_size INTEGER;
    ALTER TABLE results ADD COLUMN file_mtime_ns INTEGER;
    ALTER TABLE results ADD COLUMN content_hash TEXT;
    ALTER TABLE results ADD COLUMN recovered INTEGER NOT NULL DEFAULT 0;
    CREATE INDEX results_content ON results (content_hash);
    CREATE TABLE handovers (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        taken_at TEXT NOT NULL,
        run_id TEXT NOT NULL,
        product_id TEXT NOT NULL,
        source_file TEXT NOT NULL,
        source_bytes BLOB NOT NULL,
        file_size INTEGER,
        file_mtime_ns INTEGER
    );
    CREATE INDEX handovers_source ON handovers (source_bytes);
    """,
    # 3: many stations in one database. Each row and journal entry names its station; `row_key` (the image's
    # key with the station, hashed) is unique, so an insert retried after a lost connection never doubles a
    # row. Rows of earlier versions keep NULL in both (NULLs never collide).
    """
    ALTER TABLE results ADD COLUMN station TEXT;
    ALTER TABLE results ADD COLUMN row_key TEXT;
    CREATE UNIQUE INDEX results_row_key ON results (row_key);
    ALTER TABLE handovers ADD COLUMN station TEXT;
    """,
    # 4: where the image lay against the product's reference (fixed layouts): the move of its centre in the
    # image's own pixels, its turn in degrees, and 1 when that is beyond what the training images showed (a
    # fixture moved, a part misplaced). NULL where the model does not register images, and on earlier rows.
    """
    ALTER TABLE results ADD COLUMN offset_x REAL;
    ALTER TABLE results ADD COLUMN offset_y REAL;
    ALTER TABLE results ADD COLUMN offset_deg REAL;
    ALTER TABLE results ADD COLUMN offset_beyond INTEGER;
    """,
)
SCHEMA_VERSION = len(MIGRATIONS)
