-- Accounts that the operator locked: they keep everything but cannot log in.
ALTER TABLE account ADD COLUMN locked BOOLEAN NOT NULL DEFAULT FALSE;
