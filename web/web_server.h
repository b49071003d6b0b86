// The web server in the process: its installation into the frame (the connections are served
// by web/http_loops.h) and the web folder of the working directory.
//
// ctrl side.
#pragma once

#include "base/ip_port.h"
#include "base/str.h"

// Hands the accepted HTTP/HTTPS connections to the event loops of web/http_loops.h.
void install_web_server();

// Copies every file of from (recursively) that is missing in to; files already in to are
// never overwritten, so an operator's edits stay. The number of files copied.
int copy_missing_files(const str& from, const str& to);

// The start-up step: fills the working directory's folder "web" from the installed pages
// (share/web beside the program, or of the source tree it was built from).
void init_web_pages();
