-- The sender's own id of an offline message, when the sender's client gave
-- one: a resent message finds its first copy and is not kept twice. Messages
-- without one keep NULL, which never conflicts.
ALTER TABLE offline_message ADD COLUMN client_id TEXT;
CREATE UNIQUE INDEX offline_message_by_client_id ON offline_message (sender, client_id);
