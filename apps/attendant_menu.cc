// The menu half of the attendant: keys, the analysis of the input, dial by name, maintenance
// codes, the call-back offer and the ends of prompts. ctrl side.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "apps/attendant.h"
#include "base/log.h"
#include "base/version.h"
#include "db/schema.h"
#include "frame/settings.h"
#include "frame/startup.h"
#include "pbx/accounts.h"
#include "pbx/call_state.h"
#include "pbx/dial_pattern.h"

namespace {

const str* const input_columns[] = {&attendants_input_0, &attendants_input_1, &attendants_input_2,
                                    &attendants_input_3, &attendants_input_4, &attendants_input_5,
                                    &attendants_input_6, &attendants_input_7, &attendants_input_8,
                                    &attendants_input_9};
const str* const code_columns[] = {&attendants_code_0, &attendants_code_1, &attendants_code_2,
                                   &attendants_code_3, &attendants_code_4, &attendants_code_5,
                                   &attendants_code_6, &attendants_code_7, &attendants_code_8,
                                   &attendants_code_9};
const str* const prompt_columns[] = {
    &attendants_prompt_0, &attendants_prompt_1, &attendants_prompt_2, &attendants_prompt_3,
    &attendants_prompt_4, &attendants_prompt_5, &attendants_prompt_6, &attendants_prompt_7,
    &attendants_prompt_8, &attendants_prompt_9};

bool is_digit(const str& key) { return key.length() == 1 && key[0] >= '0' && key[0] <= '9'; }

// The keypad digit of a letter (digits stand for themselves); 0 for anything else.
char keypad(char c) {
  static const char* const keys[] = {"abc", "def", "ghi", "jkl", "mno", "pqrs", "tuv", "wxyz"};
  if (c >= '0' && c <= '9') return c;
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (int k = 0; k < 8; k++)
    if (str::one_of(c, keys[k])) return static_cast<char>('2' + k);
  return 0;
}

bool name_starts_with(const str& name, const str& digits) {
  if (name.empty()) return false;
  size_t n = 0;
  for (size_t i = 0; i < name.length() && n < digits.length(); i++) {
    char k = keypad(static_cast<char>(name[i]));
    if (!k) continue;  // blanks and punctuation are skipped
    if (k != static_cast<char>(digits[n])) return false;
    n++;
  }
  return n == digits.length();
}

str prompt(const char* name) { return str("$a/") + name + ".wav"; }

const char* ask_prompt(const str& completion) {
  return completion == "pound" ? "aa_enter_extension_number_pound" : "aa_enter_extension_number";
}

// A condition of a welcome prompt: empty always holds; the name of a service flag holds while
// the flag is on, "!" and the name while it is off.
bool welcome_condition(const str& condition, int domain) {
  str c = condition.strip();
  if (c.empty()) return true;
  bool negated = c.starts_with("!");
  if (negated) c = c.substr(1);
  int account = account_by_name(c, domain);
  if (account_type(account) != "srvflags") {
    log_printf(log_application, 4, "Attendant: Account %s is not a Service Flag", c);
    return false;
  }
  return srvflags.get(extension_row(account), srvflags_state).is_true() != negated;
}

// The address this system is reached at: the first IPv4 address of an interface that is up
// and not the loopback, else the loopback address.
str system_address() {
  str out = "127.0.0.1";
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_UP) ||
        (a->ifa_flags & IFF_LOOPBACK))
      continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
      out = text;
      break;
    }
  }
  freeifaddrs(list);
  return out;
}

}  // namespace

str attendant::mailbox_prefix() const { return domains.get(domain(), domains_mb_prefix); }

void attendant::play_state(const str& s) {
  int extension = var(cobj_ivr_extension).value();
  if (s == "welcome") {
    play(welcome_prompts());
  } else if (s == "ask_extension") {
    play(prompt(ask_prompt(menu_setting(attendants_completion))));
  } else if (s == "noise" || s == "ringing" || s == "ask3") {
    play("$t/ringback.wav", true);
  } else if (s == "say_name") {
    play(prompt("aa_say_extension") + " " + name_prompts(extension));
  } else if (s == "ask1") {
    play(prompt("aa_no_anonymous") + " " + prompt("aa_say_name"));
  } else if (s == "ask_cb" || s == "ask_cb2" || s == "cell_calling") {
    play(offer_prompts(s));
  } else if (s == "say_ip") {
    play(prompt("aa_your_ip_is") + " " + spoken_digits(system_address()));
  } else if (s == "say_ver") {
    play(prompt("aa_version") + " " + spoken_digits(TELMOND_VERSION));
  } else if (s == "read_balance") {
    play(prompt("aa_check_credit") + " " + spoken_digits(users.get(caller(), users_credit)));
  } else {
    static const std::pair<const char*, const char*> files[] = {
        {"search_name", "aa_enter_first_name"},
        {"select_name", "aa_dial_name_prompt"},
        {"name_not_existing", "aa_try_valid"},
        {"busy", "aa_busy_callback"},
        {"no_answer", "aa_no_answer"},
        {"not_existing", "aa_not_existing"},
        {"blocked", "aa_no_anonymous"},
        {"pdenied", "ex_permission"},
        {"restore", "bi_active"},
        {"callback_active", "aa_recv_cb"}};
    for (const auto& [state_name, file] : files)
      if (s == state_name) {
        play(prompt(file));
        return;
      }
    play(str());
  }
}

str attendant::welcome_prompts() const {
  static const str* const files[] = {&attendants_wavfile_1, &attendants_wavfile_2,
                                     &attendants_wavfile_3, &attendants_wavfile_4,
                                     &attendants_wavfile_5};
  static const str* const conditions[] = {&attendants_condition_1, &attendants_condition_2,
                                          &attendants_condition_3, &attendants_condition_4,
                                          &attendants_condition_5};
  str main = menu_setting(attendants_wavfile_0);
  str out = main.empty() ? prompt("aa_welcome_auto") : main;
  for (int i = 0; i < 5; i++) {
    str file = menu_setting(*files[i]);
    if (!file.empty() && welcome_condition(menu_setting(*conditions[i]), domain()))
      out += " " + file;
  }
  if (menu_setting(attendants_play_def) == "false") return out;
  str request = menu_setting(attendants_def_file);
  return out + " " +
         (request.empty() ? prompt(ask_prompt(menu_setting(attendants_completion))) : request);
}

str attendant::name_prompts(int extension) const {
  if (extensions.get(extension_row(extension), extensions_name_use) == "true")
    return str::sprintf("recordings/name-%d.wav", extension);
  return spoken_digits(account_name(extension));
}

str attendant::spoken_digits(const str& text) {
  str out;
  for (size_t i = 0; i < text.length(); i++) {
    char c = static_cast<char>(text[i]);
    if (c != '.' && (c < '0' || c > '9')) continue;
    if (!out.empty()) out += ' ';
    out += c == '.' ? prompt("bi_dot") : prompt(str(c, 1).c_str());
  }
  return out;
}

void attendant::menu_welcome() {
  set_state("welcome");
  set_var(cobj_ivr_var1, str());
  play_state("welcome");
}

// ---- Keys ----

void attendant::on_dtmf(const str& digits) {
  if (digits.length() != 1) {
    log_printf(log_application, 4, "Attendant: Received unknown DTMF %s", digits);
    return;
  }
  refresh_hangup_timer();
  str s = state();
  if (s == "search_name" || s == "name_not_existing") {
    if (s != "search_name") set_state("search_name");
    name_key(digits);
  } else if (s == "select_name") {
    select_key(digits);
  } else if (s == "special") {
    special_key(digits);
  } else if (s == "ask_cb" || s == "ask_cb2" || s == "cell_calling") {
    offer_key(digits);
  } else if (s == "ask2") {
    if (digits == "#") name_recorded();
  } else if (s == "ask1" || s == "ask3" || s == "ask4" || s == "say_name" ||
             s == "callback_active") {
    return;
  } else if (s == "noise" || s == "ringing" || s == "redirecting") {
    if (digits != "*" || direct()) return;
    // The caller gives up on this extension and is back in the menu.
    clear_leg_timer(primary(), str());
    end_other_legs();
    set_state("ask_extension");
    set_var(cobj_ivr_var1, str());
    refresh_hangup_timer();
    play_state("ask_extension");
  } else if (!direct()) {
    menu_key(digits);
  }
}

void attendant::menu_key(const str& key) {
  str s = state();
  static const char* const menu_states[] = {"welcome", "ask_extension", "wait_digits",  "blocked",
                                            "busy",    "no_answer",     "not_existing", "pdenied",
                                            "say_ip",  "say_ver"};
  bool known = false;
  for (const char* m : menu_states) known = known || s == m;
  if (!known) return;
  if (s == "busy" && key == "2" && has_mailbox(var(cobj_ivr_extension).value())) {
    goto_mailbox(var(cobj_ivr_extension).value(), "deflection");
    return;
  }
  if (s != "welcome" && s != "ask_extension" && s != "wait_digits") {
    set_state("ask_extension");
    set_var(cobj_ivr_var1, str());
  }
  bool star_is_key = menu_setting(attendants_special_keys) == "false";
  if (is_digit(key) || key == "F" || key == "f" || (key == "*" && star_is_key)) {
    set_var(cobj_ivr_var2, str());
    digit_in_menu(key);
    return;
  }
  if (key == "*") {
    set_var(cobj_ivr_var2, "*");
    return;
  }
  if (key == "#" && var(cobj_ivr_var2) == "*") {
    set_var(cobj_ivr_var2, str());
    set_state("special");
    play(str());
    return;
  }
  if (key == "#" && !var(cobj_ivr_var1).empty()) {
    act(process_input(key));
    return;
  }
  set_var(cobj_ivr_var1, str());
  set_var(cobj_ivr_var2, str());
  set_state("ask_extension");
  play_state("ask_extension");
}

void attendant::digit_in_menu(const str& key) {
  set_var(cobj_ivr_var1, var(cobj_ivr_var1) + key);
  if (state() != "wait_digits") {
    set_state("wait_digits");
    play(str());  // the prompt is muted while the caller types
  }
  act(process_input(key));
}

str attendant::check_redirect(int n, const str& input) {
  str in = menu_setting(*input_columns[n]);
  if (in.empty()) return str();
  str code = menu_setting(*code_columns[n]);
  bool star_is_pattern = menu_setting(attendants_special_keys) != "false";
  bool pattern = false;
  for (char c : {'x', 'X', '|', '[', ']'}) pattern = pattern || in.contains_char(c);
  if (star_is_pattern && in.contains_char('*')) pattern = true;
  if (pattern) {
    str expression = "!" + expand_dial_pattern(in) + "!" + expand_dial_replacement(code) + "!i";
    str result = regex_substitute(expression, input + "@localhost", {{'r', "localhost"}});
    if (result.empty()) return str();
    set_var(cobj_ivr_var3, uri_user(result));
    return "r";
  }
  if (in != input) return str();
  if (!code.empty()) {
    set_var(cobj_ivr_var3, code);
    return "r";
  }
  if (menu_setting(*prompt_columns[n]) == "lang") {
    str first = menu_setting(attendants_first_lang);
    str second = menu_setting(attendants_second_lang);
    set_var(cobj_lang, var(cobj_lang) == first ? second : first);
    return "l";
  }
  return str();
}

str attendant::process_input(const str& key) {
  str input = var(cobj_ivr_var1);
  str trigger = menu_setting(attendants_name_trigger);
  if (!trigger.empty() && !trigger.icmp("start")) {
    if (input == trigger) return "n";
    if (trigger.starts_with(input) && key != "#") return str();
  }
  bool more = false;
  for (int n = 0; n < 10; n++) {
    str code = check_redirect(n, input);
    if (!code.empty()) return code;
    str in = menu_setting(*input_columns[n]);
    if (!in.empty() && in != input && (in.starts_with(input) || dial_pattern_may_extend(in, input)))
      more = true;
  }
  if (more && key != "#") return str();
  str number = input;
  bool mailbox = false;
  str prefix = mailbox_prefix();
  if (!prefix.empty() && input.starts_with(prefix) && input.length() > prefix.length()) {
    if (!domains.get(domain(), domains_voicemail).empty()) {
      log_printf(log_application, 5, "Mailbox prefix ignored because external voicemail in use");
    } else {
      mailbox = true;
      number = input.substr(prefix.length());
    }
  }
  set_var(cobj_ivr_var3, number);
  const char* done = mailbox ? "m" : "c";
  if (key == "#") return done;
  str completion = menu_setting(attendants_completion).strip();
  if (completion.is_number()) {
    size_t need = completion.value() + (mailbox ? prefix.length() : 0);
    return input.length() >= need ? done : "";
  }
  if (completion == "pound") return str();
  // Automatic: wait while a longer alias of the domain starts with the number.
  int account = account_by_name(number, domain());
  str d = id_text(domain());
  for (int a = user_alias.first(user_alias_domain, d); a;
       a = user_alias.next(a, user_alias_domain)) {
    if (user_alias.get(a, user_alias_domain) != d) break;
    str name = user_alias.get(a, user_alias_name);
    if (name != number && name.starts_with(number)) {
      if (account) set_leg_timer(primary(), "match", 3000, input);
      return str();
    }
  }
  return done;
}

void attendant::act(const str& code) {
  if (code.empty()) return;
  str target = var(cobj_ivr_var3);
  if (code == "n") {
    set_state("search_name");
    set_var(cobj_ivr_var1, str());
    play_state("search_name");
  } else if (code == "c") {
    complete_extension(target);
  } else if (code == "m") {
    int account = account_by_name(target, domain());
    if (is_extension(account)) {
      set_var(cobj_ivr_extension, id_text(account));
      goto_mailbox(account, "unconditional");
    } else {
      fail("not_existing");
    }
  } else if (code == "r") {
    redirect_to_number(target);
  } else if (code == "l") {
    set_state("ask_extension");
    set_var(cobj_ivr_var1, str());
    play_state("ask_extension");
  }
}

void attendant::complete_extension(const str& number) {
  int account = account_by_name(number, domain());
  if (!account) {
    fail("not_existing");
    return;
  }
  if (!allowed(number) || !allowed(account_name(account))) {
    fail("pdenied");
    return;
  }
  // Automatic completion may have left a timer that would complete the input later.
  if (state() == "wait_digits" && menu_setting(attendants_completion).strip().empty())
    clear_leg_timer(primary(), "match");
  if (!is_extension(account)) {
    redirect_to_number(number);
    return;
  }
  // The extension is announced, then called (on_audio_end).
  set_var(cobj_ivr_extension, id_text(account));
  set_state("say_name");
  play_state("say_name");
}

// ---- Dial by name ----

std::vector<int> attendant::find_name_matches(int domain, const str& letters) {
  std::vector<int> out;
  str d = id_text(domain);
  for (int u = users.first(users_domain, d); u; u = users.next(u, users_domain)) {
    if (users.get(u, users_domain) != d) break;
    if (!is_extension(u)) continue;
    int e = extension_row(u);
    int alias = user_alias.first(user_alias_user, id_text(u));
    const str names[] = {extensions.get(e, extensions_first_name),
                         extensions.get(e, extensions_last_name),
                         alias ? user_alias.get(alias, user_alias_display_name) : str()};
    for (const str& n : names)
      if (name_starts_with(n, letters)) {
        out.push_back(u);
        break;
      }
  }
  return out;
}

void attendant::name_key(const str& key) {
  if (key == "*") {
    set_var(cobj_ivr_var1, str());
    set_state("ask_extension");
    play_state("ask_extension");
    return;
  }
  if (is_digit(key)) set_var(cobj_ivr_var1, var(cobj_ivr_var1) + key);
  str letters = var(cobj_ivr_var1);
  int min = menu_setting(attendants_min_digits).is_number()
                ? menu_setting(attendants_min_digits).value()
                : 3;
  if (letters.empty() || (key != "#" && static_cast<int>(letters.length()) < min)) return;
  std::vector<int> matches = find_name_matches(domain(), letters);
  if (matches.empty()) {
    set_var(cobj_ivr_var1, str());
    set_state("name_not_existing");
    play_state("name_not_existing");
  } else if (matches.size() == 1) {
    complete_extension(account_name(matches[0]));
  } else {
    str list;
    for (int m : matches) list += (list.empty() ? "" : " ") + id_text(m);
    set_var(cobj_ivr_var4, list);
    set_state("select_name");
    play_state("select_name");
  }
}

void attendant::select_key(const str& key) {
  std::vector<str> matches = words(var(cobj_ivr_var4));
  size_t n = is_digit(key) ? key[0] - '0' : 0;
  if (n >= 1 && n <= matches.size()) {
    complete_extension(account_name(matches[n - 1].value()));
    return;
  }
  set_var(cobj_ivr_var1, str());
  set_state("ask_extension");
  play_state("ask_extension");
}

// ---- Maintenance codes ----

namespace {

// The process's own restart, a moment after the code's call has ended (it deletes every call
// row, this one's included). Nothing happens without a ctrl timer queue.
void schedule_restart(const str& by) {
  timeout_queue* queue = ctrl_ctx().queue;
  if (!queue) return;
  log_printf(log_application, 2, "Attendant: System restart requested by %s", by);
  static timeout& pending = *new timeout;
  pending.callback(*queue, s2ticks(1), callback_argument(restart));
}

}  // namespace

void attendant::special_key(const str& key) {
  if (key != "#") {
    set_var(cobj_ivr_var2, var(cobj_ivr_var2) + key);
    return;
  }
  str code = var(cobj_ivr_var2);
  set_var(cobj_ivr_var2, str());
  auto is = [&](ctrl_settings::setting s) {
    str c = ctrl_read_registry(s);
    return !c.empty() && c == code;
  };
  str next = "ask_extension";
  if (is(ctrl_settings::code_ipadr)) {
    next = "say_ip";
  } else if (is(ctrl_settings::code_version)) {
    next = "say_ver";
  } else if (is(ctrl_settings::code_restore) &&
             extensions.get(extension_row(caller()), extensions_admin).is_true()) {
    next = "restore";
  }
  set_state(next);
  play_state(next);
}

// ---- The ends of prompts ----

void attendant::on_audio_end() {
  str s = state();
  if (s == "welcome") {
    str timeout = menu_setting(attendants_timeout).strip();
    if (timeout.is_number() && !menu_setting(attendants_operator).empty())
      set_leg_timer(primary(), "operator", timeout.value() * 1000);
    set_var(cobj_ivr_var1, str());
    set_state("ask_extension");
    s = "ask_extension";  // the welcome list ends with the request for the extension
  }
  if (s == "ask_extension") {
    str loop = menu_setting(attendants_welcome_loop).strip();
    if (loop.empty()) {
      play_state(s);
      return;
    }
    int count = var(cobj_ivr_var5).value() + 1;
    set_var(cobj_ivr_var5, id_text(count));
    if (count < loop.value()) {
      set_state("welcome");
      play_state("welcome");
    } else if (!menu_setting(attendants_operator).empty()) {
      set_leg_timer(primary(), "operator", 1000);
    } else {
      set_leg_timer(primary(), "loopout", 1000);
    }
  } else if (s == "ringing" || s == "noise" || s == "ask_cb" || s == "ask_cb2" ||
             s == "cell_calling" || s == "wait") {
    play_state(s);
  } else if (s == "callback_active") {
    end_call(486, "Busy Here");
  } else if (s == "restore" || s == "fabtest") {
    end_call(486, "Busy Here");
    schedule_restart(account_name(caller()));
  } else if (s == "redirecting") {
    redirect_to_number(var(cobj_ivr_var3));
  } else if (s == "busy" || s == "no_answer" || s == "not_existing" || s == "blocked") {
    if (direct()) {
      end_call(486, "Busy Here");
      return;
    }
    set_var(cobj_ivr_var1, str());
    set_state("ask_extension");
    play_state("ask_extension");
  } else if (s == "name_not_existing") {
    set_state("search_name");
    play_state("search_name");
  } else if (s == "say_name") {
    goto_extension(var(cobj_ivr_extension).value());
  } else if (s == "ask1") {
    screen_record();
  } else if (s == "say_ip" || s == "say_ver") {
    set_state("ask_extension");
    play_state("ask_extension");
  } else if (s == "read_balance") {
    set_state("cell_calling");
    play_state("cell_calling");
  } else {
    log_printf(log_application, 4, "Attendant: Illegal state %s", s);
  }
}
