#include "io/text_input.h"

namespace tl::ctl {
namespace {

void PutUtf8(uint32_t cp, std::vector<uint8_t>* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<uint8_t>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<uint8_t>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

const char* TextDecoder::encoding_name() const {
  switch (encoding_) {
    case Encoding::kUtf8Bom:
      return "UTF-8 with a byte order mark";
    case Encoding::kUtf16Le:
      return "UTF-16LE";
    case Encoding::kUtf16Be:
      return "UTF-16BE";
    case Encoding::kUnknown:
    case Encoding::kUtf8:
      break;
  }
  return "UTF-8";
}

void TextDecoder::Unit(char16_t u, std::vector<uint8_t>* out) {
  if (high_ != 0) {
    const char16_t high = high_;
    high_ = 0;
    if (u >= 0xDC00 && u <= 0xDFFF) {
      PutUtf8(0x10000 + ((uint32_t{high} - 0xD800) << 10) + (u - 0xDC00u), out);
      return;
    }
    PutUtf8(kReplacement, out);
  }
  if (u >= 0xD800 && u <= 0xDBFF) {
    high_ = u;
  } else if (u >= 0xDC00 && u <= 0xDFFF) {
    PutUtf8(kReplacement, out);
  } else {
    PutUtf8(u, out);
  }
}

void TextDecoder::Feed(const uint8_t* data, size_t len, std::vector<uint8_t>* out) {
  size_t at = 0;
  // The first bytes decide the encoding: up to three are held until they do.
  while (encoding_ == Encoding::kUnknown && at < len) {
    pending_[pending_len_++] = data[at++];
    const uint8_t* p = pending_;
    if (pending_len_ >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      encoding_ = Encoding::kUtf16Le;
    } else if (pending_len_ >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
      encoding_ = Encoding::kUtf16Be;
    } else if (pending_len_ == 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
      encoding_ = Encoding::kUtf8Bom;
    } else if (!(p[0] == 0xFF || p[0] == 0xFE || p[0] == 0xEF) ||
               (pending_len_ >= 2 && p[0] == 0xEF && p[1] != 0xBB) || pending_len_ == 3) {
      // No byte order mark: the held bytes are the text's first.
      encoding_ = Encoding::kUtf8;
      out->insert(out->end(), pending_, pending_ + pending_len_);
    } else {
      continue;
    }
    pending_len_ = 0;
  }
  if (encoding_ == Encoding::kUtf8 || encoding_ == Encoding::kUtf8Bom) {
    out->insert(out->end(), data + at, data + len);
    return;
  }
  if (encoding_ == Encoding::kUnknown) return;
  const bool le = encoding_ == Encoding::kUtf16Le;
  out->reserve(out->size() + (len - at) / 2 + 4);
  for (; at < len; ++at) {
    pending_[pending_len_++] = data[at];
    if (pending_len_ < 2) continue;
    pending_len_ = 0;
    Unit(static_cast<char16_t>(le ? pending_[0] | (pending_[1] << 8)
                                  : (pending_[0] << 8) | pending_[1]),
         out);
  }
}

void TextDecoder::Finish(std::vector<uint8_t>* out) {
  if (encoding_ == Encoding::kUnknown) {
    // Fewer than three bytes, all of them possible starts of a mark: text.
    encoding_ = Encoding::kUtf8;
    out->insert(out->end(), pending_, pending_ + pending_len_);
  } else if (pending_len_ != 0 || high_ != 0) {
    PutUtf8(kReplacement, out);
  }
  pending_len_ = 0;
  high_ = 0;
}

}  // namespace tl::ctl
