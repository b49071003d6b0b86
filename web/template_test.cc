#include "web/template.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "base/encoding.h"
#include "db/db_test_util.h"
#include "db/persistence.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "web/graphs.h"
#include "web/pages.h"

namespace {

class TemplateTest : public db_test::store_test {
 protected:
  void SetUp() override {
    store_test::SetUp();
    reset_translations();
    s.type = session_system_admin;
  }
  // The page text, then "|" and the status and depth the rendering left.
  std::string render(const str& text, bool with_session = true) {
    web_request r;
    r.s = with_session ? &s : nullptr;
    r.args = args;
    filter_file(text, r);
    return std::string(r.out.view()) + "|" + std::to_string(r.status) + " " +
           std::to_string(r.depth);
  }
  session s;
  std::map<str, str> args;
};

// The directives; they need a session, and a status other than 200 stops the scan.
TEST_F(TemplateTest, Directives) {
  const int sys = session_system_admin;
  struct {
    std::map<str, str> vars;
    const char *text, *want;
    int type = sys, status = 200;  // the session's type, -1: none
  } cases[] = {
      // clang-format off
      {{{"a", "1"}}, "<input checked=\"{ssi check a 1}\">", "<input checked>"},
      {{{"a", "0"}}, "<input type=checkbox checked=\"{ssi check a 1}\">", "<input type=checkbox>"},
      {{{"a", "0"}}, "<input checked=\"{ssi checkn a 1}\">", "<input checked>"},
      {{{"t", "UTC"}}, "<option selected=\"{ssi sel t UTC}\">", "<option selected>"},
      {{{"lang", "en"}}, "x{ssi if lang de}DE{ssi fi lang de}y", "xy"},
      {{{"lang", "en"}}, "a{ssi if lang de}b{ssi if x 1}c{ssi fi x 1}d{ssi fi lang de}e", "ae"},
      {{{"lang", "en"}}, "a{ssi ifn lang de}b{ssi fin lang de}c", "abc"},
      {{}, "a { b {x} c {ssi", "a { b {x} c {ssi"},
      {{{"a", "7"}}, "<p><!--  {ssi var a}  --></p><!--{ssi var a}", "<p>7</p><!--7"},
      {{{"lang", "en"}},
       "{ssi lang_on de}Hallo{ssi lang_off de}{ssi lang_on en}Hello{ssi lang_off en}", "Hello"},
      {{{"n", "<script>'x'&\"\n"}}, "{ssi var n}|{ssi varh n}|{ssi varv n}|{ssi varx n}",
       "<script>'x'&\"\n|&lt;script&gt;&#39;x&#39;&amp;&quot;<br>|"
       "&lt;script&gt;&#39;x&#39;&amp;&quot;\n|&lt;script&gt;&apos;x&apos;&amp;&quot;\n"},
      {{}, "{lng login_failed}/{lng no_such_key}",
       "Username or password are not correct/no_such_key"},
      {{}, "[{loop start domains}<{ssi varh row.name}>{loop start nothing}x{loop end}{loop end}]",
       "[<a&amp;b><c>]"},
      {{}, "{ssi if a 1}{loop start domains}x{loop end}{ssi fi a 1}{ssi nonsense}after", "", sys,
       500},
      {{}, "a{ssi var a}{ssi if lang de}b{ssi fi lang de}c", "ac", -1},
      {{}, "a{ssi allow user}b{ssi allow domain}c{lng save}", "ab", session_user, 403},
      {{{"lang", "de"}}, "{lng save} {lng logout}", "Speichern Log out"},
      // clang-format on
  };
  domains.set(domains.add_row(), domains_name, "a&b");
  domains.set(domains.add_row(), domains_name, "c");
  put("web/lang_de.txt", "# test\nsave = Speichern\n");
  for (const auto& c : cases) {
    s.vars = c.vars;
    s.type = c.type;
    EXPECT_EQ(render(c.text, c.type >= 0),
              c.want + std::string("|") + std::to_string(c.status) + " 0")
        << c.text;
  }
  EXPECT_TRUE(log.contains("Need a session", 0));
  EXPECT_TRUE(log.contains("Unknown loop type nothing"));
  EXPECT_TRUE(log.contains("Unknown directive nonsense"));
}

// Every page we ship renders for a system administrator with a row of each kind in view, and
// every text it asks for has an English translation.
TEST_F(TemplateTest, ShippedPagesRender) {
  const int d = create_default_domain("example.com");
  const int t = db_test::add_row(trunks, {{trunks_name, "up"}, {trunks_domain, id_text(d)}});
  const int p =
      db_test::add_row(dial_plan, {{dial_plan_name, "out"}, {dial_plan_domain, id_text(d)}});
  args = {{"domain", id_text(d)}, {"trunk", id_text(t)}, {"dialplan", id_text(p)}};
  const std::regex lng("\\{lng ([a-z0-9_]+)\\}");
  for (const auto& entry : std::filesystem::directory_iterator(TELMOND_SHARE_WEB)) {
    const std::string page = entry.path().filename().string();
    if (!page.ends_with(".htm")) continue;
    std::stringstream text;
    text << std::ifstream(std::string(TELMOND_SHARE_WEB) + page).rdbuf();
    const std::string page_text = text.str();
    const std::string out = render(str(page_text));
    EXPECT_TRUE(!page_text.empty() && out.ends_with("</html>\n|200 0")) << page << out;
    for (std::sregex_iterator m(page_text.begin(), page_text.end(), lng), end; m != end; ++m)
      EXPECT_NE(translate(str((*m)[1].str()), "en"), str((*m)[1].str())) << page;
  }
}

// The lists show a domain administrator his own domain's rows only, whatever he asks for;
// the system administrator sees every domain's unless he asks for one.
TEST_F(TemplateTest, ListsShowOnlyTheSessionsRows) {
  const int d1 = create_default_domain("one"), d2 = create_default_domain("two");
  manual_clock wall_clock;
  scoped_clock use(&wall_clock);
  for (int d : {d1, d2}) {
    const str n = domains.get(d, domains_name);
    db_test::add_row(registrations, {{registrations_domain, id_text(d)},
                                     {registrations_contact, "<sip:" + n + "@127.0.0.1>"}});
    // A call of 90 s whose current phase (talking) began 5 s ago.
    const int c = db_test::add_row(
        cobjs, {{cobj_domain, id_text(d)},
                {cobj_from, "<sip:" + n + "@h>;tag=1"},
                {cobj_segment_start, atimestamp_serialize(wall_clock.wall() - 5000)}});
    db_test::add_row(legs, {{leg_reference, id_text(c)},
                            {leg_start, atimestamp_serialize(wall_clock.wall() - 90000)}});
    db_test::add_row(trunks, {{trunks_name, n}, {trunks_domain, id_text(d)}});
  }
  s.vars = {{"domain", id_text(d1)}, {"tz", "Mars/Base"}};
  const str page =
      "{loop start domains}D:{ssi var row.name};{loop end}{loop start registrations}"
      "R:{ssi var row.contact};{loop end}{loop start calls}C:{ssi var row.from}/"
      "{ssi var row.duration};{loop end}{loop start trunks}T:{ssi var row.name};{loop end}"
      "<{ssi count registrations domain}>";
  const std::map<str, str> two = {{"domain", id_text(d2)}};
  // clang-format off
  struct { int type; std::map<str, str> args; const char* want; } cases[] = {
      {session_domain_admin, two, "D:one;R:<sip:one@127.0.0.1>;C:one/90;T:one;<1>|200 0"},
      {session_system_admin, two, "D:one;D:two;R:<sip:one@127.0.0.1>;R:<sip:two@127.0.0.1>;"
                                  "C:one/90;C:two/90;T:two;<1>|200 0"},
      {session_user, {}, "<0>|200 0"},
  };
  // clang-format on
  for (const auto& c : cases) {
    s.type = c.type;
    args = c.args;
    EXPECT_EQ(render(page), c.want) << c.type;
  }
  EXPECT_EQ(render("{ssi list_timezones tz}").substr(0, 90),
            "<option value=\"Mars/Base\" selected>Mars/Base</option>\n<option "
            "value=\"UTC\">UTC</option>\n<op");
}

// The menu bars: the session's own level's, the selected entry marked; a system administrator
// looking into a domain gets that domain's bar, its links carrying the domain.
TEST_F(TemplateTest, MenuBars) {
  const int d = create_default_domain("a<b");
  s.type = session_domain_admin;
  s.vars = {{"domain", id_text(d)}, {"login_name", "ann"}, {"selected", "trunks"}};
  EXPECT_EQ(render("{ssi header1}{ssi header2}"),
            "<header class=\"top\"><span class=\"brand\">telmond</span><span class=\"who\">ann @ "
            "a&lt;b</span><a class=\"logout\" href=\"logout.htm\">Log out</a></header>\n<nav "
            "class=\"menu\"><a href=\"dom_index.htm\">Accounts</a><a href=\"dom_trunks.htm\" "
            "class=\"sel\">Trunks</a><a href=\"dom_dialplans.htm\">Dial plans</a><a "
            "href=\"dom_registrations.htm\">Registrations</a><a href=\"dom_calls.htm\">Live "
            "calls</a><a href=\"dom_settings.htm\">Settings</a></nav>\n|200 0");
  s.type = session_system_admin;
  s.vars = {{"menu", "user"}};
  args = {{"domain", id_text(d)}};
  const std::string bars = render("{ssi header1 call_lists}{ssi header2 accounts}");
  EXPECT_EQ(bars.substr(bars.find("<nav")),
            "<nav class=\"menu\"><a href=\"usr_index.htm\">Your settings</a><a "
            "href=\"usr_calls.htm\" class=\"sel\">Call lists</a></nav>\n<div "
            "class=\"crumb\">Domain: <b>a&lt;b</b></div>\n<nav class=\"submenu\"><a "
            "href=\"dom_index.htm?domain=1\" class=\"sel\">Accounts</a><a "
            "href=\"dom_trunks.htm?domain=1\">Trunks</a><a "
            "href=\"dom_dialplans.htm?domain=1\">Dial plans</a><a "
            "href=\"dom_registrations.htm?domain=1\">Registrations</a><a "
            "href=\"dom_calls.htm?domain=1\">Live calls</a><a "
            "href=\"dom_settings.htm?domain=1\">Settings</a></nav>\n|200 0");
}

// The colour of pixel (x, y), y counted from the top, read from the bottom-up rows of f.
uint32_t pixel(const str& f, int x, int y, int width = perf_graph::width,
               int height = perf_graph::height) {
  const size_t at = 54 + (height - 1 - y) * ((width * 3 + 3) & ~3) + x * 3;
  return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16;
}

// How many pixels of column x have the colour.
int count_in_column(const str& f, int x, uint32_t rgb, int n = 0) {
  for (int y = 0; y < perf_graph::height; y++) n += pixel(f, x, y) == rgb;
  return n;
}

TEST(Graphs, BmpHeaderRowsAndOneColumn) {
  std::vector<perf_interval> h(perf_history::intervals);
  // 3 calls, 4 legs: on a scale up to 5, bars of 105 and 140 of the 175 pixels; MOS 4.0: 140.
  h[100] = perf_interval{0, true, -1, 3, 4, 0, 80, 2};
  const str calls = perf_graph_bmp("calls.bmp", h), mos = perf_graph_bmp("mos.bmp", h);
  ASSERT_EQ(calls.length(), 54u + 620 * 3 * 200);
  EXPECT_EQ(hex_encode(calls.substr(0, 54)),
            "424d56ad05000000000036000000280000006c020000c8000000010018000000000020ad0500130b0000"
            "130b00000000000000000000");
  const int x = perf_graph::left + 1 + 100;
  using namespace perf_graph;
  EXPECT_EQ(str::sprintf("%d %d %d %d %d", count_in_column(calls, x, primary),
                         count_in_column(calls, x, secondary), count_in_column(mos, x, primary),
                         count_in_column(calls, x + 1, primary),
                         count_in_column(perf_graph_bmp("performance.bmp", h), x, primary)),
            "105 35 140 0 0");
  // The bars stand on the time axis.
  EXPECT_EQ(pixel(calls, x, bottom - 1), primary);
  EXPECT_EQ(pixel(calls, x, bottom), axis);
  web_request r;  // the chart: legs 4 of 5 at interval 100, a lone point
  history_chart(h, r);
  EXPECT_GE(r.out.find("<path d=\"M140 42\" class=\"line-legs\"/>"), 0) << r.out.view();
  // Rows of 5 pixels take 15 bytes and a byte of padding.
  bmp_canvas small(5, 2);
  small.set(4, 1, 0x102030);
  const str f = small.encode();
  EXPECT_EQ(f.length(), 54u + 2 * 16);
  EXPECT_EQ(pixel(f, 4, 1, 5, 2), 0x102030u);
}

}  // namespace
