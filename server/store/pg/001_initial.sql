-- Accounts, friends, pending requests, permanent blocks, offline mail: the
-- same tables as the SQLite store. The identity columns give each list its
-- insertion order and give every offline message an id that no node reuses.
-- Texts from the wire are bytes (BYTEA); names are checked ASCII (TEXT).
CREATE TABLE account (
    name TEXT PRIMARY KEY,
    password_hash TEXT NOT NULL
);
CREATE TABLE friend (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    owner TEXT NOT NULL,
    name TEXT NOT NULL,
    UNIQUE (owner, name)
);
CREATE INDEX friend_by_name ON friend (name);
CREATE TABLE friend_request (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    requester TEXT NOT NULL,
    addressee TEXT NOT NULL,
    text BYTEA NOT NULL,
    UNIQUE (addressee, requester)
);
CREATE TABLE block (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    blocker TEXT NOT NULL,
    blocked TEXT NOT NULL,
    UNIQUE (blocker, blocked)
);
CREATE TABLE offline_message (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    recipient TEXT NOT NULL,
    sender TEXT NOT NULL,
    text BYTEA NOT NULL,
    time INTEGER NOT NULL,
    face_name BYTEA NOT NULL,
    font BYTEA NOT NULL,
    color BIGINT NOT NULL,
    size INTEGER NOT NULL
);
CREATE INDEX offline_message_by_recipient ON offline_message (recipient, id);
