// HTML tokenizer and character references: token tables as short dumps, the round trip on
// hostile and real input, and the reference decoder's limits.
#include <gtest/gtest.h>

#include <cctype>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <sstream>
#include <string>

#include "support/corpus.h"
#include "core/doc/entities.h"
#include "core/doc/html_tokenizer.h"

namespace qy {
namespace {

// "T[raw]" for text, "O:name[raw]" / "C:name[raw]" for tags, "X[raw]" for other; joined by " ".
std::string dump(std::span<const HTok> toks) {
  std::string out;
  for (const HTok& t : toks) {
    if (!out.empty()) out += ' ';
    switch (t.kind) {
      case HTok::Kind::text: out += "T"; break;
      case HTok::Kind::open: out += "O:" + std::string(t.name); break;
      case HTok::Kind::close: out += "C:" + std::string(t.name); break;
      case HTok::Kind::other: out += "X"; break;
    }
    out += "[" + std::string(t.raw) + "]";
  }
  return out;
}

std::string joined(std::span<const HTok> toks) {
  std::string out;
  for (const HTok& t : toks) out += t.raw;
  return out;
}

TEST(HTMLTokenizer, CutsMarkupIntoTokens) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"tag names lower-cased, raw kept", "<P Class=x>Hi</P>", "O:p[<P Class=x>] T[Hi] C:p[</P>]"},
      {"empty input", "", ""},
      {"quoted > does not end a tag", "<a title='a>b'>x</a>", "O:a[<a title='a>b'>] T[x] C:a[</a>]"},
      {"double quotes too", "<a title=\"a>b\">x", "O:a[<a title=\"a>b\">] T[x]"},
      {"other quote inside quotes", "<a t=\"it's\">x", "O:a[<a t=\"it's\">] T[x]"},
      {"unclosed quote ends at first >", "<a title='x>y", "O:a[<a title='x>] T[y]"},
      {"unclosed tag runs to the end", "x<b", "T[x] O:b[<b]"},
      {"unclosed quote and no >", "<a title='x", "O:a[<a title='x]"},
      {"script is raw text", "<script>if (a<b) x();</script>",
       "O:script[<script>] X[if (a<b) x();] C:script[</script>]"},
      {"unclosed style swallows the rest", "<style>p{}</p><b>x", "O:style[<style>] X[p{}</p><b>x]"},
      {"title is never text", "<title>Re: news</title>", "O:title[<title>] X[Re: news] C:title[</title>]"},
      {"closer compared ignoring case", "<script>x</SCRIPT >", "O:script[<script>] X[x] C:script[</SCRIPT >]"},
      {"closer needs only the name", "<script>x</scripts>", "O:script[<script>] X[x] C:scripts[</scripts>]"},
      {"empty raw text gives no token", "<textarea></textarea>", "O:textarea[<textarea>] C:textarea[</textarea>]"},
      {"comments inside raw text ignored", "<xmp><!--</xmp>-->", "O:xmp[<xmp>] X[<!--] C:xmp[</xmp>] T[-->]"},
      {"raw-text tag without > has no content", "<style", "O:style[<style]"},
      {"doctype", "<!DOCTYPE html><p>", "X[<!DOCTYPE html>] O:p[<p>]"},
      {"processing instruction", "<?xml version='1.0'?>x", "X[<?xml version='1.0'?>] T[x]"},
      {"comment with >", "<!-- a > b -->x", "X[<!-- a > b -->] T[x]"},
      {"shortest comment", "<!---->x", "X[<!---->] T[x]"},
      {"<!--> is not closed", "<!-->x<p>", "X[<!-->x<p>]"},
      {"unclosed comment", "a<!-- b", "T[a] X[<!-- b]"},
      {"comment at the very end", "<!--", "X[<!--]"},
      {"cdata is a declaration", "<![CDATA[x]]>y", "X[<![CDATA[x]]>] T[y]"},
      {"declaration without >", "<!x", "X[<!x]"},
      {"lone < at the end", "a<", "T[a<]"},
      {"not markup", "a < b <3 </> </ p>", "T[a < b <3 </> </ p>]"},
      {"names keep digits colon dash", "<h1><o:p><my-tag>", "O:h1[<h1>] O:o:p[<o:p>] O:my-tag[<my-tag>]"},
      {"underscore ends the name", "<a_b>", "O:a[<a_b>]"},
      {"end tag name", "</Br >", "C:br[</Br >]"},
      {"end tag at the end", "</", "T[</]"},
      {"self-closing", "<br/>x", "O:br[<br/>] T[x]"},
      {"NUL bytes pass through", std::string("a\0<b\0>c", 7), std::string("T[a\0] O:b[<b\0>] T[c]", 20)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto toks = HTMLTokenizer::tokenize(c.input);
    EXPECT_EQ(dump(toks), c.want);
    EXPECT_EQ(joined(toks), c.input);
  }
}

TEST(HTMLTokenizer, RoundTripsHostileInput) {
  const std::string kCases[] = {
      std::string(1000, '<'),
      [] { std::string s; for (int i = 0; i < 500; ++i) s += "<a'>'"; return s; }(),
      [] { std::string s; for (int i = 0; i < 500; ++i) s += "<a title=\"x>y"; return s; }(),
      [] { std::string s; for (int i = 0; i < 300; ++i) s += "<script>x<!--"; return s; }(),
      "caf\xC3",            // cut inside a character
      "<p \xFF\xFE>\xC0<",  // invalid bytes everywhere
      "<a href=\"x\"'>'\"<b>",
  };
  for (const auto& input : kCases) {
    SCOPED_TRACE(input.substr(0, 40));
    EXPECT_EQ(joined(HTMLTokenizer::tokenize(input)), input);
  }
}

TEST(HTMLTokenizer, UnclosedQuoteFallbackHoldsAfterEarlierFailures) {
  // After one tag whose quote never closes, later tags still end at the first ">" outside quotes.
  auto toks = HTMLTokenizer::tokenize("<a\">x<b title='x>y'>z<c'>w");
  EXPECT_EQ(dump(toks), "O:a[<a\">] T[x] O:b[<b title='x>y'>] T[z] O:c[<c'>] T[w]");
}

// The tokenizing rules written as plainly as possible, rescans and all, to check the fast
// tokenizer against on small inputs. Its tokens view `s` and the names kept in `names`.
std::vector<HTok> referenceTokenize(const std::string& s, std::deque<std::string>& names) {
  std::vector<HTok> out;
  const std::string_view view(s);
  const size_t n = s.size();
  size_t start = 0, i = 0;
  auto letter = [&](size_t p) { return p < n && std::isalpha(static_cast<unsigned char>(s[p])); };
  auto flush = [&](size_t end) {
    if (end > start) out.push_back({HTok::Kind::text, "", view.substr(start, end - start)});
  };
  auto simpleEnd = [&](size_t from) {
    size_t gt = s.find('>', from);
    return gt == std::string::npos ? n : gt + 1;
  };
  while (i < n) {
    if (s[i] != '<' || i + 1 == n) { ++i; continue; }
    const char c = s[i + 1];
    size_t end;
    if (c == '?' || c == '!') {
      if (c == '!' && i + 3 < n && s[i + 2] == '-' && s[i + 3] == '-') {
        size_t close = i + 4 <= n ? s.find("-->", i + 4) : std::string::npos;
        end = close == std::string::npos ? n : close + 3;
      } else {
        end = simpleEnd(i + 2);
      }
      flush(i);
      out.push_back({HTok::Kind::other, "", view.substr(i, end - i)});
      start = i = end;
      continue;
    }
    const bool open = letter(i + 1);
    if (!open && !(c == '/' && letter(i + 2))) { ++i; continue; }
    char quote = 0;
    end = n + 1;
    for (size_t p = i + 1; p < n && end > n; ++p) {
      if (quote) { if (s[p] == quote) quote = 0; }
      else if (s[p] == '"' || s[p] == '\'') quote = s[p];
      else if (s[p] == '>') end = p + 1;
    }
    if (end > n) end = simpleEnd(i + 1);
    std::string name;
    for (size_t p = i + (open ? 1 : 2); p < end && (std::isalnum(static_cast<unsigned char>(s[p])) || s[p] == ':' || s[p] == '-'); ++p)
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(s[p])));
    flush(i);
    out.push_back({open ? HTok::Kind::open : HTok::Kind::close, names.emplace_back(name), view.substr(i, end - i)});
    start = i = end;
    if (open && HTMLTokenizer::isRawTextElement(name)) {
      size_t contentEnd = n;
      for (size_t p = end; p + name.size() + 2 <= n; ++p) {
        bool match = s[p] == '<' && s[p + 1] == '/';
        for (size_t k = 0; match && k < name.size(); ++k) match = (s[p + 2 + k] | 0x20) == name[k];
        if (match) { contentEnd = p; break; }
      }
      if (contentEnd > end) {
        out.push_back({HTok::Kind::other, "", view.substr(end, contentEnd - end)});
        start = i = contentEnd;
      }
    }
  }
  flush(n);
  return out;
}

TEST(HTMLTokenizer, AgreesWithThePlainRulesOnGeneratedInput) {
  // Alphabet chosen to hit quotes, tag ends, comments and raw-text closers often.
  const std::string kPieces[] = {"<", ">", "a", "/", "\"", "'", " ", "!", "-", "<!--", "-->", "<a",
                                 "</a", "<script>", "</scrip", "t>", "<Title>", "</TITLE", "?", "x="};
  std::mt19937 random(20240611);
  for (int round = 0; round < 20000; ++round) {
    std::string input;
    const int pieces = static_cast<int>(random() % 24);
    for (int k = 0; k < pieces; ++k) input += kPieces[random() % std::size(kPieces)];
    SCOPED_TRACE(input);
    std::deque<std::string> names;
    ASSERT_EQ(dump(HTMLTokenizer::tokenize(input).all()), dump(referenceTokenize(input, names)));
  }
}

TEST(HTMLTokenizer, RoundTripsTheCorpus) {
  QY_SKIP_WITHOUT_CORPUS();
  const std::filesystem::path dir = std::filesystem::path(QY_CORPUS_DIR) / "html";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    SCOPED_TRACE(entry.path().filename().string());
    auto toks = HTMLTokenizer::tokenize(buffer.str());
    EXPECT_EQ(joined(toks), buffer.str());
    for (const HTok& t : toks) {
      EXPECT_FALSE(t.raw.empty());
      EXPECT_EQ(t.name.empty(), t.kind == HTok::Kind::text || t.kind == HTok::Kind::other);
    }
    ++files;
  }
  EXPECT_GT(files, 0);
}

TEST(Entities, DecodesKnownReferencesOnly) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"no ampersand", "plain text", "plain text"},
      {"basic", "&lt;b&gt; &amp; &quot;&apos;", "<b> & \"'"},
      {"numeric forms", "&#65;&#x42;&#X43;&#+68;&#x+45;", "ABCDE"},
      {"nbsp is a plain space", "a&nbsp;b&emsp;c", "a b c"},
      {"invisible names vanish", "a&shy;b&zwj;c&lrm;", "abc"},
      {"accented names", "caf&eacute; &szlig; &check;", "caf\u00E9 \u00DF \u2713"},
      {"NUL accepted", "a&#0;b", std::string("a\0b", 3)},
      {"largest scalar", "&#x10FFFF;", "\U0010FFFF"},
      {"surrogate kept", "&#xD800;", "&#xD800;"},
      {"past the last scalar", "&#x110000;", "&#x110000;"},
      {"past 32 bits", "&#99999999999;", "&#99999999999;"},
      {"empty number", "&#;&#x;&#+;", "&#;&#x;&#+;"},
      {"minus sign", "&#-65;", "&#-65;"},
      {"hex digits in decimal", "&#6A;", "&#6A;"},
      {"unknown name", "&unknown;", "&unknown;"},
      {"names are case-sensitive", "&AMP;&Eacute;", "&AMP;&Eacute;"},
      {"no semicolon", "&amp b", "&amp b"},
      {"bare ampersand", "AT&T", "AT&T"},
      {"empty body", "&;", "&;"},
      {"semicolon 12 after the ampersand is seen", "&#0000000065;", "A"},
      {"semicolon 13 after the ampersand is not", "&#00000000065;", "&#00000000065;"},
      {"ampersand right after an ampersand", "&&amp;", "&&"},
      {"single pass", "&amp;lt;", "&lt;"},
      {"reference at the very end", "x&amp;", "x&"},
      {"ampersand at the very end", "x&", "x&"},
      {"unfinished reference at the end", "x&am", "x&am"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Entities::decode(c.input), c.want);
  }
}

TEST(Entities, TableHasTheSixtyEightNames) {
  EXPECT_EQ(Entities::named().size(), 68u);
  EXPECT_EQ(Entities::named().at("hairsp"), " ");
  EXPECT_EQ(Entities::named().at("rsaquo"), "\u203A");
  EXPECT_EQ(Entities::named().count("apos"), 1u);
  EXPECT_EQ(Entities::named().count("Eacute"), 0u);
}

}  // namespace
}  // namespace qy
