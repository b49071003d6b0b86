// The web server in the process: the connection loop that the frame's HTTP threads run for
// every accepted HTTP or HTTPS connection, and the web folder of the working directory.
//
// ctrl side: the loop runs on its connection thread under ctrl_run_mutex, releasing it while it
// waits for the socket, sends, and encrypts or decrypts TLS records.
#pragma once

#include "base/ip_port.h"
#include "base/str.h"

// Serves one accepted connection until the peer closes it, a response closes it, or it stays
// idle (30 s; nat_tcp seconds in the XML stream mode); closes fd. tls: the connection came to
// the HTTPS port and speaks TLS with the system's certificate (the certificates row of type
// "sip"; without one the connection is closed).
void http_serve(int fd, const ip_port& remote, bool tls);

// Hands http_serve to the frame's HTTP threads.
void install_web_server();

// Copies every file of from (recursively) that is missing in to; files already in to are
// never overwritten, so an operator's edits stay. The number of files copied.
int copy_missing_files(const str& from, const str& to);

// The start-up step: fills the working directory's folder "web" from the installed pages
// (share/web beside the program, or of the source tree it was built from).
void init_web_pages();
