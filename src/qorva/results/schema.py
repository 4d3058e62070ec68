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
    # 4: the verdict reaches the line. Each row gets the station's next sequence number (`station_seq` holds
    # the last one given), the part's id and whether its verdict came after the deadline; `outbox` holds one
    # message per row and configured output until the output's peer confirmed it (written in the row's own
    # transaction, so a row is never without its messages nor a message without its row).
    """
    ALTER TABLE results ADD COLUMN seq INTEGER;
    ALTER TABLE results ADD COLUMN part_id TEXT;
    ALTER TABLE results ADD COLUMN late INTEGER NOT NULL DEFAULT 0;
    CREATE TABLE station_seq (
        station TEXT PRIMARY KEY,
        seq INTEGER NOT NULL
    );
    CREATE TABLE outbox (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        station TEXT NOT NULL,
        output TEXT NOT NULL,
        result_id INTEGER NOT NULL,
        queued_at TEXT NOT NULL,
        state TEXT NOT NULL DEFAULT 'waiting',
        done_at TEXT
    );
    CREATE INDEX outbox_waiting ON outbox (station, output, state, id);
    """,
    # 5: the model behind each verdict: the version and build of the bundle that judged it and how its threshold
    # was chosen; and what a candidate version run beside it (`watch --shadow`) said of the same image, kept apart
    # from the rows (nothing reads it but the report), one per row at most.
    """
    ALTER TABLE results ADD COLUMN model_version INTEGER;
    ALTER TABLE results ADD COLUMN model_build TEXT;
    ALTER TABLE results ADD COLUMN threshold_source TEXT;
    CREATE TABLE shadow_results (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        result_id INTEGER NOT NULL,
        model_version INTEGER,
        model_build TEXT,
        threshold_source TEXT,
        verdict TEXT NOT NULL,
        score REAL,
        threshold REAL,
        ratio REAL,
        dominant_branch TEXT,
        error_message TEXT
    );
    CREATE UNIQUE INDEX shadow_results_result ON shadow_results (result_id);
    """,
    # 6: what people decide about rows and what the line's drift raised. `reviews` keeps every decision on a
    # row (the latest counts: "good" overrules an NG, "defect" confirms one) with who, where and when;
    # `alarms` every drift alarm with its clearing and acknowledgement; `overlay_images` the small JPEG of an
    # NG's overlay, committed with its row, so a report made on any PC of a shared database shows it.
    """
    CREATE TABLE reviews (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        result_id INTEGER NOT NULL,
        product_id TEXT NOT NULL,
        decision TEXT NOT NULL,
        note TEXT,
        reviewer TEXT NOT NULL,
        station TEXT,
        via TEXT NOT NULL,
        reviewed_at TEXT NOT NULL,
        image_path TEXT
    );
    CREATE INDEX reviews_result ON reviews (result_id);
    CREATE TABLE alarms (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        station TEXT,
        product_id TEXT NOT NULL,
        run_id TEXT,
        kind TEXT NOT NULL,
        raised_at TEXT NOT NULL,
        value REAL,
        low REAL,
        high REAL,
        message TEXT NOT NULL,
        cleared_at TEXT,
        acknowledged_at TEXT,
        acknowledged_by TEXT,
        acknowledged_station TEXT,
        note TEXT
    );
    CREATE TABLE overlay_images (
        result_id INTEGER PRIMARY KEY,
        jpeg BLOB NOT NULL
    );
    """,
    # 7: where the image lay against the product's reference (fixed layouts): the move of its centre in the
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
