// Files for telephones over HTTP: the prefixes "provisioning", "prov" and "tftp/" and the name
// "x.cgi". A request whose User-Agent is this system's own ("PBX/" + version, as in the Server
// header) would only ask itself again: it is refused with "500 Loop Detected" and logged as
// "Request would create a loop". Until the telephone templates are generated here, a GET
// serves the file of that name (the provisioning folder left off) from the working
// directory's tftp folder, else 404. A PUT (a telephone uploading its log or settings) is
// logged as "PnP: Receive %s:" with the content and stored under the tftp folder, when the
// setting tftp_write is "true" and the name is one a telephone may write.
//
// ctrl side, under ctrl_run_mutex (the handler writes through the connection's writers).
#pragma once

#include "base/str.h"
#include "web/web_request.h"

class http_request;

// Whether path (without leading "/") is one of the provisioning names.
bool is_provisioning_path(const str& path);
// The file under the tftp folder that path names: the path without its "provisioning/",
// "prov/" or "tftp/" folder.
str provisioning_file(const str& path);
// A name a telephone may write: not empty, no scheme prefix ("http:", "c:"), not beginning
// with "/", "\" or ".", no "..", no backslash or NUL anywhere.
bool valid_tftp_name(const str& name);
// Whether the User-Agent header shows a request of this system itself.
bool from_this_system(const str& user_agent);

// Answers r (method GET, HEAD or PUT) on a provisioning path through h's writers; tftp_root
// is the tftp folder. False when r is not for this module (then nothing was written).
bool serve_provisioning(http_request& h, const web_request& r, const str& user_agent,
                        const str& body, const str& tftp_root);
