-- The tables of Tirvan.db. The service never creates tables and never writes qz_conf:
-- tirvan-setup creates this schema with the one qz_conf row and the qz_defshare row.
-- Readers use "select *" and look columns up by their exact lower-case names.

-- The account: e-mail address and password hash, one row.
CREATE TABLE qz_user (
  email TEXT,
  psw TEXT
);

-- Settings, one row, read only by the service. localport 0 or NULL lets the system
-- choose the port; log_priority is the log threshold (a NULL silences the log).
CREATE TABLE qz_conf (
  localport INTEGER,
  log_console INTEGER,
  log_priority INTEGER,
  svhost TEXT,
  svport INTEGER,
  p2phost TEXT,
  p2pport INTEGER
);

-- The default folder and its picture, music, video and document sub-folders, one row.
CREATE TABLE qz_defshare (
  def TEXT,
  def_pic TEXT,
  def_music TEXT,
  def_video TEXT,
  def_doc TEXT
);

-- The shared folders, one row each.
CREATE TABLE qz_share (
  path TEXT
);

-- The transfer log. id is the row key, assigned on insert in increasing order: the
-- writer's trim deletes the rows that "select id from qz_trans limit 50" yields first,
-- which are the oldest only because id is the rowid.
CREATE TABLE qz_trans (
  id INTEGER PRIMARY KEY,
  type INTEGER,
  status INTEGER,
  file TEXT,
  size INTEGER,
  time TEXT
);
