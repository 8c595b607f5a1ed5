#pragma once

// A listening socket on 127.0.0.1 with a port the kernel chose, for the peers that tests run on their own thread.
// Returns the descriptor and sets port, or returns -1 (port stays 0 and the test fails on it).
int ListenOnLoopback(int& port);
