#pragma once

#include <chrono>
#include <string>

// Slows down every write of murmurly-server's PostgreSQL store by a delay
// that can change while the server runs: the table bench_delay holds it in
// milliseconds, and a trigger on each of the store's tables sleeps that
// long before every statement that inserts, updates or deletes (so a group
// of offline messages takes the delay once per message). Installed in the
// schema of `uri` once the server has made its tables there; removed with
// the object.
class CSlowStore
{
public:
    explicit CSlowStore(const std::string& uri);
    ~CSlowStore();
    CSlowStore(const CSlowStore&) = delete;
    CSlowStore& operator=(const CSlowStore&) = delete;

    void SetDelay(std::chrono::milliseconds delay);

private:
    std::string m_uri; // each call connects anew: they are few
};
