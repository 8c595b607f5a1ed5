// The events a socket's event source reports, as bits of one notification: shared by the source and the socket
// without either including the other.
#pragma once

enum TSocketEvent : int { FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32 };
