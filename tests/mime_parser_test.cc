// The MIME structure parser: header blocks, derived values, parameters and multipart splitting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mime_test_util.h"

namespace qy {
namespace {

using mimetest::dump;
using mimetest::invariantViolation;
using mimetest::view;

std::unique_ptr<MIMEPart> parseText(const std::string& s) { return MIME::parse(view(s)); }

TEST(MIMEParser, EmptyInputIsAnEmptyPlainTextRoot) {
  auto root = MIME::parse(ByteView{});
  EXPECT_TRUE(root->fields().empty());
  EXPECT_EQ(root->headerRange(), (ByteRange{0, 0}));
  EXPECT_EQ(root->bodyRange(), (ByteRange{0, 0}));
  EXPECT_EQ(root->type(), "text/plain");
  EXPECT_TRUE(root->params().empty());
  EXPECT_EQ(root->encoding(), "7bit");
  EXPECT_EQ(root->disposition(), "");
  EXPECT_TRUE(root->children().empty());
  EXPECT_EQ(root->field("content-type"), std::nullopt);
}

struct HeaderCase {
  const char* name;
  std::string input;
  std::vector<MIMEField> fields;
  ByteRange header, body;
};

TEST(MIMEParser, HeaderBlocksFollowTheLineRules) {
  const HeaderCase kCases[] = {
      {"folded with space and tab", "Subject: one\n  two \n\tthree\n\nbody",
       {{"subject", "one two three", {0, 27}}}, {0, 27}, {28, 32}},
      {"CRLF lines drop one CR", "A: 1\r\nB: 2\r\n\r\nx",
       {{"a", "1", {0, 6}}, {"b", "2", {6, 12}}}, {0, 12}, {14, 15}},
      {"CR elsewhere is content", "A: x\ry\r\r\n\r\n",
       {{"a", "x\ry\r", {0, 9}}}, {0, 9}, {11, 11}},
      {"blank-only line continues the field", "A: x\n \t\n\nb",
       {{"a", "x ", {0, 8}}}, {0, 8}, {9, 10}},
      {"no blank line: all fields, empty body", "A: 1\nB: 2\n",
       {{"a", "1", {0, 5}}, {"b", "2", {5, 10}}}, {0, 10}, {10, 10}},
      {"no final LF", "A: 1\nB: 2",
       {{"a", "1", {0, 5}}, {"b", "2", {5, 9}}}, {0, 9}, {9, 9}},
      {"first line not a field (mbox)", "From someone@x Mon\nA: 1\n\nb", {}, {0, 0}, {0, 26}},
      {"space before colon ends the block", "A: 1\nNot a: field\n\nb",
       {{"a", "1", {0, 5}}}, {0, 5}, {5, 20}},
      {"colon first ends the block", "A: 1\n: x\n", {{"a", "1", {0, 5}}}, {0, 5}, {5, 9}},
      {"no colon ends the block", "A: 1\nplain\n", {{"a", "1", {0, 5}}}, {0, 5}, {5, 11}},
      {"tab before colon is part of the name", "\tX-Tab\t: v\n\n",
       {{"\tx-tab\t", "v", {0, 11}}}, {0, 11}, {12, 12}},
      {"leading space with no field yet", " A: 1\n\n", {}, {0, 0}, {0, 7}},
      {"repeated names all stay", "X: 1\nx: 2\n\n",
       {{"x", "1", {0, 5}}, {"x", "2", {5, 10}}}, {0, 10}, {11, 11}},
      {"empty value", "A:\n\n", {{"a", "", {0, 3}}}, {0, 3}, {4, 4}},
      {"Unicode spaces trimmed, NBSP and ideographic",
       "A:\xC2\xA0 v\xE3\x80\x80\n\n", {{"a", "v", {0, 10}}}, {0, 10}, {11, 11}},
      {"full Unicode lower-casing of names", "\xC3\x9C" "BER: x\n\n",
       {{"\xC3\xBC" "ber", "x", {0, 9}}}, {0, 9}, {10, 10}},
      {"invalid UTF-8 becomes U+FFFD", "A: \xFF" "b\xC3\n\n",
       {{"a", "\xEF\xBF\xBD" "b\xEF\xBF\xBD", {0, 7}}}, {0, 7}, {8, 8}},
      {"NUL bytes are content", std::string("A: a\0b\n\n\0", 9),
       {{"a", std::string("a\0b", 3), {0, 7}}}, {0, 7}, {8, 9}},
      {"blank line first", "\nA: 1\n", {}, {0, 0}, {1, 6}},
      {"CR alone on the first line", "\r\nbody", {}, {0, 0}, {2, 6}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto root = parseText(c.input);
    EXPECT_EQ(root->fields(), c.fields);
    EXPECT_EQ(root->headerRange(), c.header);
    EXPECT_EQ(root->bodyRange(), c.body);
    EXPECT_EQ(invariantViolation(*root, {0, c.input.size()}), "");
  }
}

TEST(MIMEParser, DerivedValuesComeFromTheFirstFieldOfEachName) {
  auto root = parseText(
      "Content-Type: TEXT/HTML; CHARSET=\"UTF-8\"; charset=latin1\n"
      "Content-Type: text/plain\n"
      "Content-Transfer-Encoding:  Quoted-Printable \n"
      "Content-Disposition: ATTACHMENT; filename=\"a.html\"\n\nx");
  EXPECT_EQ(root->type(), "text/html");
  EXPECT_EQ(root->params(), (std::map<std::string, std::string>{{"charset", "UTF-8"}}));
  EXPECT_EQ(root->encoding(), "quoted-printable");
  EXPECT_EQ(root->disposition(), "attachment");
  EXPECT_EQ(root->field("content-type"), "TEXT/HTML; CHARSET=\"UTF-8\"; charset=latin1");
  EXPECT_EQ(root->field("Content-Type"), std::nullopt);  // names are stored lower-case

  auto headless = parseText("Content-Type: ; charset=utf-8\nContent-Transfer-Encoding: x; y\n\n");
  EXPECT_EQ(headless->type(), "text/plain");
  EXPECT_EQ(headless->params().at("charset"), "utf-8");
  EXPECT_EQ(headless->encoding(), "x; y");  // the whole value is the encoding
}

TEST(MIMEParser, ParametersSplitOutsideQuotes) {
  using Params = std::map<std::string, std::string>;
  struct Case { const char* name; std::string input, head; Params params; };
  const Case kCases[] = {
      {"quoted boundary with ';'", "multipart/mixed; boundary=\"a;b\"; x=1", "multipart/mixed",
       {{"boundary", "a;b"}, {"x", "1"}}},
      {"first occurrence wins", "t/s; A=\"One\"; a=two", "t/s", {{"a", "One"}}},
      {"extended name drops its star, numbered keeps it", "t; title*=utf-8''x; n*0=a; n*1=b",
       "t", {{"title", "utf-8''x"}, {"n*0", "a"}, {"n*1", "b"}}},
      {"a backslash does not escape a quote", "t; a=\"x\\\"y\"; b=%41", "t",
       {{"a", "\"x\\\"y\"; b=%41"}}},
      {"a lone quote is kept", "t; a=\"", "t", {{"a", "\""}}},
      {"two quotes become empty", "t; a=\"\"", "t", {{"a", ""}}},
      {"pieces without '=' are ignored", "t;;junk; b = 2 ;", "t", {{"b", "2"}}},
      {"empty key is stored", "t; =v", "t", {{"", "v"}}},
      {"only the first '=' splits", "t; a=b=c", "t", {{"a", "b=c"}}},
      {"unclosed quote runs to the end", "t; a=\"x; b=y", "t", {{"a", "\"x; b=y"}}},
      {"head trimmed and lower-cased", " \tTEXT/Plain ", "text/plain", {}},
      {"empty value", "", "", {}},
      {"quote with combining mark is no quote", "t; a=\"\xCC\x81x; b=1", "t",
       {{"a", "\"\xCC\x81x"}, {"b", "1"}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto [head, params] = MIME::parseParams(c.input);
    EXPECT_EQ(head, c.head);
    EXPECT_EQ(params, c.params);
  }
}

struct TreeCase {
  const char* name;
  std::string input;
  std::string tree;
};

TEST(MIMEParser, MultipartBodiesSplitAtDelimiterLines) {
  const std::string head = "Content-Type: multipart/alternative; boundary=b\n\n";  // 49 bytes
  const TreeCase kCases[] = {
      {"preamble, trailing blanks, closing, epilogue",
       head + "pre\n--b\n\none\n--b \t\r\n\ntwo\n--b--\nepilogue\n--b\nx\n",
       "multipart/alternative{text/plain[58,61) text/plain[70,73)}"},
      {"CRLF: the child ends before CR LF", head + "--b\r\n\r\none\r\n--b--\r\n",
       "multipart/alternative{text/plain[56,59)}"},
      {"no closing delimiter: last child runs to the end", head + "--b\n\none\n--b\n\ntwo\n",
       "multipart/alternative{text/plain[54,57) text/plain[63,67)}"},
      {"first delimiter closing: no children", head + "--b--\n--b\n\nx\n",
       "multipart/alternative[49,62)"},
      {"no delimiter: no children", head + "just text\n", "multipart/alternative[49,59)"},
      {"letter or single '-' after the delimiter is content",
       head + "--b\n\none\n--bx\n--b-\n--B\n--b--\n",
       "multipart/alternative{text/plain[54,71)}"},
      {"two delimiters in a row give an empty child", head + "--b\n--b\n\nx\n--b--",
       "multipart/alternative{text/plain[53,53) text/plain[58,59)}"},
      {"delimiter at the very end without LF", head + "--b\n\nx\n--b",
       "multipart/alternative{text/plain[54,55)}"},
      {"delimiter must start the line", head + "--b\n\nx --b\n--b--\n",
       "multipart/alternative{text/plain[54,59)}"},
      {"empty boundary is a leaf", "Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\nx\n",
       "multipart/mixed[44,50)"},
      {"no boundary is a leaf", "Content-Type: multipart/mixed\n\n--\n\nx\n",
       "multipart/mixed[31,37)"},
      {"quoted boundary holding ';'",
       "Content-Type: multipart/mixed; boundary=\"x;y\"\n\n--x;y\n\nA\n--x;y--\n",
       "multipart/mixed{text/plain[54,55)}"},
      {"nested with headers",
       head + "--b\nContent-Type: multipart/mixed; boundary=c\n\n--c\nContent-Type: text/html\n\n"
              "<p>\n--c--\n--b\nContent-Disposition: attachment\n\nz\n--b--\n",
       "multipart/alternative{multipart/mixed{text/html[125,128)} text/plain[172,173)}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto root = parseText(c.input);
    EXPECT_EQ(dump(*root), c.tree);
    EXPECT_EQ(invariantViolation(*root, {0, c.input.size()}), "");
  }
}

TEST(MIMEParser, ChildRangesEndBeforeTheLineBreakOfTheNextDelimiter) {
  const std::string msg =
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nA: 1\n\none\n--b\r\n\r\ntwo\r\n--b--\n";
  auto root = MIME::parse(mimetest::view(msg));
  ASSERT_EQ(root->children().size(), 2u);
  const MIMEPart& first = *root->children()[0];
  EXPECT_EQ(first.headerRange(), (ByteRange{47, 52}));
  EXPECT_EQ(mimetest::text(first.bodyRange().of(mimetest::view(msg))), "one");
  const MIMEPart& second = *root->children()[1];
  EXPECT_EQ(mimetest::text(second.bodyRange().of(mimetest::view(msg))), "two");
}

// "multipart/mixed; boundary=bN" nested `levels` deep, each with one child.
std::string nestedMultiparts(int levels) {
  std::string open, close;
  for (int i = 0; i < levels; ++i) {
    const std::string b = "b" + std::to_string(i);
    open += "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b + "\n";
    close = "\n--" + b + "--" + close;
  }
  return open + "Content-Type: text/html\n\n<p>x</p>" + close;
}

TEST(MIMEParser, PartsAtTheDepthLimitStayLeaves) {
  const std::string msg = nestedMultiparts(13);
  auto root = MIME::parse(view(msg));
  const MIMEPart* part = root.get();
  for (int depth = 0; depth < MIME::kMaxDepth; ++depth) {
    ASSERT_EQ(part->children().size(), 1u) << "depth " << depth;
    part = part->children()[0].get();
  }
  EXPECT_EQ(part->type(), "multipart/mixed");
  EXPECT_EQ(part->params().at("boundary"), "b12");
  EXPECT_TRUE(part->children().empty());
  EXPECT_EQ(MIME::findTextPart(*root), nullptr);
}

TEST(MIMEParser, PartsPastTheLimitAreLeftOut) {
  // A text part early in the message is still found; the flood of empty parts is cut off.
  std::string msg = "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                    "Content-Type: text/plain\n\nhello\n";
  for (size_t i = 0; i < MIME::kMaxParts + 50; ++i) msg += "--b\n";
  auto root = MIME::parse(view(msg));
  EXPECT_EQ(root->children().size(), MIME::kMaxParts - 1);  // the root counts too
  const MIMEPart* text = MIME::findTextPart(*root);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text, root->children()[0].get());
}

TEST(MIMEParser, HostileInputParsesWithinBounds) {
  std::string tenMegabyteLine(10'000'000, 'a');
  std::string boundary70(70, 'z');
  struct Case { const char* name; std::string input; };
  const Case kCases[] = {
      {"10,000 nested multiparts", nestedMultiparts(10'000)},
      {"a 10 MB header line", "X: " + tenMegabyteLine + "\n\n"},
      {"a 10 MB body line", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n" +
                                tenMegabyteLine + "\n--b--\n"},
      {"70-character boundary", "Content-Type: multipart/mixed; boundary=\"" + boundary70 +
                                    "\"\n\n--" + boundary70 + "\n\nx\n--" + boundary70 + "--\n"},
      {"many delimiters", "Content-Type: multipart/mixed; boundary=b\n\n" + [] {
         std::string s;
         for (int i = 0; i < 100'000; ++i) s += "--b\n";
         return s;
       }()},
      {"a 10 MB boundary", "Content-Type: multipart/mixed; boundary=\"" + tenMegabyteLine +
                               "\"\n\n--" + tenMegabyteLine + "\n\nx\n--" + tenMegabyteLine + "--\n"},
      {"a Content-Type of 10 MB of ';'", "Content-Type: t" + std::string(10'000'000, ';') + "\n\n"},
      {"only line feeds", std::string(100'000, '\n')},
      {"only CRs", std::string(100'000, '\r')},
      {"NUL bytes", std::string(1000, '\0')},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto root = MIME::parse(view(c.input));
    EXPECT_EQ(invariantViolation(*root, {0, c.input.size()}), "");
  }
}

}  // namespace
}  // namespace qy
