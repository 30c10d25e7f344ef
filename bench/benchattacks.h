#pragma once

#include <string>

// The attacks on fairness of the security section, one row each: against
// `server` (empty: the one built here), and first against `baseline` when
// given, a server of before --limit-exempt, for figures side by side.
int RunAttacks(const std::string& server, const std::string& baseline);

// `connections` connections from 40 loopback hosts, each with 60 KB of an
// unfinished record before login: the server's RSS before, with them, and
// 10 s after they all closed.
int RunHalfRecords(int connections, const std::string& server);
