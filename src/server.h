// The control listener on TCP port 8888.
#pragma once

// Port of the control API.
inline constexpr int kServicePort = 8888;

// Opens the control socket on the IPv4 address in SKEIN_LISTEN_ADDRESS (every
// address when it is unset, empty or 0.0.0.0; a value that is not a unicast
// address of the box ends start-up with exit status 1), runs the container
// start script once, resumes the updates an earlier process had accepted,
// then reads up to 128 connections side by side, each for at most the idle
// limit, and answers their requests one at a time, in the order they come.
// Never returns: every way out ends the process with exit status 1.
[[noreturn]] void start_server();
