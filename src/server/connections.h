#pragma once
// The studio's open connections: how many there are, which wait for a request, and since
// when. A new connection always finds a slot: at the limit the connection that has waited
// longest for a request is closed to make room, so idle or half-open connections cannot lock
// the page out.
#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace tsl {

// Connection threads at once; a browser opens a handful, so this only stops a runaway client.
inline constexpr size_t MAX_CONNECTIONS = 128;

// Registers a connection (idle until it has a complete request head); the table keeps a
// descriptor of its own on it, so closing a connection never races with its owner's close.
// Returns its id, or 0 when the limit is reached and no connection waits to be closed.
uint64_t connection_opened(const platform::Socket& socket);
void connection_closed(uint64_t id);
// Busy while a request whose body has arrived is handled and answered; idle otherwise (also
// while a head or a body is still awaited).
void connection_busy(uint64_t id, bool busy);
size_t open_connections();

}  // namespace tsl
