// Building the document a host shows for a decoded message.
#include "core/doc/display_document.h"

#include <string_view>

#include "core/base/unicode.h"
#include "core/doc/frame_html.h"
#include "core/mime/mime.h"

namespace qy {
namespace {

std::string contentId(const MIMEPart& part) {
  std::string id(Unicode::trimBlanks(part.field("content-id").value_or("")));
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  return id;
}

// Whether the body names `location` as an attribute value (quoted or not).
bool namesLocation(std::string_view html, const std::string& location) {
  return html.find("\"" + location + "\"") != std::string_view::npos ||
         html.find("'" + location + "'") != std::string_view::npos ||
         html.find("=" + location) != std::string_view::npos;
}

std::string dataURL(const MIMEPart& part, const Bytes& data) {
  Bytes out;
  const std::string prefix = "data:" + part.type() + ";base64,";
  out.assign(prefix.begin(), prefix.end());
  MIME::appendBase64Lines(out, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), "");
  return {out.begin(), out.end()};
}

// The images `html` shows, as data: URLs, in document order until the budget is spent.
InlineImages collectImages(ByteView message, const MIMEPart& root, const MIMEPart& body, std::string_view html,
                           std::vector<const MIMEPart*>& inlined) {
  InlineImages images;
  const std::set<std::string> cited = citedContentIds(html);
  size_t spent = 0;
  for (const MIMEPart* leaf : MIME::leaves(root)) {
    if (leaf == &body || !leaf->type().starts_with("image/")) continue;
    const std::string id = contentId(*leaf);
    const std::string location(Unicode::trimBlanks(leaf->field("content-location").value_or("")));
    const bool byId = !id.empty() && cited.count(id);
    const bool byLocation = !location.empty() && namesLocation(html, location);
    if (!byId && !byLocation) continue;
    const Bytes data = MIME::decodeBody(message, *leaf);
    if (data.size() > kMaxInlineImageBytes - spent) continue;
    spent += data.size();
    const std::string url = dataURL(*leaf, data);
    if (byId) images.byContentId[id] = url;
    if (byLocation) images.byLocation[location] = url;
    inlined.push_back(leaf);
  }
  return images;
}

}  // namespace

DisplayDocument displayDocument(ByteView message, const MIMEPart& root) {
  DisplayDocument out;
  const MIMEPart* body = MIME::findTextPart(root);
  if (!body) return out;
  const bool isHTML = body->type() == "text/html";
  const std::string text = MIME::decodeText(message, *body);
  out.body = body;
  out.hasBody = true;
  out.plain = !isHTML;
  FrameHtml frame = isHTML ? prepareFrameHtml(text, collectImages(message, root, *body, text, out.inlined))
                           : prepareFrameHtml(plainTextDocument(text));
  out.html = std::move(frame.html);
  out.remoteImages = frame.remoteImages;
  return out;
}

DisplayDocument displayDocument(ByteView message) {
  const auto root = MIME::parse(message);
  DisplayDocument out = displayDocument(message, *root);
  out.body = nullptr;
  out.inlined.clear();
  return out;
}

}  // namespace qy
