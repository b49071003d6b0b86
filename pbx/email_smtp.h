// The SMTP dialogue of one delivery, without a socket: received bytes go in
// (smtp_receive_data), the commands to send come out (take_output). The mail thread
// (email_client.h) moves the bytes and runs TLS around them; tests feed reply texts.
//
// Side-neutral: one dialogue belongs to the thread that delivers its message.
#pragma once

#include <memory>

#include "base/str.h"
#include "pbx/email.h"

class tls_session;

// Dialogue states; 12, 13 and 14 end it.
enum smtp_state : int {
  smtp_greeting = 1,
  smtp_ehlo = 2,
  smtp_ehlo_again = 3,
  smtp_starttls = 4,
  smtp_ehlo_tls = 5,
  smtp_auth = 6,
  smtp_mail_from = 7,
  smtp_rcpt_to = 8,
  smtp_data = 9,
  smtp_end_of_data = 10,
  smtp_quit = 11,
  smtp_refused = 12,    // refused for good
  smtp_transient = 13,  // try again later
  smtp_delivered = 14,
};

class smtp_dialogue {
 public:
  // m: the message with sender, recipient and credentials as they are used for this delivery.
  // starttls_enabled: setting smtp_starttls is "true". date: the Date header's value.
  smtp_dialogue(email& m, bool starttls_enabled, const str& date);

  // Takes a received chunk: logs it, completes replies and acts on each.
  void smtp_receive_data(const str& chunk);
  // The server closed the connection: delivered when it was the answer to QUIT, else a
  // transient failure. server: the server text for the log line.
  void on_closed(const str& server);
  // Plain bytes to send (the caller encrypts them once TLS is active).
  str take_output();

  int state() const { return state_; }
  void set_state(int s) { state_ = s; }
  // Set by the STARTTLS step: the caller starts its TLS client before sending the output.
  bool tls_active() const { return m_.tls_active; }
  // Implicit TLS: the connection speaks TLS from the start.
  void set_tls_active() { m_.tls_active = true; }

 private:
  void on_reply(int code, const str& last_line);
  void send(const str& command);
  void ehlo();
  void mail_from();
  void authenticate();
  void fail(int code);

  email& m_;
  bool starttls_enabled_;
  str date_;
  int state_ = smtp_greeting;
  str input_;
  str output_;
};

// The bytes between the socket and the dialogue: plain, or TLS through OpenSSL memory BIOs
// from the start (implicit TLS) or from the STARTTLS step on. The owner writes take_output to
// the socket and feeds what it reads to on_received.
class smtp_link {
 public:
  // host: the server's name for SNI; description: "SMTP " and the server text, for the TLS
  // engine's log lines.
  smtp_link(email& m, bool starttls_enabled, const str& date, bool implicit_tls, const str& host,
            const str& description);
  ~smtp_link();
  // Received bytes. False when TLS failed (the dialogue then ends in state 13).
  bool on_received(const str& bytes);
  str take_output();
  smtp_dialogue& dialogue() { return dialogue_; }

 private:
  void start_tls();
  void flush();
  smtp_dialogue dialogue_;
  str host_, description_;
  std::unique_ptr<tls_session> tls_;
  str output_;
};

// The address of a From or To text in angle brackets, for MAIL FROM and RCPT TO.
str smtp_angle_address(const str& text);
// Appends name and value as a header without its line end: directly when the value is plain
// and short, else RFC 2047 Q-encoded ("=?UTF-8?Q?...?=" words, folded). For an address the
// part from the last "<" stays unencoded.
void append_rfc2047_header(str& out, const str& name, const str& value, bool is_address);
// The text sent after DATA, ending in "\r\n.\r\n".
str smtp_message_text(const email& m, const str& date);
// Local time t (ms since 1970) in mail date form: "Sun, 06 Dec 2026 08:16:07 +0100".
str email_date(int64_t t);
