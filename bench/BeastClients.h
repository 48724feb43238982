#pragma once

#include <string>

// The Boost.Beast clients that net-http-bench measures the network library
// against, written as a careful user writes them: a read buffer of 64 KiB,
// so that each read takes what the socket holds, up to that size (Beast
// sizes its reads to the buffer's free room, 512 bytes at the least). Each
// sends `requests` keep-alive GETs of `target` on each of `connections`
// connections to 127.0.0.1:`port`, one after the other, and gives the
// requests per second; 0 on a failure.

// Synchronous clients, a thread per connection.
double BeastSyncRate(int port, const std::string& target, int connections, int requests);

// The asynchronous client, every connection on one thread.
double BeastAsyncRate(int port, const std::string& target, int connections, int requests);
