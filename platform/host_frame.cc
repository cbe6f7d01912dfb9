// Frames of the host protocol: writing, and cutting them out of a byte stream.
#include "platform/host_frame.h"

#include <algorithm>
#include <cstring>

namespace qy::platform {
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

// The deepest nesting of arrays and objects in JSON text (strings skipped), stopping early once
// past `limit`.
size_t nestingDepth(std::string_view text, size_t limit) {
  size_t depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest && (deepest = depth) > limit) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

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
  if (nestingDepth(body, kMaxFrameDepth) > kMaxFrameDepth) {
    return {nullptr, "frame nested deeper than " + std::to_string(kMaxFrameDepth) + " levels"};
  }
  json value = json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return {nullptr, "frame is not valid UTF-8 JSON"};
  if (!value.is_object()) return {nullptr, "frame is not a JSON object"};
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

std::optional<FrameReader::Frame> FrameReader::next() {
  if (failed_ || buffered() < kFrameHeaderSize) return std::nullopt;
  size_t size = 0;
  for (size_t i = 0; i < kFrameHeaderSize; ++i) {
    size |= size_t{static_cast<unsigned char>(buffer_[start_ + i])} << (8 * i);
  }
  if (size > kMaxFrameSize) {
    failed_ = true;
    buffer_.clear();
    start_ = 0;
    return Frame{nullptr, "frame of " + std::to_string(size) + " bytes is over the limit of " +
                              std::to_string(kMaxFrameSize) + " bytes"};
  }
  if (buffered() < kFrameHeaderSize + size) return std::nullopt;
  Frame frame =
      parseFrameBody(std::string_view(buffer_).substr(start_ + kFrameHeaderSize, size));
  start_ += kFrameHeaderSize + size;
  if (!frame.error.empty()) {
    failed_ = true;
    buffer_.clear();
    start_ = 0;
  }
  return frame;
}

}  // namespace qy::platform
