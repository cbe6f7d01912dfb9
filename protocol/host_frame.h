// The host protocol's framing: a 4-byte unsigned length in little-endian order, then that many
// bytes of one UTF-8 JSON object. Shared by the service, its clients and the native host.
//
// encodeFrame() writes a frame; FrameReader cuts frames out of a byte stream as it arrives, in
// pieces of any size. Frames up to kMaxFrameSize are read; a larger length, or a body that is not
// one JSON object, ends the stream with an error (the connection is closed after answering it).
// A body is exactly one JSON text: a NUL byte anywhere in it (which would end the JSON parser's
// input early, leaving what follows unread) is refused, as is one holding more than
// kMaxFrameValues values (no request has a thousand; tiny values would make a 64 MiB frame
// gigabytes of parsed objects).
//
// Large Base64 fields (message bytes) skip the JSON writer's escaping: encodeFrame() takes them
// as raw fields spliced into the text, since Base64 text never needs escaping.
//
// Threads: the functions are pure; a FrameReader belongs to one reader at a time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qy::protocol {

// The largest frame body read or written: a message of a few tens of megabytes in Base64.
inline constexpr size_t kMaxFrameSize = size_t{64} << 20;
// The deepest nesting of arrays and objects a frame may hold. No request needs more than a few
// levels; a limit keeps hostile frames from exhausting the stack of the recursive JSON writer
// that echoes an "id".
inline constexpr size_t kMaxFrameDepth = 128;
// Requests of one connection answered at once at most; a further request is read when one ends.
inline constexpr size_t kMaxRequestsInFlight = 32;
// The most JSON values (numbers, strings, literals, arrays, objects) a frame may hold.
inline constexpr size_t kMaxFrameValues = size_t{1} << 17;
// Bytes of the length prefix.
inline constexpr size_t kFrameHeaderSize = 4;

// A field whose text is written as it is at `path` inside the object (each element an object
// key; the last names the field): between quotes as a string, whose text must need no JSON
// escaping (Base64 qualifies), or, with `isJSON`, as the JSON text of a value (which must be
// valid JSON, as a JSON writer wrote it).
struct RawField {
  std::vector<std::string> path;
  std::string_view text;
  bool isJSON = false;
};

// The frame of `object` (invalid UTF-8 in its strings replaced by U+FFFD), with `raw` fields set
// at their paths (which must lead through objects of `object`; a field there already is
// replaced).
std::string encodeFrame(const nlohmann::json& object, const std::vector<RawField>& raw = {});

// Whether `text` is printable ASCII without '"' or '\\': a JSON string's text as it stands (Base64
// is). Checks eight bytes at a time: message-sized texts pass through it.
bool needsNoEscaping(std::string_view text);

// The 4-byte length prefix of a body of `size` bytes.
std::string frameHeader(size_t size);

class FrameReader {
 public:
  // One frame: a JSON object, or the error that ended the stream.
  struct Frame {
    nlohmann::json object;  // an object when `error` is empty
    std::string error;
  };

  // Appends bytes received.
  void feed(std::string_view bytes);
  // The next complete frame; nothing while its bytes have not all arrived. After an error frame
  // the reader yields nothing more.
  std::optional<Frame> next();
  // The next complete frame's body, not yet parsed (parseFrameBody() reads it), so that a server
  // can parse it elsewhere than where it reads; or a Frame with the error of a length over the
  // limit. Nothing while its bytes have not all arrived.
  struct Body {
    std::string text;
    std::string error;  // the length was over the limit; the stream has ended
  };
  std::optional<Body> nextBody();
  // The size, prefix included, of the frame whose bytes are arriving; 0 when none has begun (or
  // its prefix is incomplete).
  size_t frameInProgress() const;
  // Whether an error has ended the stream.
  bool failed() const { return failed_; }
  // Bytes received and not yet returned as frames.
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;  // where the next frame begins in buffer_
  bool failed_ = false;
};

// Parses one frame body: a JSON object, or an error text.
FrameReader::Frame parseFrameBody(std::string_view body);

// The one way a request's (or an answer's) field is read: its value as `T` (std::string, bool,
// int64_t: an integer that fits, double: a finite number, nlohmann::json: any value) when
// `object` is an object holding `name` with a value of that type; nothing when it is absent or of
// another type, null included. Never throws, so a wrong type becomes an error answer.
template <typename T>
std::optional<T> field(const nlohmann::json& object, std::string_view name) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(name);
  if (it == object.end()) return std::nullopt;
  const nlohmann::json& value = *it;
  if constexpr (std::is_same_v<T, std::string>) {
    if (value.is_string()) return value.get_ref<const std::string&>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (value.is_boolean()) return value.get<bool>();
  } else if constexpr (std::is_same_v<T, int64_t>) {
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > uint64_t{std::numeric_limits<int64_t>::max()}) {
      return std::nullopt;
    }
    if (value.is_number_integer()) return value.get<int64_t>();
  } else if constexpr (std::is_same_v<T, double>) {
    if (value.is_number() && std::isfinite(value.get<double>())) return value.get<double>();
  } else {
    static_assert(std::is_same_v<T, nlohmann::json>, "a field is text, a flag, a number or JSON");
    if (!value.is_null()) return value;
  }
  return std::nullopt;
}

}  // namespace qy::protocol
