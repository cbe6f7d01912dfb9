// Frames of the host protocol: writing, and cutting them out of a byte stream.
#include "protocol/host_frame.h"

#include <algorithm>
#include <cstring>

namespace qy::protocol {
namespace {

using nlohmann::json;

// Marks where a raw field goes. The control characters are written escaped ("\u0001"), so the
// marker's text in the output cannot be confused with a raw field's own Base64 text.
std::string marker(size_t index) { return "\x01qy-raw-" + std::to_string(index) + "\x01"; }
std::string markerText(size_t index) {
  return "\"\\u0001qy-raw-" + std::to_string(index) + "\\u0001\"";
}

// Sets `value` at `path`; false when the path does not lead through objects.
bool setAt(json& object, const std::vector<std::string>& path, json value) {
  if (path.empty()) return false;
  json* at = &object;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    if (!at->is_object()) return false;
    at = &(*at)[path[i]];
  }
  if (!at->is_object()) return false;
  (*at)[path.back()] = std::move(value);
  return true;
}

std::string dumpText(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Whether every byte is in [0x20, 0x7f], eight at a time: a byte below 0x20 borrows into its
// high bit when 0x20 is subtracted from it, and a byte of 0x80 or more has it set already.
bool printableASCII(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  uint64_t bad = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    bad |= (word | ((word - kOnes * 0x20) & ~word)) & kHigh;
  }
  for (; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bad |= (c < 0x20 || c >= 0x80) ? kHigh : 0;
  }
  return bad == 0;
}

// What one pass over a frame's text finds: its deepest nesting of arrays and objects, and the
// long string values of plain printable ASCII (Base64 message bytes), which the JSON parser
// would otherwise read character by character.
struct Survey {
  size_t depth = 0;
  size_t values = 0;  // a bound on the values: one per value's start and per separator
  std::vector<std::pair<size_t, size_t>> longStrings;  // [begin, end) of each one's text
};

// Strings at least this long, without escapes or non-ASCII bytes, are cut out before parsing.
constexpr size_t kLongString = 4096;

Survey survey(std::string_view text, size_t depthLimit) {
  Survey found;
  size_t depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ',' || c == ':') ++found.values;
    if (c == '"') {
      const size_t begin = i + 1;
      // The string ends at the next quote unless a backslash comes first; strings of message
      // bytes have none, so look for both with memchr and check the span in one sweep.
      const char* start = text.data() + begin;
      const size_t rest = text.size() - begin;
      const void* quote = std::memchr(start, '"', rest);
      size_t j = quote ? static_cast<size_t>(static_cast<const char*>(quote) - text.data())
                       : text.size();
      bool plain = std::memchr(start, '\\', j - begin) == nullptr;
      if (!plain) {  // escapes: walk the string character by character
        for (j = begin; j < text.size() && text[j] != '"'; ++j) {
          if (text[j] == '\\') ++j;
        }
      } else if (j - begin >= kLongString) {
        plain = printableASCII(text.substr(begin, j - begin));
      }
      if (plain && j < text.size() && j - begin >= kLongString) {
        size_t next = text.find_first_not_of(" \t\r\n", j + 1);
        if (next == std::string_view::npos || text[next] != ':') {  // a value, not a key
          found.longStrings.emplace_back(begin, j);
        }
      }
      i = j;
    } else if (c == '[' || c == '{') {
      ++found.values;
      if (++depth > found.depth && (found.depth = depth) > depthLimit) return found;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return found;
}

// The placeholder of long string `index`: it parses to a string starting with NUL.
std::string placeholder(size_t index) { return "\\u0000qy" + std::to_string(index); }

// Puts the long strings back in place of their placeholders (the nesting is bounded).
void restore(json& value, std::string_view text, const std::vector<std::pair<size_t, size_t>>& cuts,
             size_t& restored) {
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    if (s.size() > 3 && s[0] == '\0' && s.compare(1, 2, "qy") == 0) {
      size_t index = std::stoul(s.substr(3));
      if (index < cuts.size()) {
        value = std::string(text.substr(cuts[index].first, cuts[index].second - cuts[index].first));
        ++restored;
      }
    }
  } else if (value.is_structured()) {
    for (auto& element : value) restore(element, text, cuts, restored);
  }
}

}  // namespace

bool needsNoEscaping(std::string_view text) {
  return printableASCII(text) && std::memchr(text.data(), '"', text.size()) == nullptr &&
         std::memchr(text.data(), '\\', text.size()) == nullptr;
}

std::string frameHeader(size_t size) {
  std::string header(kFrameHeaderSize, '\0');
  for (size_t i = 0; i < kFrameHeaderSize; ++i) {
    header[i] = static_cast<char>((size >> (8 * i)) & 0xff);
  }
  return header;
}

std::string encodeFrame(const json& object, const std::vector<RawField>& raw) {
  if (raw.empty()) {
    std::string body = dumpText(object);
    return frameHeader(body.size()) + body;
  }
  json marked = object;
  for (size_t i = 0; i < raw.size(); ++i) setAt(marked, raw[i].path, marker(i));
  std::string text = dumpText(marked);

  // Find each marker once; a marker's text seen twice (a string of the object that happens to
  // hold it) falls back to writing the fields through the JSON writer.
  std::vector<std::pair<size_t, size_t>> spans;  // [at, length) of marker i
  bool clean = true;
  for (size_t i = 0; i < raw.size() && clean; ++i) {
    std::string m = markerText(i);
    size_t at = text.find(m);
    clean = at != std::string::npos && text.find(m, at + 1) == std::string::npos;
    spans.emplace_back(at, m.size());
  }
  if (!clean) {
    json full = object;
    for (const RawField& field : raw) {
      setAt(full, field.path,
            field.isJSON ? json::parse(field.text, nullptr, false) : json(std::string(field.text)));
    }
    std::string body = dumpText(full);
    return frameHeader(body.size()) + body;
  }

  std::vector<size_t> order(raw.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return spans[a].first < spans[b].first; });
  size_t size = text.size();
  for (size_t i = 0; i < raw.size(); ++i) {
    size = size - spans[i].second + raw[i].text.size() + (raw[i].isJSON ? 0 : 2);
  }
  std::string frame = frameHeader(size);
  frame.reserve(kFrameHeaderSize + size);
  size_t from = 0;
  for (size_t i : order) {
    frame.append(text, from, spans[i].first - from);
    if (!raw[i].isJSON) frame += '"';
    frame.append(raw[i].text);
    if (!raw[i].isJSON) frame += '"';
    from = spans[i].first + spans[i].second;
  }
  frame.append(text, from, std::string::npos);
  return frame;
}

FrameReader::Frame parseFrameBody(std::string_view body) {
  // The JSON parser takes a NUL for the end of its input and would not look past it.
  if (std::memchr(body.data(), '\0', body.size()) != nullptr) {
    return {nullptr, "frame is not valid UTF-8 JSON (it holds a NUL byte)"};
  }
  Survey found = survey(body, kMaxFrameDepth);
  if (found.depth > kMaxFrameDepth) {
    return {nullptr, "frame nested deeper than " + std::to_string(kMaxFrameDepth) + " levels"};
  }
  if (found.values > kMaxFrameValues) {
    return {nullptr, "frame holds more than " + std::to_string(kMaxFrameValues) + " JSON values"};
  }
  // Cut the long strings out, unless the text already holds an escaped NUL that a placeholder
  // could be confused with.
  std::string cutText;
  std::string_view parsed = body;
  bool cut = !found.longStrings.empty() && body.find("\\u0000") == std::string_view::npos;
  if (cut) {
    size_t from = 0;
    for (size_t i = 0; i < found.longStrings.size(); ++i) {
      cutText.append(body, from, found.longStrings[i].first - from);
      cutText += placeholder(i);
      from = found.longStrings[i].second;
    }
    cutText.append(body, from, std::string_view::npos);
    parsed = cutText;
  }
  json value = json::parse(parsed.begin(), parsed.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return {nullptr, "frame is not valid UTF-8 JSON"};
  if (!value.is_object()) return {nullptr, "frame is not a JSON object"};
  if (cut) {
    size_t restored = 0;
    restore(value, body, found.longStrings, restored);
    if (restored != found.longStrings.size()) {  // a duplicate key dropped one: read it plainly
      value = json::parse(body.begin(), body.end(), nullptr, false);
      if (value.is_discarded() || !value.is_object()) return {nullptr, "frame is not valid UTF-8 JSON"};
    }
  }
  return {std::move(value), {}};
}

void FrameReader::feed(std::string_view bytes) {
  if (failed_) return;
  // Drop what earlier frames used before growing, so a long stream keeps a small buffer.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<FrameReader::Body> FrameReader::nextBody() {
  if (failed_ || buffered() < kFrameHeaderSize) return std::nullopt;
  size_t size = 0;
  for (size_t i = 0; i < kFrameHeaderSize; ++i) {
    size |= size_t{static_cast<unsigned char>(buffer_[start_ + i])} << (8 * i);
  }
  if (size > kMaxFrameSize) {
    failed_ = true;
    buffer_.clear();
    start_ = 0;
    return Body{{}, "frame of " + std::to_string(size) + " bytes is over the limit of " +
                        std::to_string(kMaxFrameSize) + " bytes"};
  }
  if (buffered() < kFrameHeaderSize + size) {
    // Room for the whole frame at once: a large one arrives in many pieces.
    buffer_.reserve(start_ + kFrameHeaderSize + size);
    return std::nullopt;
  }
  Body body;
  if (start_ + kFrameHeaderSize + size == buffer_.size()) {
    // Nothing after it: the buffer becomes the body, without a copy of a large frame.
    body.text = std::move(buffer_);
    body.text.erase(0, start_ + kFrameHeaderSize);
    buffer_ = std::string();
    start_ = 0;
  } else {
    body.text = buffer_.substr(start_ + kFrameHeaderSize, size);
    start_ += kFrameHeaderSize + size;
  }
  return body;
}

size_t FrameReader::frameInProgress() const {
  if (failed_ || buffered() < kFrameHeaderSize) return 0;
  size_t size = 0;
  for (size_t i = 0; i < kFrameHeaderSize; ++i) {
    size |= size_t{static_cast<unsigned char>(buffer_[start_ + i])} << (8 * i);
  }
  return kFrameHeaderSize + size;
}

std::optional<FrameReader::Frame> FrameReader::next() {
  auto body = nextBody();
  if (!body) return std::nullopt;
  if (!body->error.empty()) return Frame{nullptr, std::move(body->error)};
  Frame frame = parseFrameBody(body->text);
  if (!frame.error.empty()) {
    failed_ = true;
    buffer_.clear();
    start_ = 0;
  }
  return frame;
}

}  // namespace qy::protocol
