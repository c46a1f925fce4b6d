// A small JSON writer for the tool's --json output: objects, arrays, strings,
// integers and numbers, written in one pass into a string.
//
// Paths and tokens are byte strings that need not be UTF-8. Valid UTF-8 is
// written as it is; every byte that is not part of a valid sequence is
// written as the lone surrogate \udcXX (XX its value), the convention of
// Python's "surrogateescape": json.loads followed by os.fsencode gives the
// original bytes back, and other parsers read such a byte as U+FFFD.
#ifndef VELKOR_TOOLS_JSON_H_
#define VELKOR_TOOLS_JSON_H_

#include <cstdint>
#include <string>
#include <vector>

namespace velkor_tool {

class json_writer {
 public:
  json_writer& begin_object();
  json_writer& end_object();
  json_writer& begin_array();
  json_writer& end_array();
  // The name of the next member of the enclosing object.
  json_writer& key(const std::string& name);
  json_writer& value(const std::string& text);
  json_writer& value(const char* text) { return value(std::string(text)); }
  json_writer& value(int64_t number);
  json_writer& value(double number);
  json_writer& null();

  // The document, with a final newline.
  std::string text() const { return out_ + "\n"; }

 private:
  void separate();

  std::string out_;
  // One entry per open object or array: whether it has a member already.
  std::vector<bool> has_member_;
  bool after_key_ = false;
};

// `bytes` as a quoted JSON string.
std::string json_quote(const std::string& bytes);

}  // namespace velkor_tool

#endif  // VELKOR_TOOLS_JSON_H_
