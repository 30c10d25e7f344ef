#pragma once

#include "serveroptions.h"

#include <string>

namespace CLI {
class App;
}

// Adds murmurly-server's options to `app`, each writing what it is given to
// `options`. A value that fails its check leaves its reason, the first one
// only, in `refused` instead of throwing: --help still wins over a bad value
// given with it.
void AddServerOptions(CLI::App& app, CServerOptions& options, std::string& refused);
