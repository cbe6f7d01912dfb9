// Throughput of the MIME module on three inputs, against GMime (when built with it) and the
// floors of a bare memchr scan and a single copy of the bytes:
//   (a) a 2 MB HTML newsletter in multipart/alternative with a Base64 body (about 2.8 MB),
//   (b) a 25 MB message with a text/HTML alternative and Base64 attachments,
//   (c) every message of the shared corpus, as one batch.
// Every figure is in MB/s of message bytes; after the runs a table of ratios is printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/mime/mime.h"

#ifdef QY_HAVE_GMIME
#include <gmime/gmime.h>
#endif

namespace {

using qy::Bytes;
using qy::ByteView;
namespace MIME = qy::MIME;

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void append(Bytes& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

std::string base64Lines(std::string_view data) {
  Bytes out;
  MIME::appendBase64Lines(out, data, "\r\n");
  return std::string(out.begin(), out.end());
}

// The corpus HTML bodies repeated to at least `size` bytes.
std::string newsletterHTML(size_t size) {
  std::string html;
  std::vector<std::string> pieces;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(QY_CORPUS_DIR) + "/html")) {
    Bytes b = readFile(entry.path());
    pieces.emplace_back(b.begin(), b.end());
  }
  std::sort(pieces.begin(), pieces.end());
  html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>";
  while (html.size() < size) {
    for (const auto& p : pieces) html += p;
  }
  return html + "</body></html>";
}

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& ch : s) ch = static_cast<char>(rng() & 0xFF);
  return s;
}

const char kHeader[] =
    "Return-Path: <news@example.com>\r\nReceived: from mx.example.com by mail.example.org\r\n"
    "From: Newsletter <news@example.com>\r\nTo: reader@example.org\r\n"
    "Subject: This week in review\r\nDate: Mon, 2 Jun 2025 08:00:00 +0000\r\n"
    "Message-ID: <bench@example.com>\r\nMIME-Version: 1.0\r\n";

std::string alternative(const std::string& boundary, const std::string& html) {
  std::string plain(20'000, ' ');
  for (size_t i = 0; i < plain.size(); i += 72) plain.replace(i, 2, "\r\n");
  return "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: 7bit\r\n\r\n" + plain + "\r\n--" + boundary +
         "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
         base64Lines(html) + "\r\n--" + boundary + "--\r\n";
}

Bytes newsletterMessage() {
  Bytes out;
  append(out, kHeader);
  append(out, "Content-Type: multipart/alternative; boundary=\"=_alt_7f3a\"\r\n\r\n");
  append(out, alternative("=_alt_7f3a", newsletterHTML(2'000'000)));
  return out;
}

Bytes attachmentsMessage() {
  Bytes out;
  append(out, kHeader);
  append(out, "Content-Type: multipart/mixed; boundary=\"mixed-01\"\r\n\r\n");
  append(out, "This is a multi-part message in MIME format.\r\n--mixed-01\r\n");
  append(out, "Content-Type: multipart/alternative; boundary=\"alt-02\"\r\n\r\n");
  append(out, alternative("alt-02", newsletterHTML(150'000)));
  const char* kinds[] = {"application/pdf; name=\"report.pdf\"", "image/jpeg; name=\"photo.jpg\"",
                         "application/zip; name=\"data.zip\""};
  for (uint32_t i = 0; i < 3; ++i) {
    append(out, "\r\n--mixed-01\r\nContent-Type: ");
    append(out, kinds[i]);
    append(out, "\r\nContent-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n");
    append(out, base64Lines(randomBytes(6'000'000, 42 + i)));
  }
  append(out, "\r\n--mixed-01--\r\n");
  return out;
}

std::vector<Bytes> corpusMessages() {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(QY_CORPUS_DIR) + "/eml")) {
    paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Bytes> messages;
  for (const auto& p : paths) messages.push_back(readFile(p));
  return messages;
}

struct Dataset {
  std::string name;
  std::vector<Bytes> messages;
  size_t bytes = 0;
};

std::vector<Dataset>& datasets() {
  static std::vector<Dataset> sets = [] {
    std::vector<Dataset> s;
    s.push_back({"a_newsletter", {newsletterMessage()}});
    s.push_back({"b_attachments", {attachmentsMessage()}});
    s.push_back({"c_corpus", corpusMessages()});
    for (auto& d : s) {
      for (const auto& m : d.messages) d.bytes += m.size();
    }
    return s;
  }();
  return sets;
}

// One message's pipeline pieces, prepared outside the timed loop where a stage needs them.
struct Prepared {
  std::unique_ptr<qy::MIMEPart> root;
  const qy::MIMEPart* part = nullptr;
  Bytes body;
  std::optional<std::string> charset;
  bool isHTML = false;
  std::string text;
};

Prepared prepare(ByteView message) {
  Prepared p;
  p.root = MIME::parse(message);
  p.part = MIME::findTextPart(*p.root);
  if (p.part == nullptr) return p;
  p.body = MIME::decodeBody(message, *p.part);
  auto it = p.part->params().find("charset");
  if (it != p.part->params().end()) p.charset = it->second;
  p.isHTML = p.part->type() == "text/html";
  p.text = MIME::decodeString(p.body, p.charset, p.isHTML);
  return p;
}

std::optional<std::string_view> charsetOf(const Prepared& p) {
  if (!p.charset) return std::nullopt;
  return std::string_view(*p.charset);
}

using Stage = std::function<void(const Dataset&, const std::vector<Prepared>&)>;

void registerStage(const std::string& stage, const Dataset& d, Stage run) {
  benchmark::RegisterBenchmark((stage + "/" + d.name).c_str(), [&d, run](benchmark::State& state) {
    std::vector<Prepared> prepared;
    for (const auto& m : d.messages) prepared.push_back(prepare(m));
    for (auto _ : state) run(d, prepared);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.bytes));
  })->Unit(benchmark::kMillisecond)->MinTime(0.5);
}

#ifdef QY_HAVE_GMIME
struct TextPartSearch {
  GMimeObject* html = nullptr;
  GMimeObject* plain = nullptr;
};

void findGMimeText(GMimeObject*, GMimeObject* part, gpointer data) {
  auto* search = static_cast<TextPartSearch*>(data);
  if (!GMIME_IS_TEXT_PART(part)) return;
  GMimeContentType* type = g_mime_object_get_content_type(part);
  if (search->html == nullptr && g_mime_content_type_is_type(type, "text", "html")) search->html = part;
  if (search->plain == nullptr && g_mime_content_type_is_type(type, "text", "plain")) search->plain = part;
}

enum class GMimeWork { kParse, kDecode, kText };

// Parses one message held in `array` (not copied); kDecode also removes the transfer encoding of
// the text part our code picks (HTML first), kText turns that part into UTF-8 text.
size_t gmimeRun(GByteArray* array, GMimeWork work) {
  GMimeStream* stream = g_mime_stream_mem_new();
  g_mime_stream_mem_set_byte_array(GMIME_STREAM_MEM(stream), array);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  size_t produced = 0;
  if (message != nullptr && work != GMimeWork::kParse) {
    TextPartSearch search;
    g_mime_message_foreach(message, findGMimeText, &search);
    GMimeObject* part = search.html ? search.html : search.plain;
    if (part != nullptr && work == GMimeWork::kText) {
      char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
      produced = text ? std::strlen(text) : 0;
      g_free(text);
    } else if (part != nullptr) {
      GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
      GMimeStream* out = g_mime_stream_mem_new();
      if (content != nullptr) g_mime_data_wrapper_write_to_stream(content, out);
      produced = static_cast<size_t>(g_mime_stream_length(out));
      g_object_unref(out);
    }
  }
  if (message != nullptr) g_object_unref(message);
  g_object_unref(parser);
  g_object_unref(stream);
  return produced;
}

void registerGMime(const std::string& stage, const Dataset& d, GMimeWork work) {
  benchmark::RegisterBenchmark((stage + "/" + d.name).c_str(), [&d, work](benchmark::State& state) {
    std::vector<GByteArray*> arrays;
    for (const auto& m : d.messages) {
      GByteArray* a = g_byte_array_sized_new(static_cast<guint>(m.size()));
      g_byte_array_append(a, m.data(), static_cast<guint>(m.size()));
      arrays.push_back(a);
    }
    for (auto _ : state) {
      for (GByteArray* a : arrays) benchmark::DoNotOptimize(gmimeRun(a, work));
    }
    for (GByteArray* a : arrays) g_byte_array_unref(a);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.bytes));
  })->Unit(benchmark::kMillisecond)->MinTime(0.5);
}
#endif

void registerAll() {
  for (const Dataset& d : datasets()) {
    registerStage("memchr", d, [](const Dataset& set, const std::vector<Prepared>&) {
      size_t lines = 0;
      for (const auto& m : set.messages) {
        const uint8_t* p = m.data();
        const uint8_t* end = p + m.size();
        while (p < end) {
          const void* hit = std::memchr(p, '\n', static_cast<size_t>(end - p));
          if (hit == nullptr) break;
          p = static_cast<const uint8_t*>(hit) + 1;
          ++lines;
        }
      }
      benchmark::DoNotOptimize(lines);
    });
    registerStage("copy", d, [](const Dataset& set, const std::vector<Prepared>&) {
      for (const auto& m : set.messages) {
        Bytes copy(m.begin(), m.end());
        benchmark::DoNotOptimize(copy.data());
      }
    });
    registerStage("parse", d, [](const Dataset& set, const std::vector<Prepared>&) {
      for (const auto& m : set.messages) benchmark::DoNotOptimize(MIME::parse(m).get());
    });
    registerStage("findTextPart", d, [](const Dataset&, const std::vector<Prepared>& prepared) {
      for (const auto& p : prepared) benchmark::DoNotOptimize(MIME::findTextPart(*p.root));
    });
    registerStage("decodeBody", d, [](const Dataset& set, const std::vector<Prepared>& prepared) {
      for (size_t i = 0; i < prepared.size(); ++i) {
        if (prepared[i].part) benchmark::DoNotOptimize(MIME::decodeBody(set.messages[i], *prepared[i].part).data());
      }
    });
    registerStage("decodeString", d, [](const Dataset&, const std::vector<Prepared>& prepared) {
      for (const auto& p : prepared) {
        if (p.part) benchmark::DoNotOptimize(MIME::decodeString(p.body, charsetOf(p), p.isHTML).data());
      }
    });
    registerStage("parse+pick+decode", d, [](const Dataset& set, const std::vector<Prepared>&) {
      for (const auto& m : set.messages) {
        auto root = MIME::parse(m);
        const qy::MIMEPart* part = MIME::findTextPart(*root);
        if (part == nullptr) continue;
        Bytes body = MIME::decodeBody(m, *part);
        auto it = part->params().find("charset");
        std::optional<std::string_view> charset;
        if (it != part->params().end()) charset = it->second;
        benchmark::DoNotOptimize(MIME::decodeString(body, charset, part->type() == "text/html").data());
      }
    });
    registerStage("replacing", d, [](const Dataset& set, const std::vector<Prepared>& prepared) {
      for (size_t i = 0; i < prepared.size(); ++i) {
        const Prepared& p = prepared[i];
        if (p.part == nullptr) continue;
        benchmark::DoNotOptimize(
            MIME::replacing(set.messages[i], *p.part, p.part == p.root.get(), p.text).data());
      }
    });
#ifdef QY_HAVE_GMIME
    registerGMime("gmime_parse", d, GMimeWork::kParse);
    registerGMime("gmime_parse+decode", d, GMimeWork::kDecode);
    registerGMime("gmime_parse+text", d, GMimeWork::kText);
#endif
  }
}

// Records each run's CPU time per iteration so that ratios can be printed after the table (CPU
// time, because the machine is shared and wall time swings with its load).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred) seconds[run.benchmark_name()] = run.GetAdjustedCPUTime() / 1e3;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

void printRatios(const std::map<std::string, double>& seconds) {
  auto get = [&](const std::string& stage, const std::string& set) -> double {
    for (const auto& [name, s] : seconds) {
      if (name.starts_with(stage + "/" + set)) return s;
    }
    return 0;
  };
  std::printf("\n%-16s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "MB/s (CPU)", "memchr", "parse",
              "gm_parse", "pipeline", "gm_p+dec", "gm_p+text", "decBody", "decStr", "replacing");
  for (const Dataset& d : datasets()) {
    const double mb = static_cast<double>(d.bytes) / 1e6;
    auto rate = [&](const char* stage) {
      double s = get(stage, d.name);
      return s > 0 ? mb / s : 0.0;
    };
    std::printf("%-16s %9.0f %9.0f %9.0f %9.0f %9.0f %9.0f %9.0f %9.0f %9.0f\n", d.name.c_str(),
                rate("memchr"), rate("parse"), rate("gmime_parse"), rate("parse+pick+decode"),
                rate("gmime_parse+decode"), rate("gmime_parse+text"), rate("decodeBody"),
                rate("decodeString"), rate("replacing"));
  }
  std::printf("\npipeline = parse + findTextPart + decodeBody + decodeString; gm_p+dec = GMime parse +\n"
              "transfer decoding of the same part; gm_p+text = GMime parse + the part as UTF-8 text.\n");
  std::printf("\nRatios (CPU time / reference CPU time):\n");
  for (const Dataset& d : datasets()) {
    const double parse = get("parse", d.name), gmParse = get("gmime_parse", d.name);
    const double pipeline = get("parse+pick+decode", d.name);
    const double gmDecode = get("gmime_parse+decode", d.name);
    const double rebuild = get("replacing", d.name), copy = get("copy", d.name);
    const double scan = get("memchr", d.name);
    std::printf("  %-14s parse/gmime_parse %.2f   pipeline/gmime_parse+decode %.2f   "
                "replacing/copy %.2f   parse/memchr %.2f\n",
                d.name.c_str(), gmParse > 0 ? parse / gmParse : 0.0,
                gmDecode > 0 ? pipeline / gmDecode : 0.0, copy > 0 ? rebuild / copy : 0.0,
                scan > 0 ? parse / scan : 0.0);
  }
  std::printf("Targets: (a) pipeline/gmime_parse+decode <= 1; (a),(b) parse/gmime_parse <= 2; "
              "(b) replacing/copy <= 4.\n");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QY_HAVE_GMIME
  g_mime_init();
#endif
  benchmark::Initialize(&argc, argv);
  for (const Dataset& d : datasets()) {
    std::printf("dataset %s: %zu message(s), %.2f MB\n", d.name.c_str(), d.messages.size(),
                static_cast<double>(d.bytes) / 1e6);
  }
  registerAll();
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter.seconds);
  benchmark::Shutdown();
#ifdef QY_HAVE_GMIME
  g_mime_shutdown();
#endif
  return 0;
}
