#include "pbx/email.h"

#include <cstring>

#include "base/log.h"
#include "base/random.h"
#include "db/schema.h"
#include "db/table.h"
#include "frame/settings.h"
#include "pbx/accounts.h"

mutex email_mutex("email_mutex");
semaphore email_sema;
std::atomic<int> email_sent{0};
std::atomic<int> email_rejected{0};
std::atomic<bool> email_alert{false};

namespace {

const char* const spool_index = "spool/index.txt";

// Sender and credentials of the settings (email_global "true") or of the domain.
struct mail_origin {
  str from, user, password;
};
mail_origin origin_of(int domain) {
  if (ctrl_read_registry(ctrl_settings::email_global) == "true" || !domains.has_row(domain))
    return {ctrl_read_registry(ctrl_settings::email_from),
            ctrl_read_registry(ctrl_settings::email_user),
            ctrl_read_registry(ctrl_settings::email_pass)};
  return {domains.get(domain, domains_email_from), domains.get(domain, domains_email_user),
          domains.get(domain, domains_email_pass)};
}

}  // namespace

// ---- Message files ----

str email_serialize(const email& m) {
  str out;
  out.appendf("From: %s\r\n", m.from);
  out.appendf("To: %s\r\n", m.to);
  if (!m.user.empty()) out.appendf("User: %s\r\n", m.user);
  if (!m.password.empty()) out.appendf("Password: %s\r\n", m.password);
  if (m.domain != 0) out.appendf("Domain: %d\r\n", m.domain);
  out.appendf("Subject: %s\r\n", m.subject);
  out.appendf("Content-Type: %s\r\n", m.content_type);
  if (!m.transfer_encoding.empty())
    out.appendf("Content-Transfer-Encoding: %s\r\n", m.transfer_encoding);
  out += "\r\n";
  out += m.body;
  return out;
}

email email_parse(const str& text) {
  email m;
  const std::pair<const char*, str*> fields[] = {
      {"From: ", &m.from},
      {"To: ", &m.to},
      {"User: ", &m.user},
      {"Password: ", &m.password},
      {"Subject: ", &m.subject},
      {"Content-Type: ", &m.content_type},
      {"Content-Transfer-Encoding: ", &m.transfer_encoding}};
  size_t at = 0;
  while (at < text.length()) {
    long end = text.find("\r\n", at);
    if (end < 0) end = static_cast<long>(text.length());
    str line = text.substr(at, static_cast<size_t>(end) - at);
    at = static_cast<size_t>(end) + 2;
    if (line.empty()) {
      m.body = at < text.length() ? text.substr(at) : str();
      return m;
    }
    if (line.starts_with("Domain: ")) m.domain = line.substr(8).value();
    for (const auto& [name, field] : fields)
      if (line.starts_with(name)) *field = line.substr(strlen(name));
  }
  return m;
}

// ---- The spool ----

str email_spool_name(int number, int attempts) {
  return str::sprintf("spool/%07d-%02d.msg", number, attempts);
}

bool email_spool_parse_name(const str& name, int& number, int& attempts) {
  str base = name.starts_with("spool/") ? name.substr(6) : name;
  if (base.length() != 14 || !base.ends_with(".msg") || base[7] != '-') return false;
  str n = base.leftstr(7), a = base.substr(8, 2);
  if (!n.is_number() || !a.is_number()) return false;
  number = n.value();
  attempts = a.value();
  return true;
}

int email_next_number() {
  email_mutex.must_own("email_next_number");
  int n = str::read_file(spool_index, false).strip().value() + 1;
  // A lost or reset counter must not reuse the number of a message still waiting.
  for (const str& name : str::get_dir("spool")) {
    int number = 0, attempts = 0;
    if (email_spool_parse_name(name, number, attempts) && number >= n) n = number + 1;
  }
  if (!str::sprintf("%d", n).write_file(spool_index)) return 0;
  return n;
}

bool send_email(int domain, const str& from, const str& to, const str& user, const str& password,
                const str& subject, const str& content_type, const str& transfer_encoding,
                const str& body) {
  if (from.empty() || to.empty()) {
    log_printf(log_email, 8, "Dont send email because To/From header is empty");
    return false;
  }
  email m;
  m.domain = domain;
  m.from = from;
  m.to = to;
  m.user = user;
  m.password = password;
  m.subject = subject;
  m.content_type = content_type;
  m.transfer_encoding = transfer_encoding;
  m.body = body;
  bool ok;
  {
    mutex_lock l(email_mutex);
    int n = email_next_number();
    ok = n != 0 && email_serialize(m).write_file(email_spool_name(n, 0));
  }
  if (ok) email_sema.signal();
  return ok;
}

bool send_email(int domain, const str& to, const str& subject, const str& content_type,
                const str& transfer_encoding, const str& body) {
  mail_origin o = origin_of(domain);
  if (!email_valid_address(email_address_part(o.from))) {
    log_printf(log_email, 6, "No valid source address for sending email to user");
    return false;
  }
  if (email_address_part(to).empty()) {
    log_printf(log_email, 8, "No valid destination address for sending email to user");
    return false;
  }
  return send_email(domain, o.from, to, o.user, o.password, subject, content_type,
                    transfer_encoding, body);
}

bool send_email(int account, const str& subject, const str& content_type,
                const str& transfer_encoding, const str& body) {
  int domain = account_domain(account);
  if (!domains.has_row(domain)) {
    log_printf(log_email, 5, "Cannot send Email to user %d", account);
    return false;
  }
  mail_origin o = origin_of(domain);
  if (!email_valid_address(email_address_part(o.from))) {
    log_printf(log_email, 6, "No valid source address for sending email to user");
    return false;
  }
  str list = extensions.get(extension_row(account), extensions_email_address);
  bool sent = false;
  for (size_t i = 0;; i++) {
    str to = list.get_field(i, ';').strip();
    if (to.empty()) break;
    if (!email_valid_address(email_address_part(to))) continue;
    sent |= send_email(domain, o.from, to, o.user, o.password, subject, content_type,
                       transfer_encoding, body);
  }
  if (!sent) log_printf(log_email, 8, "No valid destination address for sending email to user");
  return sent;
}

str email_get_title(const str& html) {
  long open = html.ifind("<title>");
  long close = open < 0 ? -1 : html.ifind("</title>", static_cast<size_t>(open) + 7);
  if (close < 0) {
    log_printf(log_email, 5, "Could not find title tag in html document");
    return str();
  }
  return html.substr(static_cast<size_t>(open) + 7, static_cast<size_t>(close - open - 7));
}

// ---- Addresses ----

str email_address_part(const str& text) {
  long lt = -1;
  for (long at = text.find('<'); at >= 0; at = text.find('<', static_cast<size_t>(at) + 1)) lt = at;
  if (lt < 0) return text.strip();
  long gt = text.find('>', static_cast<size_t>(lt));
  size_t end = gt < 0 ? text.length() : static_cast<size_t>(gt);
  return text.substr(static_cast<size_t>(lt) + 1, end - static_cast<size_t>(lt) - 1).strip();
}

bool email_valid_address(const str& address) {
  long at = address.find('@');
  if (at <= 0 || static_cast<size_t>(at) + 1 >= address.length()) return false;
  if (address.find('@', static_cast<size_t>(at) + 1) >= 0) return false;
  for (size_t i = 0; i < address.length(); i++)
    if (address[i] <= ' ' || str::one_of(static_cast<char>(address[i]), "<>\"")) return false;
  return true;
}

// ---- MIME ----

str mime_get_boundary() { return "b-" + random_token(26); }

void mime_section(str& text, const str& boundary) { text.appendf("--%s\r\n", boundary); }

void mime_add_header(str& text, const str& name, const str& value) {
  text.appendf("%s: %s\r\n", name, value);
}

void mime_append(str& text, const str& content_type, const str& body, bool text_mode) {
  text.appendf("Content-Type: %s\r\n\r\n", content_type);
  if (!text_mode) {
    text += body;
  } else {
    // Line ends become CR LF; a line of a lone "." would end the SMTP data early.
    size_t at = 0;
    while (at < body.length()) {
      long nl = body.find('\n', at);
      size_t end = nl < 0 ? body.length() : static_cast<size_t>(nl);
      str line = body.substr(at, end - at).rstrip("\r");
      text += line == "." ? str("..") : line;
      text += "\r\n";
      at = end + 1;
    }
  }
  text += "\r\n";
}

void mime_terminate(str& text, const str& boundary) { text.appendf("--%s--\r\n", boundary); }
