#pragma once

#include "store.h"

#include <memory>
#include <string>

// Whether `--db` names a PostgreSQL database (postgresql:// or postgres://)
// rather than an SQLite file.
bool IsPostgresUri(const std::string& db);

// `db` as it may appear in a log: a URI's password replaced by "***".
std::string DisplayDatabase(const std::string& db);

// Opens the store that `db` names: a PostgreSQL URI or an SQLite file path.
// Throws CStoreError when it cannot be used. `timeout` bounds each wait of
// PostgreSQL's (see CPgStore).
std::unique_ptr<CStore> OpenStore(const std::string& db,
                                  std::chrono::milliseconds timeout = kDefaultStoreTimeout);
