// URIs, header values (From, To, Contact) and transport names: parsed, rebuilt, quoted.
#include "sip/sip_uri.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>
#include <vector>

#include "sip/from_to_spec.h"
#include "sip/sip_test_print.h"
#include "sip/transport_type.h"

namespace {

// Unmodified, the text comes back byte for byte after reading its parts (any text:
// fuzz/sip_uri_fuzz.cc).
TEST(SipUri, ParsesComponents) {
  const char* const full =
      "sip:al%69ce:se%63ret@example.com:5070;transport=tcp;lr;n%61me=v%61l?Subject=x&H=%41";
  sip_uri u(full);
  EXPECT_EQ(str::sprintf("%u ", unsigned(u.num_parameters())) + u.get_parameter("TRANSPORT") +
                " lr=" + u.get_parameter("lr") + " " + u.get_parameter("name") + " " +
                u.get_header("subject") + " " + u.get_header("h"),
            "3 tcp lr= val x A");
  EXPECT_TRUE(u.has_parameter("lr") && !u.has_parameter("maddr") && !u.is_modified());
  EXPECT_EQ(u.serialize(), full);
  const struct {
    const char *text, *scheme, *user, *pass, *host, *port;
  } cases[] = {
      {full, "sip", "alice", "secret", "example.com", "5070"},
      {"example.com:5060", "", "", "", "example.com", "5060"},
      {"sip:example.com:5060", "sip", "", "", "example.com", "5060"},
      {"sip:[2001:db8::1]:5062;transport=udp", "sip", "", "", "[2001:db8::1]", "5062"},
      {"tel:+4989123", "tel", "", "", "+4989123", ""},
      // Digits only without "+": read as host tel with that number as port.
      {"tel:4989123", "", "", "", "tel", "4989123"},
      // "%" hides a ":" from the user/password split.
      {"sip:a%3Ab@h", "sip", "a:b", "", "h", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    sip_uri t(c.text);
    EXPECT_EQ(t.get_scheme(), c.scheme);
    EXPECT_EQ(t.get_user(), c.user);
    EXPECT_EQ(t.get_pass(), c.pass);
    EXPECT_EQ(t.get_host(), c.host);
    EXPECT_EQ(t.get_port(), c.port);
  }
}

TEST(SipUri, SettersRebuildTheText) {
  sip_uri u("sip:bob@example.com");
  u.set_parameter("transport", "tcp");
  EXPECT_EQ(u.serialize(), "sip:bob@example.com;transport=tcp");
  u.set_parameter("Transport", "tls");
  EXPECT_EQ(u.serialize(), "sip:bob@example.com;transport=tls");
  u.set_user("a b");
  EXPECT_EQ(u.serialize(), "sip:a%20b@example.com;transport=tls");
  u.set_header("Subject", "x y");
  EXPECT_EQ(u.serialize(), "sip:a%20b@example.com;transport=tls?Subject=x%20y");
  u.clear_headers();
  u.set_port("5080");
  EXPECT_EQ(u.serialize(), "sip:a%20b@example.com:5080;transport=tls");

  sip_uri parts("sip", "{x-pre-adr} user", "{x-pre-adr}", "{x-pre-port}");
  EXPECT_EQ(parts.serialize(), "sip:{x-pre-adr}%20user@{x-pre-adr}:{x-pre-port}");
  // A placeholder port survives a parse and a rebuild.
  sip_uri again(parts.serialize());
  EXPECT_EQ(again.get_port(), "{x-pre-port}");
  again.set_parameter("lr", "");
  EXPECT_EQ(again.serialize(), "sip:{x-pre-adr}%20user@{x-pre-adr}:{x-pre-port};lr");
}

TEST(SipUri, Equality) {
  EXPECT_EQ(sip_uri("sip:a@h;transport=udp"), sip_uri("sip:a@h"));
  EXPECT_NE(sip_uri("sip:a@h;user=phone"), sip_uri("sip:a@h"));
  EXPECT_NE(sip_uri("sip:a@h"), sip_uri("sip:a@h;maddr=1.2.3.4"));
  EXPECT_NE(sip_uri("sip:a@h;transport=tcp"), sip_uri("sip:a@h;transport=udp"));
  EXPECT_EQ(sip_uri("sip:a@h;TRANSPORT=tcp"), sip_uri("sip:a@h;transport=tcp"));
  EXPECT_NE(sip_uri("sip:a@h"), sip_uri("sip:A@h"));
  EXPECT_NE(sip_uri("sip:a@h"), sip_uri("sip:a@h:5060"));
  EXPECT_NE(sip_uri("sip:a@h?x=1"), sip_uri("sip:a@h"));
  EXPECT_NE(sip_uri("sip:a@h?x=1"), sip_uri("sip:a@h?x=2"));
  EXPECT_EQ(sip_uri("sip:a%61@h"), sip_uri("sip:aa@h"));
}

TEST(SipUri, EscapeAndDeescape) {
  EXPECT_EQ(escape("a b\x01\xff", unreserved), "a%20b%01%FF");
  EXPECT_EQ(escape("x{x-pre-adr}y z", unreserved), "x{x-pre-adr}y%20z");
  EXPECT_EQ(escape("{x-pre-unterminated", unreserved), "{x-pre-unterminated");
  EXPECT_EQ(deescape("%41%62%zz%"), str("Ab\x00%", 4));
  EXPECT_EQ(deescape("%4"), "%4");
}

RC_GTEST_PROP(SipUri, PropertyEscapeRoundTrips, (const std::string& s)) {
  str t(s.data(), s.size());
  RC_PRE(t.find(str("{x-pre-")) < 0);  // placeholders are copied, not escaped
  RC_ASSERT(deescape(escape(t, unreserved)) == t);
}

RC_GTEST_PROP(SipUri, PropertyRebuiltTextParsesToSameComponents,
              (const std::string& user, const std::string& value)) {
  RC_PRE(user.find("{x-pre-") == std::string::npos && value.find("{x-pre-") == std::string::npos);
  sip_uri u("sip", str(user.data(), user.size()), "example.com", "5060");
  u.set_parameter("p", str(value.data(), value.size()));
  sip_uri back(u.serialize());
  RC_ASSERT(back.get_user().view() == std::string_view(user));
  RC_ASSERT(back.get_host() == "example.com");
  RC_ASSERT(back.get_port() == "5060");
  RC_ASSERT(back.get_parameter("p").view() == std::string_view(value));
}

// Names in any case (an unknown one: the unreadable-steps row of
// RoutingTable.TargetFromUriDnsRouteAndProxy).
TEST(TransportType, Names) {
  const std::pair<const char*, transport_type> names[] = {{"UDP", transport_type::udp},
                                                          {"Tcp", transport_type::tcp},
                                                          {"tls", transport_type::tls},
                                                          {"", transport_type()}};
  for (const auto& [name, t] : names) EXPECT_EQ(transport_type(str(name)), t) << name;
  EXPECT_EQ(transport_type(transport_type::tls).serialize() + "|" + transport_type().serialize(),
            "tls|");
}

// Display name, tag and the angle form of header values (canonical text as it is, other text
// rebuilt, tag first); unmodified, content() is the text. (That the unparsed fast path always
// agrees with a rebuild: fuzz/sip_uri_fuzz.cc.)
TEST(FromToSpec, ParsedViews) {
  const struct {
    const char *text, *display_name, *tag, *angle, *addr;
  } cases[] = {
      {"\"Alice\" <sip:alice@example.com>;tag=1", "Alice", "1",
       "\"Alice\" <sip:alice@example.com>;tag=1", "sip:alice@example.com"},
      // The parameters of a bare value belong to the header.
      {"sip:bob@example.com;expires=60;tag=7", "", "7", "<sip:bob@example.com>;tag=7;expires=60",
       "sip:bob@example.com"},
      {"Bob Smith <sip:bob@h>", "Bob Smith", "", "Bob Smith <sip:bob@h>", "sip:bob@h"},
      {"\"J \\\"R\\\\\" <sip:j@h>", "J \"R\\", "", "\"J \\\"R\\\\\" <sip:j@h>", "sip:j@h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    from_to_spec f(c.text);
    EXPECT_EQ(f.display_name(), c.display_name);
    EXPECT_EQ(f.tag(), c.tag);
    EXPECT_EQ(f.angle_content(), c.angle);
    EXPECT_EQ(f.addr_spec().serialize(), c.addr);
    EXPECT_EQ(f.content(), c.text);
  }
  const from_to_spec quoted(cases[0].text), bare(cases[1].text);
  EXPECT_TRUE(quoted.is_quoted() && quoted.is_name_addr());
  EXPECT_FALSE(from_to_spec(cases[2].text).is_quoted() || bare.is_name_addr());
  EXPECT_EQ(bare.extract_parameter("EXPIRES"), "60");
}

TEST(FromToSpec, HeaderParameterScanner) {
  from_to_spec c("<sip:a@b;lr> ; q = 0.5 ;flag; +sip.instance=\"<urn:uuid:1\\\"2>\";  x=");
  EXPECT_EQ(c.extract_parameter("q") + " " + c.extract_parameter("flag") + " " +
                c.extract_parameter("+sip.instance") +
                str::sprintf(" %u", unsigned(c.parameters().size())),
            "0.5  <urn:uuid:1\"2> 4");
  EXPECT_TRUE(c.addr_spec().has_parameter("lr") && c.addr_spec().get_parameter("lr").empty());
  // A parameter without value comes back as name and "="; non-tokens are quoted.
  EXPECT_EQ(c.angle_content(), "<sip:a@b;lr>;q=0.5;flag=;+sip.instance=\"<urn:uuid:1\\\"2>\";x=");
  EXPECT_EQ(c.get_parameters_as_string(), "q=0.5 flag= +sip.instance=<urn:uuid:1\"2> x=");
  EXPECT_EQ(from_to_spec("<sip:a@h>;TAG=2").angle_content(), "<sip:a@h>;tag=2");
  // An unterminated quoted value is taken as far as it goes.
  from_to_spec open("<sip:a@b>;p=\"abc");
  EXPECT_EQ(open.extract_parameter("p"), "abc");
}

TEST(FromToSpec, DisplayNamesAndQuoting) {
  EXPECT_EQ(from_to_spec("<sip:no-closing@h;lr").addr_spec().serialize(), "sip:no-closing@h;lr");
  EXPECT_EQ(quoted_display_name("plain", false), "plain");
  EXPECT_EQ(quoted_display_name("has\"quote", false), "\"has\\\"quote\"");
  EXPECT_EQ(quoted_display_name("q", true), "\"q\"");
  EXPECT_TRUE(is_token("abc-.!%*_+`'~"));
  EXPECT_TRUE(is_token(""));
  EXPECT_FALSE(is_token("a b"));
  EXPECT_EQ(quoted_string(str("a\"b\\c\x01", 6)), str("\"a\\\"b\\\\c\\\x01\"", 11));
  EXPECT_EQ(quote("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(unquote("\"a\\\"b\""), "a\"b");
  EXPECT_EQ(unquote("plain"), "plain");
  str display, uri, params;
  bool quoted;
  EXPECT_FALSE(parse_contact("sip:a@b;lr", display, quoted, uri, params, true));
  EXPECT_EQ(uri + "|" + params, "sip:a@b;lr|");
  EXPECT_TRUE(parse_contact(" \"N\" <sip:a@b>;x=1 ", display, quoted, uri, params, false));
  EXPECT_TRUE(quoted);
  EXPECT_EQ(display + "|" + uri + "|" + params, "N|sip:a@b|x=1");
}

TEST(FromToSpec, SettersAndContent) {
  from_to_spec f("sip:alice@example.com");
  EXPECT_EQ(f.content(), "sip:alice@example.com");
  f.set_tag("abc");
  EXPECT_EQ(f.content(), "sip:alice@example.com;tag=abc");
  // The text had no quoted name, so the new name is written bare.
  f.set_display_name("Alice");
  EXPECT_EQ(f.content(), "Alice <sip:alice@example.com>;tag=abc");
  f.set_parm("Tag", "x");
  f.set_parm("p", "1");
  f.set_parm("P", "2");
  f.add_parm("p", "3");
  EXPECT_EQ(f.content(), "Alice <sip:alice@example.com>;tag=x;p=2;p=3");
  f.remove_tag();
  f.clear_other_parameters();
  EXPECT_EQ(f.content(), "Alice <sip:alice@example.com>");

  // A URI with parameters forces the angle form.
  from_to_spec g{sip_uri("sip:a@b;lr")};
  EXPECT_EQ(g.content(), "<sip:a@b;lr>");
  from_to_spec h{sip_uri("sip:a@b")};
  EXPECT_EQ(h.content(), "sip:a@b");
}

// Parsing the angle form again gives the same angle form.
RC_GTEST_PROP(FromToSpec, PropertyAngleContentIsStable, (const std::string& s)) {
  // Angle brackets inside the URI itself cannot be told from the delimiters.
  RC_PRE(s.find_first_of("<>") == std::string::npos);
  from_to_spec f(str(s.data(), s.size()));
  str once = f.angle_content();
  from_to_spec again(once);
  RC_ASSERT(again.angle_content() == once);
}

// Name-addresses built from parts come back with the same parts.
RC_GTEST_PROP(FromToSpec, PropertyBuiltValueParsesBack,
              (const std::string& name, const std::string& tag_chars)) {
  str display = str(name.data(), name.size()).strip();
  std::string tag;
  for (char c : tag_chars)
    if (token.has(static_cast<uint8_t>(c))) tag += c;
  from_to_spec f{sip_uri("sip:user@example.com")};
  f.set_display_name(display);
  f.set_tag(str(tag.data(), tag.size()));
  from_to_spec back(f.content());
  RC_ASSERT(back.display_name() == display);
  RC_ASSERT(back.tag().view() == std::string_view(tag));
  RC_ASSERT(back.addr_spec().serialize() == "sip:user@example.com");
}

}  // namespace
