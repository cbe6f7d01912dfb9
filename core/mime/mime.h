// The MIME module in one include: parsing a message into parts (mime_parser.h, mime_part.h),
// choosing and decoding the text body (mime_decode.h, mime_charset.h) and rebuilding the message
// around a new HTML body (mime_rebuild.h); which bodies must never be rewritten (mime_security.h).
#pragma once

#include "core/mime/mime_charset.h"
#include "core/mime/mime_decode.h"
#include "core/mime/mime_parser.h"
#include "core/mime/mime_part.h"
#include "core/mime/mime_rebuild.h"
#include "core/mime/mime_security.h"
