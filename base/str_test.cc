#include "base/str.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/log_capture_test_util.h"

namespace {

std::string s(const str& x) { return std::string(x.view()); }

// Blocks handed out by str's allocator and bytes it obtained from the system: str allocates
// through nothing else.
long allocations() {
  str::meminfo m = str::get_meminfo_stats();
  long blocks = static_cast<long>(m.large_blocks + m.bytes_obtained);
  for (int c = 0; c < str::num_classes; ++c) blocks += static_cast<long>(m.blocks_in_use[c]);
  return blocks;
}

TEST(StrWindows, FieldsLinesAndStripsShareTheBufferAndAllocateNothing) {
  str msg(
      "INVITE sip:bob@example.com SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\n"
      "CSeq:  42 INVITE \r\n\r\n");
  long before = allocations();
  str version = msg.get_field(2);
  str via = msg.get_line(1);
  str cseq = msg.get_line(2).get_field(1, ':').strip();
  str number = cseq.get_field(0);
  int n = number.value();
  str rest = msg.get_rest(1);
  str copy = msg;
  str left = msg.leftstr(6);
  str tail = msg.substr(7, 19).rstrip('m');
  EXPECT_EQ(allocations(), before);
  EXPECT_EQ(s(version) + "|" + s(via) + "|" + s(cseq) + "|" + std::to_string(n) + "|" +
                s(rest.leftstr(29)) + "|" + s(left) + "|" + s(tail),
            "SIP/2.0|Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1|42 INVITE|42|"
            "sip:bob@example.com SIP/2.0\r\n|INVITE|sip:bob@example.co");
  EXPECT_TRUE(version.shares_with(msg));
  EXPECT_GE(msg.sharers(), 8u);
}

// A write to a window copies it first (on other threads too: StrThreads); c_str terminates a
// shared window in a copy of its own; the only holder of a buffer grows in place; a string may
// be appended to itself and to a window of itself.
TEST(StrWindows, WritesCopySharedBuffersAndGrowLoneOnesInPlace) {
  str line("REGISTER sip:example.com SIP/2.0");
  str version = line.get_field(2);
  version += "/extra";
  str field = line.get_field(0);
  str alone("abc"), self("xy");
  const char* before = alone.cbuffer();
  alone += "def";
  self += self;
  self += self.substr(1, 2);
  EXPECT_EQ(s(version) + "|" + field.c_str() + "|" + line.c_str() + "|" + str().c_str() + "|" +
                str_t.c_str() + "|" + s(alone) + "|" + s(self),
            "SIP/2.0/extra|REGISTER|REGISTER sip:example.com SIP/2.0||true|abcdef|xyxyyx");
  EXPECT_FALSE(version.shares_with(line));
  EXPECT_EQ(alone.cbuffer(), before);
}

// Fields on one separator character are compared with a reference splitter further down.
TEST(StrWindows, FieldRulesAndLineEndsOfEveryKind) {
  EXPECT_EQ(s(str("k=v; x=y").get_field(1, "; ")), "x=y");
  EXPECT_EQ(s(str("one two three").get_rest(1)), "two three");
  str text("a\r\nb\nc\rd\n\re");
  std::vector<std::string> lines, first_lines;
  for (size_t i = 0; i <= 5; i++) lines.push_back(s(text.get_line(i)));
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c", "d", "e", ""}));
  while (!text.empty()) first_lines.push_back(s(text.get_first_line()));
  EXPECT_EQ(first_lines, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  str last("tail\r\n");
  EXPECT_EQ(s(last.get_first_line()), "tail");
  EXPECT_TRUE(last.empty());
}

TEST(StrConversion, Numbers) {
  EXPECT_EQ(str(" -12x").value(), -12);
  EXPECT_EQ(str("+-7").value(), -7);
  EXPECT_EQ(str("abc").value(), 0);
  EXPECT_EQ(str("\t 4294967295").uvalue(), 4294967295u);
  EXPECT_EQ(str("99999999999").value64(), 99999999999LL);
  for (const char* n : {"12 ", " -3"}) EXPECT_TRUE(str(n).is_number()) << n;
  for (const char* n : {"1-2", "-", ""}) EXPECT_FALSE(str(n).is_number()) << n;
  const std::pair<str, const char*> padded[] = {{str(7, 3), "007"},
                                                {str(-7, 3), "-07"},
                                                {str(123456, 2), "123456"},
                                                {str(0u, 0), "0"},
                                                {str(-2147483647 - 1, 0), "-2147483648"}};
  for (const auto& [value, text] : padded) EXPECT_EQ(s(value), text);
  EXPECT_EQ(s(str::from_int64(-9000000000LL)), "-9000000000");
}

TEST(StrConversion, CaseComparisonBitwiseAndRecords) {
  EXPECT_EQ(s(str("SIP/2.0 Ok").tolower()), "sip/2.0 ok");
  EXPECT_EQ(s(str("via").toupper()), "VIA");
  EXPECT_TRUE(str("Content-Length").icmp(str("content-LENGTH")));
  EXPECT_FALSE(str("abc").icmp("abd"));
  EXPECT_TRUE(str("abc") < str("abd"));
  EXPECT_EQ(str("hello world").find(str("o w")), 4);
  EXPECT_EQ(str("hello").find(str("z")), -1);
  EXPECT_EQ(str("Hello World").ifind(str("WORLD")), 6);
  str a = str::bytes({0xC0, 0xA8, 0x01, 0x05});
  str mask = str::bytes({0xFF, 0xFF, 0xFF, 0x00});
  EXPECT_EQ(a.l_and(mask), str::bytes({0xC0, 0xA8, 0x01, 0x00}));
  EXPECT_EQ(mask.l_not(), str::bytes({0, 0, 0, 0xFF}));
  EXPECT_EQ(a.l_or(mask), str::bytes({0xFF, 0xFF, 0xFF, 0x05}));
  // Records: names in any case, values stripped.
  const str headers("Content-Type : application/sdp\r\nX-Test:  one \r\nx-test: two\r\n");
  EXPECT_EQ(s(headers.get_record_content(str("x-TEST"))), "one");
  EXPECT_EQ(s(headers.get_record_content(str("c"), str("content-type"))), "application/sdp");
  EXPECT_EQ(s(headers.get_record(str("missing"))), "");
}

TEST(StrFormat, ConversionsAndWrongWrappers) {
  EXPECT_EQ(s(str::sprintf("%05d|%d|%3d", arg_int(42), arg_int(-5), arg_int(7))), "00042|-5|007");
  EXPECT_EQ(s(str::sprintf("%h %H", arg_str(str::bytes({0x01, 0xAB})),
                           arg_str(str::bytes({0x01, 0xAB})))),
            "01ab 01AB");
  EXPECT_EQ(s(str::sprintf("%x", arg_unsigned_int(0x12345))), "2345");
  EXPECT_EQ(s(str::sprintf("%u%%%c%s%S", arg_unsigned_int(4000000000u), arg_char('!'),
                           arg_str(str("str")), arg_cstr("cstr"))),
            "4000000000%!strcstr");
  // An unknown letter produces nothing and consumes no argument.
  EXPECT_EQ(s(str::sprintf("a%qb%d", arg_int(1))), "ab1");
  // Fewer arguments than conversions, and a trailing "%".
  EXPECT_EQ(s(str::sprintf("%d %d %", arg_int(1))), "1  ");
  // A wrong wrapper gives an empty conversion.
  EXPECT_EQ(s(str::sprintf("[%d][%s][%S][%h]", arg_cstr("x"), arg_int(3), arg_str(str("y")),
                           arg_unsigned_int(9))),
            "[][][][]");
  // The mismatched argument is consumed: the next conversion takes the next argument.
  EXPECT_EQ(s(str::sprintf("%d-%d", arg_unsigned_int(1), arg_int(2))), "-2");
}

TEST(StrAllocator, SizeClasses) {
  for (auto [size, c] : {std::pair{44, 0}, {45, 1}, {70000, 10}, {67108780, 19}, {67108781, -1}})
    EXPECT_EQ(str::block_class(size), c) << size;
  str small(std::string(45, 'a'));
  EXPECT_EQ(small.capacity(), 172u);
  str big(std::string(70000, 'b'));
  EXPECT_EQ(big.capacity(), 130988u);
  str::meminfo before = str::get_meminfo_stats();
  {
    str huge('z', 67108781);
    EXPECT_EQ(str::get_meminfo_stats().large_blocks, before.large_blocks + 1);
    EXPECT_EQ((huge.capacity() + str::header_size) % 32768, 0u);
  }
  EXPECT_EQ(str::get_meminfo_stats().large_blocks, before.large_blocks);
  EXPECT_FALSE(str::get_meminfo().empty());
}

TEST(StrAllocator, RawMemoryAndCompression) {
  // A window on a class buffer and one on a large buffer (a whole file) both move into the
  // smallest class.
  for (int size : {5000, 1 << 20}) {
    str big('q', size);
    str part = big.substr(10, 30);
    big = str();
    EXPECT_GE(part.capacity(), uint32_t(size));
    part.compress();
    EXPECT_EQ(part.capacity(), 44u);
    EXPECT_EQ(s(part), std::string(30, 'q'));
  }
}

TEST(StrThreads, SharersOnDifferentThreadsNeverSeeEachOthersWrites) {
  str source("The quick brown fox jumps over the lazy dog");
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([source, t, &bad] {
      for (int i = 0; i < 20000; ++i) {
        str mine = source.get_field(static_cast<size_t>((i + t) % 9));
        str copy = mine;
        mine.set_character(0, '#');
        mine += static_cast<char>('a' + t);
        if (copy[0] == '#' || mine[0] != '#') bad++;
        str again = source;
        if (again.length() != 43) bad++;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(s(source), "The quick brown fox jumps over the lazy dog");
  EXPECT_EQ(source.sharers(), 1u);
}

// ---- Files
// ---------------------------------------------------------------------------------------------

class StrFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/str_test.XXXXXX";
    dir_ = str(mkdtemp(tmpl));
  }
  void TearDown() override { std::system((std::string("rm -rf ") + s(dir_)).c_str()); }
  str path(const char* name) { return dir_ + "/" + name; }
  str dir_;
};

TEST_F(StrFiles, WriteReadAppendRenameRemove) {
  const str f = path("a.txt");
  ASSERT_TRUE(str("deep").write_file(path("x/y/z.txt")));  // missing directories are made
  ASSERT_TRUE(str("hello").write_file(f) && str(" world").append_file(f));
  EXPECT_EQ(s(str::read_file(path("x/y/z.txt"))) + "|" + s(str::read_file(f)) + "|" +
                std::to_string(str::file_size(f)),
            "deep|hello world|11");
  std::system((std::string("rm -rf ") + s(path("x"))).c_str());
  EXPECT_EQ(str::get_dir(dir_).size(), 1u);  // no temporary file beside the target
  ASSERT_TRUE(str::rename_file(f, path("b.txt")) && str::remove_file(path("b.txt")));
  EXPECT_TRUE(str::file_size(f) == -1 && str::get_dir(dir_).empty());
}

// A file with another hard link is rewritten in place so both names see the new bytes; without
// the second name it is replaced through a temporary file again. Modes and symbolic links kept
// across a replacement are walked by OperatorFilesE2E.
TEST_F(StrFiles, ReplacingAFileWithAHardLinkWritesInPlace) {
  ASSERT_TRUE(str("v1").write_file(path("settings.xml")));
  ASSERT_EQ(link(path("settings.xml").c_str(), path("other-name.xml").c_str()), 0);
  ASSERT_TRUE(str("v2").write_file(path("settings.xml")));
  EXPECT_EQ(s(str::read_file(path("other-name.xml"))), "v2");
  ASSERT_TRUE(str::remove_file(path("other-name.xml")));
  ASSERT_TRUE(str("v3").write_file(path("settings.xml")));
  EXPECT_EQ(s(str::read_file(path("settings.xml"))), "v3");
  EXPECT_EQ(str::get_dir(dir_), (std::vector<str>{str("settings.xml")}));
}

TEST_F(StrFiles, FailuresAreReportedWithTheirTexts) {
  log_capture log;
  // A regular file where a directory of the path should be: the directory cannot be made.
  ASSERT_TRUE(str("x").write_file(path("plain")));
  str missing_dir = path("plain/x.txt");
  EXPECT_FALSE(str("x").write_file(missing_dir) || str("x").append_file(missing_dir) ||
               str::remove_file(path("nothing")) ||
               str::rename_file(path("nothing"), path("other")));  // each logs: below
  ASSERT_TRUE(str::create_path(path("sub/deeper")));
  str out("junk");
  EXPECT_FALSE(str::read_file(path("sub"), out) || !out.empty());  // a directory, not a file
  EXPECT_FALSE(str("x").write_file(path("sub/deeper")));
  ASSERT_TRUE(str().write_file(path("empty")));
  EXPECT_TRUE(str::read_file(path("empty"), out) && out.empty());
  EXPECT_FALSE(str::read_file(path("absent"), out));
  std::vector<std::string> want = {
      "Could not open " + s(missing_dir) + " for writing",
      "Could not open " + s(missing_dir) + " for writing",
      "Cannot remove file " + s(path("nothing")),
      "Cannot rename file " + s(path("nothing")) + " to " + s(path("other")),
      "Could not fstat " + s(path("sub")),
  };
  std::vector<std::string> got = log.texts();
  ASSERT_GE(got.size(), want.size() + 1);
  got.resize(want.size());
  EXPECT_EQ(got, want);
  EXPECT_EQ(str::get_dir(dir_, true), (std::vector<str>{str("sub")}));
  EXPECT_EQ(str::get_dir(dir_), (std::vector<str>{str("empty"), str("plain")}));
}

// ---- Properties
// ------------------------------------------------------------------------------------------

// Reference field splitter on std::string.
std::string ref_field(const std::string& text, size_t n, char sep) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  size_t i = 0;
  for (;;) {
    while (i < line.size() && line[i] == sep) ++i;
    if (i >= line.size()) return "";
    size_t j = line.find(sep, i);
    if (j == std::string::npos) j = line.size();
    if (n == 0) return line.substr(i, j - i);
    --n;
    i = j;
  }
}

TEST(StrProperties, FieldsMatchAReferenceSplitter) {
  EXPECT_TRUE(rc::check([](const std::string& text, uint8_t n) {
    std::string t = text;
    for (char& c : t) c = "ab ,\r\n"[static_cast<unsigned char>(c) % 6];
    RC_ASSERT(s(str(t).get_field(n % 8, ',')) == ref_field(t, n % 8, ','));
    RC_ASSERT(s(str(t).get_field(n % 8)) == ref_field(t, n % 8, ' '));
  }));
}

TEST(StrProperties, DecimalRoundTrips) {
  EXPECT_TRUE(rc::check([](int v, uint8_t w) {
    str x(v, w % 12);
    RC_ASSERT(x.value() == v);
    RC_ASSERT(x.is_number());
    RC_ASSERT(x.length() >= static_cast<size_t>(w % 12));
    RC_ASSERT(s(str::sprintf("%d", arg_int(v))) == std::to_string(v));
  }));
}

TEST(StrProperties, LinesRejoinToTheText) {
  EXPECT_TRUE(rc::check([](const std::string& text) {
    std::string t = text;
    for (char& c : t) c = "xy\r\n"[static_cast<unsigned char>(c) % 4];
    str rest(t);
    std::string joined;
    while (!rest.empty()) joined += s(rest.get_first_line());
    std::string letters;
    for (char c : t)
      if (c != '\r' && c != '\n') letters += c;
    RC_ASSERT(joined == letters);
  }));
}

}  // namespace
