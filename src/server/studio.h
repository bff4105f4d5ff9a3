#pragma once
// The studio: the local web interface and its API.
#include <cstdint>

namespace tsl {

// Serves the studio on 127.0.0.1 at the first free port of port .. port + 11 until the process
// ends (opening the browser on it when asked). Returns only when it could not serve, after
// writing its reason to stderr; the entry then exits with code 1.
void serve_studio(uint16_t port, bool open_browser);

}  // namespace tsl
