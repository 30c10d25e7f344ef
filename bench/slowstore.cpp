#include "slowstore.h"

#include <pqxx/pqxx>

#include <cstdio>
#include <stdexcept>

namespace {

// The store's own tables, not its schema version.
const char kStoreTables[] = "SELECT table_name FROM information_schema.tables "
                            "WHERE table_schema = current_schema() AND table_type = 'BASE TABLE' "
                            "AND table_name NOT IN ('schema_version', 'bench_delay')";

} // namespace

CSlowStore::CSlowStore(const std::string& uri) : m_uri(uri)
{
    pqxx::connection conn(m_uri);
    pqxx::work tx(conn);
    tx.exec("CREATE TABLE bench_delay (ms integer NOT NULL)");
    tx.exec("INSERT INTO bench_delay VALUES (0)");
    tx.exec("CREATE FUNCTION bench_slow_write() RETURNS trigger LANGUAGE plpgsql AS $$ "
            "BEGIN PERFORM pg_sleep((SELECT ms FROM bench_delay) / 1000.0); RETURN NULL; END $$");
    int tables = 0;
    for (const auto& row : tx.exec(kStoreTables)) {
        const std::string table = tx.quote_name(row[0].as<std::string>());
        tx.exec("CREATE TRIGGER bench_slow_write BEFORE INSERT OR UPDATE OR DELETE ON " + table +
                " FOR EACH STATEMENT EXECUTE PROCEDURE bench_slow_write()");
        ++tables;
    }
    if (tables == 0)
        throw std::runtime_error("the database has no tables of murmurly-server to slow down");
    tx.commit();
}

CSlowStore::~CSlowStore()
{
    try {
        pqxx::connection conn(m_uri);
        pqxx::work tx(conn);
        for (const auto& row : tx.exec(kStoreTables))
            tx.exec("DROP TRIGGER bench_slow_write ON " + tx.quote_name(row[0].as<std::string>()));
        tx.exec("DROP FUNCTION bench_slow_write()");
        tx.exec("DROP TABLE bench_delay");
        tx.commit();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot remove the slow-write triggers: %s\n", error.what());
    }
}

void CSlowStore::SetDelay(std::chrono::milliseconds delay)
{
    pqxx::connection conn(m_uri);
    pqxx::work tx(conn);
    tx.exec("UPDATE bench_delay SET ms = " + std::to_string(delay.count()));
    tx.commit();
}
