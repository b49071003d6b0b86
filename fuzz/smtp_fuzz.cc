// libFuzzer target: what the mail thread reads. The input is a spool message file and, after
// its first NUL byte, the server's side of an SMTP dialogue, fed in chunks at every LF. A
// message file read back and written again gives the same bytes; the dialogue stays within
// its states and sends nothing more once it has ended; its headers encode.
#include <cstddef>
#include <cstdint>

#include "pbx/email.h"
#include "pbx/email_smtp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  long nul = input.find('\0');
  str file = nul < 0 ? input : input.leftstr(static_cast<size_t>(nul));
  str replies = nul < 0 ? str() : input.substr(static_cast<size_t>(nul) + 1);

  email m = email_parse(file);
  str once = email_serialize(m);
  if (email_serialize(email_parse(once)) != once) __builtin_trap();

  smtp_dialogue d(m, true, "Thu, 01 Jan 2026 00:00:00 +0000");
  for (size_t at = 0; at < replies.length();) {
    long nl = replies.find('\n', at);
    size_t end = nl < 0 ? replies.length() : static_cast<size_t>(nl) + 1;
    bool ended = d.state() >= smtp_refused;
    d.smtp_receive_data(replies.substr(at, end - at));
    if (d.state() < smtp_greeting || d.state() > smtp_delivered) __builtin_trap();
    if (!d.take_output().empty() && ended) __builtin_trap();
    at = end;
  }
  str header;
  append_rfc2047_header(header, "Subject:", m.subject, false);
  append_rfc2047_header(header, "To:", m.to, true);
  return 0;
}
