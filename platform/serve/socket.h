// The endpoint's sockets are the shared loopback TCP sockets of
// common/tcp_socket.h (the GDB stub uses them too), known here by the names
// the endpoint's code has always used.
#pragma once

#include "tcp_socket.h"

namespace serve {

using common::net::armQuickAck;
using common::net::hasBytesWaiting;
using common::net::Listener;
using common::net::prepareConnection;
using common::net::ReceiveResult;
using common::net::receiveSome;
using common::net::sendAll;
using common::net::Socket;
using common::net::SocketError;

} // namespace serve
