// Datagrams straight into the agent's request handling, as the SNMP thread
// hands them over: shared by the fuzz target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Maps the live tables and opens the board inside the sandbox at root (the
// current one when empty, else a fresh temporary one), and admits managers
// at 127.0.0.1 with the community "public" on a KVT-7400.
void recv_harness_setup(const std::string& root);
// One datagram from 127.0.0.1; returns recv_message's code. A response
// outside 2..1024 bytes aborts.
int recv_harness_feed(const uint8_t* data, size_t size);
