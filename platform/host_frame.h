// The host protocol's framing: a 4-byte unsigned length in little-endian order, then that many
// bytes of one UTF-8 JSON object. Shared by the service, its clients and the native host.
//
// encodeFrame() writes a frame; FrameReader cuts frames out of a byte stream as it arrives, in
// pieces of any size. Frames up to kMaxFrameSize are read; a larger length, or a body that is not
// one JSON object, ends the stream with an error (the connection is closed after answering it).
//
// Large Base64 fields (message bytes) skip the JSON writer's escaping: encodeFrame() takes them
// as raw fields spliced into the text, since Base64 text never needs escaping.
//
// Threads: the functions are pure; a FrameReader belongs to one reader at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qy::platform {

// The largest frame body read or written: a message of a few tens of megabytes in Base64.
inline constexpr size_t kMaxFrameSize = size_t{64} << 20;
// The deepest nesting of arrays and objects a frame may hold. No request needs more than a few
// levels; a limit keeps hostile frames from exhausting the stack of the recursive JSON writer
// that echoes an "id".
inline constexpr size_t kMaxFrameDepth = 128;
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

}  // namespace qy::platform
