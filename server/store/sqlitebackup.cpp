#include "sqlitebackup.h"

#include "storeerror.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

struct CCloseDb
{
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using CDbHandle = std::unique_ptr<sqlite3, CCloseDb>;

CDbHandle Open(const std::string& path, int flags, const char* what)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    CDbHandle handle(db);
    if (rc != SQLITE_OK)
        throw CStoreError(std::string("cannot open the ") + what + " " + path + ": " +
                          (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    return handle;
}

} // namespace

void BackupSqliteDatabase(const std::string& source, const std::string& target)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::equivalent(source, target, error))
        throw CStoreError("the backup would replace the database itself");
    const std::string partial = target + ".partial";
    fs::remove(partial, error);
    {
        CDbHandle from = Open(source, SQLITE_OPEN_READONLY, "database");
        // The server's writes hold the lock only for their commits.
        sqlite3_busy_timeout(from.get(), 5000);
        CDbHandle to = Open(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "backup file");
        sqlite3_backup* backup = sqlite3_backup_init(to.get(), "main", from.get(), "main");
        if (!backup)
            throw CStoreError("cannot start the backup: " + std::string(sqlite3_errmsg(to.get())));
        // All pages in one step, under one read transaction: the copy is one
        // committed state of the database, whatever is written meanwhile.
        const int step = sqlite3_backup_step(backup, -1);
        const int finish = sqlite3_backup_finish(backup);
        if (step != SQLITE_DONE || finish != SQLITE_OK) {
            const std::string reason = sqlite3_errmsg(to.get());
            to.reset();
            fs::remove(partial, error);
            throw CStoreError("backup failed: " + reason);
        }
    }
    fs::rename(partial, target, error);
    if (error) {
        const std::string reason = error.message();
        fs::remove(partial, error);
        throw CStoreError("cannot put the backup at " + target + ": " + reason);
    }
}
