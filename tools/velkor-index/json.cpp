#include "json.h"

#include <cmath>
#include <cstdio>

namespace velkor_tool {

namespace {

void append_escape(std::string& out, unsigned value) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\u%04x", value);
  out += hex;
}

// The length of the valid UTF-8 sequence at text[i], or 0. Overlong forms,
// surrogates and code points above U+10FFFF are not valid.
std::size_t utf8_sequence(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  unsigned min_second = 0x80, max_second = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) min_second = 0xA0;
    if (lead == 0xED) max_second = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) min_second = 0x90;
    if (lead == 0xF4) max_second = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < min_second || byte(i + 1) > max_second) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string json_quote(const std::string& bytes) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8_sequence(bytes, i);
      if (length == 0) {
        append_escape(out, 0xDC00 + c);
        ++i;
      } else {
        out.append(bytes, i, length);
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          append_escape(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

void json_writer::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_member_.empty()) {
    if (has_member_.back()) out_ += ", ";
    has_member_.back() = true;
  }
}

json_writer& json_writer::begin_object() {
  separate();
  out_ += '{';
  has_member_.push_back(false);
  return *this;
}

json_writer& json_writer::end_object() {
  out_ += '}';
  has_member_.pop_back();
  return *this;
}

json_writer& json_writer::begin_array() {
  separate();
  out_ += '[';
  has_member_.push_back(false);
  return *this;
}

json_writer& json_writer::end_array() {
  out_ += ']';
  has_member_.pop_back();
  return *this;
}

json_writer& json_writer::key(const std::string& name) {
  separate();
  out_ += json_quote(name) + ": ";
  after_key_ = true;
  return *this;
}

json_writer& json_writer::value(const std::string& text) {
  separate();
  out_ += json_quote(text);
  return *this;
}

json_writer& json_writer::value(int64_t number) {
  separate();
  out_ += std::to_string(number);
  return *this;
}

json_writer& json_writer::value(double number) {
  // JSON has no infinities or NaN; scores are finite, this is a guard.
  if (!std::isfinite(number)) return null();
  separate();
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", number);
  out_ += text;
  return *this;
}

json_writer& json_writer::null() {
  separate();
  out_ += "null";
  return *this;
}

}  // namespace velkor_tool
