#include "web/provisioning_paths.h"

#include "base/log.h"
#include "base/version.h"
#include "frame/settings.h"
#include "web/http_request.h"
#include "web/pages.h"

bool is_provisioning_path(const str& path) {
  return path.starts_with("provisioning") || path.starts_with("prov") ||
         path.starts_with("tftp/") || path == "x.cgi";
}

str provisioning_file(const str& path) {
  for (const char* folder : {"provisioning/", "prov/", "tftp/"})
    if (path.starts_with(folder)) return path.substr(str(folder).length());
  return path;
}

bool valid_tftp_name(const str& name) {
  if (name.empty() || name.contains_char('\\') || name.contains_char('\0')) return false;
  if (name.starts_with("/") || name.starts_with(".") || name.find("..") >= 0) return false;
  // A scheme prefix: letters (digits, "+", "-", "." after the first) up to a ":".
  size_t i = 0;
  while (i < name.length() &&
         (isalpha(name[i]) || (i > 0 && (isdigit(name[i]) || str::one_of(name[i], "+-.")))))
    i++;
  return !(i > 0 && i < name.length() && name[i] == ':');
}

bool from_this_system(const str& user_agent) {
  return user_agent.find("PBX/" TELMOND_VERSION) >= 0;
}

bool serve_provisioning(http_request& h, const web_request& r, const str& user_agent,
                        const str& body, const str& tftp_root) {
  const bool put = r.method == "PUT";
  if (!is_provisioning_path(r.path) && !put) return false;
  if (from_this_system(user_agent)) {
    log_printf(log_tftp, 3, "Request would create a loop");
    h.error("500 Loop Detected", "Request would create a loop");
    return true;
  }
  const str name = provisioning_file(r.path);
  if (!valid_tftp_name(name)) {
    h.error("404 Not Found", "File " + html_escape(r.path) + " not found");
    return true;
  }
  const str file = tftp_root + "/" + name;
  if (put) {
    log_printf(log_tftp, 5, "PnP: Receive %s:\n%s", name, body);
    if (ctrl_read_registry(ctrl_settings::tftp_write) != "true") {
      h.error("403 Forbidden", "Telephones may not write files here");
    } else if (!body.write_file(file)) {
      h.error("500 Internal Server Error", "File " + html_escape(name) + " could not be stored");
    } else {
      h.send_file(str(), "text/plain", 0, !h.close_after_response());
    }
    return true;
  }
  str data;
  if (!str::read_file(file, data, false)) {
    log_printf(log_web, 3, "Webserver: Could not read file %s", r.path);
    h.error("404 Not Found", "File " + html_escape(r.path) + " not found");
    return true;
  }
  h.send_file(data, get_file_content_type(name), 0, !h.close_after_response());
  return true;
}
