// Operating-system helpers of the network library: detaching the standard
// streams, and TCP connects that give up after a time.
//
// Nothing here keeps state; every function may be called from any thread
// (kxconnect_init seeds the process-wide rand()).
#pragma once

#include <netdb.h>

// Reopens standard input, output and error on "/dev/null" (no fork). 0, or
// -1 when "/dev/null" cannot be opened or a stream cannot be replaced.
int daemonize();

// Seeds rand() with the time (kxconnect_addr_nb picks its first address
// with it).
void kxconnect_init();

// Starts a non-blocking TCP connect to the addresses of list: first to one
// picked at random, then to the entries from the head of the list in order;
// an entry whose connect fails at once (ENETUNREACH, ECONNREFUSED or any
// other error) is skipped. Returns the socket (non-blocking, connected or
// still connecting; the caller closes it), or -1 when every entry failed.
int kxconnect_addr_nb(const struct addrinfo *list);

// getaddrinfo of host and port (TCP), then kxconnect_addr_nb. -1 when the
// name cannot be resolved or no connect could be started.
int kxconnect_nb(const char *host, int port);

// Waits up to msec milliseconds for the connect of sock to finish: 0
// connected, -2 still connecting, -1 failed (debug messages at level 3).
int kxconnect_checkstatus(int sock, int msec);

// A TCP socket connected to host:port within seconds (blocking again), or
// -1 (nothing left open).
int kxconnect(const char *host, int port, int seconds);
