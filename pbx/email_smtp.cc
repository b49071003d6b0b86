#include "pbx/email_smtp.h"

#include <time.h>

#include "base/encoding.h"
#include "base/log.h"
#include "base/tls.h"

namespace {

bool needs_q_encoding(uint8_t b) { return b < 33 || b > 126 || b == '?' || b == '=' || b == '_'; }

long last_of(const str& text, char c) {
  long last = -1;
  for (long at = text.find(c); at >= 0; at = text.find(c, static_cast<size_t>(at) + 1)) last = at;
  return last;
}

}  // namespace

smtp_dialogue::smtp_dialogue(email& m, bool starttls_enabled, const str& date)
    : m_(m), starttls_enabled_(starttls_enabled), date_(date) {}

str smtp_dialogue::take_output() {
  str out = output_;
  output_.clear();
  return out;
}

void smtp_dialogue::send(const str& command) {
  log_printf(log_email, 8, "SMTP: Send %s", command.rstrip("\r\n"));
  output_ += command;
}

void smtp_dialogue::ehlo() { send("EHLO localhost\r\n"); }

void smtp_dialogue::mail_from() {
  send("MAIL FROM:" + smtp_angle_address(m_.from) + "\r\n");
  state_ = smtp_mail_from;
}

void smtp_dialogue::authenticate() {
  if (m_.auth_method == "PLAIN") {
    str credentials = m_.user + str_zero + m_.user + str_zero + m_.password;
    send("AUTH PLAIN " + base64_encode(credentials) + "\r\n");
  } else {
    send(str::sprintf("AUTH %s\r\n", m_.auth_method));
  }
  state_ = smtp_auth;
}

void smtp_dialogue::fail(int code) {
  log_printf(log_email, 5, "SMTP Server returned %d", code);
  state_ = smtp_refused;
}

void smtp_dialogue::on_closed(const str& server) {
  log_printf(log_email, 5, "SMTP: Connection refused on %s", server);
  state_ = state_ == smtp_quit ? smtp_delivered : smtp_transient;
}

void smtp_dialogue::smtp_receive_data(const str& chunk) {
  log_printf(log_email, 8, "SMTP: Received %s", chunk);
  input_ += chunk;
  for (;;) {
    long nl = input_.find('\n');
    if (nl < 0 || state_ >= smtp_refused) return;
    str line = input_.leftstr(static_cast<size_t>(nl)).rstrip("\r");
    input_ = input_.substr(static_cast<size_t>(nl) + 1);
    if (state_ == smtp_ehlo || state_ == smtp_ehlo_again || state_ == smtp_ehlo_tls) {
      // Capabilities: the text after the code and its separator.
      str capability = line.substr(4);
      if (capability.get_field(0).toupper() == "AUTH") {
        m_.auth_method.clear();
        for (const char* method : {"LOGIN", "PLAIN"})
          for (size_t i = 1; !capability.get_field(i).empty(); i++)
            if (capability.get_field(i).toupper() == method) m_.auth_method = method;
      } else if (capability.strip().toupper() == "STARTTLS" && starttls_enabled_) {
        m_.starttls_offered = true;
      }
    }
    if (line.length() == 3 || (line.length() > 3 && line[3] == ' ')) {
      on_reply(line.get_field(0).value(), line);
      // After STARTTLS the next bytes are TLS records; anything queued in plain is void.
      if (state_ == smtp_ehlo_tls && m_.tls_active) input_.clear();
    }
  }
}

void smtp_dialogue::on_reply(int code, const str& last_line) {
  const int kind = code / 100;
  switch (state_) {
    case smtp_greeting:
      if (kind != 2) return fail(code);
      ehlo();
      state_ = smtp_ehlo;
      return;
    case smtp_ehlo:
      if (kind == 5) {
        ehlo();
        state_ = smtp_ehlo_again;
      } else if (kind != 2) {
        fail(code);
      } else if (m_.starttls_offered && !m_.tls_active) {
        send("STARTTLS\r\n");
        state_ = smtp_starttls;
      } else if (!m_.auth_method.empty() && !m_.user.empty()) {
        authenticate();
      } else {
        mail_from();
      }
      return;
    case smtp_ehlo_again:
      if (kind != 2) return fail(code);
      return mail_from();
    case smtp_starttls:
      m_.tls_active = true;
      m_.auth_method.clear();
      ehlo();
      state_ = smtp_ehlo_tls;
      return;
    case smtp_ehlo_tls:
      if (!m_.auth_method.empty() && !m_.user.empty()) return authenticate();
      return mail_from();
    case smtp_auth:
      if (kind == 2) return mail_from();
      if (kind == 3 && m_.auth_method == "LOGIN") {
        str challenge = last_line.substr(4).strip();
        if (challenge == "VXNlcm5hbWU6") return send(base64_encode(m_.user) + "\r\n");
        if (challenge == "UGFzc3dvcmQ6") return send(base64_encode(m_.password) + "\r\n");
      }
      if (kind == 3) {
        log_printf(log_email, 5, "SMTP Server returned unexpected authentication result %d", code);
        state_ = smtp_refused;
        return;
      }
      return fail(code);
    case smtp_mail_from:
      if (kind != 2) return fail(code);
      send("RCPT TO:" + smtp_angle_address(m_.to) + "\r\n");
      state_ = smtp_rcpt_to;
      return;
    case smtp_rcpt_to:
      if (kind != 2) return fail(code);
      send("DATA\r\n");
      state_ = smtp_data;
      return;
    case smtp_data: {
      if (kind != 3) return fail(code);
      str text = smtp_message_text(m_, date_);
      long head_end = text.find("\r\n\r\n");
      log_printf(log_email, 8, "SMTP: Send %s\r\n[...]",
                 text.leftstr(head_end < 0 ? 0 : static_cast<size_t>(head_end)));
      output_ += text;
      state_ = smtp_end_of_data;
      return;
    }
    case smtp_end_of_data:
      if (kind != 2) return fail(code);
      send("QUIT\r\n");
      state_ = smtp_quit;
      return;
    case smtp_quit:
      if (kind != 2) return fail(code);
      log_printf(log_email, 8, "Sucessfully sent email to %s", m_.to);
      state_ = smtp_delivered;
      return;
    default:
      log_printf(log_email, 0, "SMTP: Illegal state");
      state_ = smtp_refused;
  }
}

smtp_link::smtp_link(email& m, bool starttls_enabled, const str& date, bool implicit_tls,
                     const str& host, const str& description)
    : dialogue_(m, starttls_enabled, date), host_(host), description_(description) {
  if (!implicit_tls) return;
  dialogue_.set_tls_active();
  start_tls();
}

smtp_link::~smtp_link() = default;

void smtp_link::start_tls() {
  tls_ = std::make_unique<tls_session>(tls_context::make_client(), host_);
  tls_->set_description(description_);
  output_ += tls_->take_output();
}

void smtp_link::flush() {
  str out = dialogue_.take_output();
  if (!tls_) {
    output_ += out;
    return;
  }
  if (!out.empty()) tls_->write(out);
  output_ += tls_->take_output();
}

bool smtp_link::on_received(const str& bytes) {
  str plain = bytes;
  if (tls_) {
    tls_->on_input(bytes);
    output_ += tls_->take_output();
    plain = tls_->take_plain();
    if (tls_->get_state() == tls_session::state::failed) {
      log_printf(log_email, 5, "SMTP: TLS failed: %s", tls_->error());
      dialogue_.set_state(smtp_transient);
      return false;
    }
  }
  if (!plain.empty()) dialogue_.smtp_receive_data(plain);
  // STARTTLS was answered: what the dialogue sends next goes inside TLS.
  if (dialogue_.tls_active() && !tls_) start_tls();
  flush();
  return true;
}

str smtp_link::take_output() {
  str out = output_;
  output_.clear();
  return out;
}

str smtp_angle_address(const str& text) {
  str s = text.strip();
  if (s.starts_with("\"")) {
    long q = s.find('"', 1);
    str rest = q < 0 ? str() : s.substr(static_cast<size_t>(q) + 1).strip();
    return rest.starts_with("<") ? rest : "<" + rest + ">";
  }
  long lt = last_of(s, '<');
  if (lt < 0) return "<" + s + ">";
  long gt = s.find('>', static_cast<size_t>(lt));
  if (gt < 0) return s.substr(static_cast<size_t>(lt)) + ">";
  return s.substr(static_cast<size_t>(lt), static_cast<size_t>(gt - lt) + 1);
}

void append_rfc2047_header(str& out, const str& name, const str& value, bool is_address) {
  bool plain = true;
  for (size_t i = 0; i < value.length(); i++) plain = plain && !needs_q_encoding(value[i]);
  if (plain && name.length() + value.length() < 72) {
    out += name + value;
    return;
  }
  str text = value, address;
  if (is_address) {
    long lt = last_of(value, '<');
    // A bare address cannot become an encoded word.
    if (lt < 0) {
      out += name + " " + value.strip();
      return;
    }
    address = value.substr(static_cast<size_t>(lt)).strip();
    // The display name's quotes and spaces only delimit it.
    text = value.leftstr(static_cast<size_t>(lt)).strip().strip('"');
  }
  out += name + " =?UTF-8?Q?";
  size_t line = name.length() + 11;
  for (size_t i = 0; i < text.length(); i++) {
    if (line > 66) {
      out += "?=\r\n =?UTF-8?Q?";
      line = 11;
    }
    uint8_t b = text[i];
    if (b == ' ') {
      out += '_';
      line += 1;
    } else if (needs_q_encoding(b)) {
      out += '=';
      out += "0123456789ABCDEF"[b >> 4];
      out += "0123456789ABCDEF"[b & 15];
      line += 3;
    } else {
      out += static_cast<char>(b);
      line += 1;
    }
  }
  out += "?=";
  line += 2;
  if (address.empty()) return;
  if (line + 1 + address.length() > 70) out += "\r\n";
  out += " " + address;
}

str smtp_message_text(const email& m, const str& date) {
  str out;
  append_rfc2047_header(out, "From:", m.from, true);
  out += "\r\n";
  append_rfc2047_header(out, "To:", m.to, true);
  out += "\r\n";
  append_rfc2047_header(out, "Subject:", m.subject, false);
  out += "\r\n";
  out += "Date: " + date + "\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: " + m.content_type + "\r\n";
  if (!m.transfer_encoding.empty())
    out += "Content-Transfer-Encoding: " + m.transfer_encoding + "\r\n";
  out.appendf("Content-Length: %d\r\n\r\n", static_cast<int>(m.body.length()));
  out += m.body;
  out += "\r\n.\r\n";
  return out;
}

str email_date(int64_t t) {
  time_t s = static_cast<time_t>(t / 1000);
  struct tm local;
  localtime_r(&s, &local);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &local);
  return str(buf, n);
}
