// The control listener on TCP port 8888.
#pragma once

// Port of the control API, on every local IPv4 address.
inline constexpr int kServicePort = 8888;

// Opens the control socket, runs the container start script once, then
// serves one connection after another. Never returns: every way out ends
// the process with exit status 1.
[[noreturn]] void start_server();
