#pragma once

#include <string>

// Copies the SQLite database `source` to the file `target` through SQLite's
// online backup API, on a connection of its own, while the server goes on
// writing: the copy is the database as one committed state, never a torn
// mix. It is written beside `target` first and renamed over it once whole.
// Throws CStoreError with the reason.
void BackupSqliteDatabase(const std::string& source, const std::string& target);
