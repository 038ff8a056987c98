#include "sim/json_syntax.h"

#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace sim {
namespace {

using Json = nlohmann::json;

// The simulated machine's formats nest a few levels deep; anything much
// deeper is refused before a document is built from it.
constexpr std::size_t kMaxNesting = 32;

// A first pass over the text that reports where the JSON is broken and
// catches repeated keys, which a document would silently collapse to one.
class SyntaxChecker : public nlohmann::json_sax<Json> {
 public:
  const std::string& error() const { return error_; }

  bool null() override { return ValueDone(); }
  bool boolean(bool) override { return ValueDone(); }
  bool number_integer(number_integer_t) override { return ValueDone(); }
  bool number_unsigned(number_unsigned_t) override { return ValueDone(); }
  bool number_float(number_float_t, const string_t&) override { return ValueDone(); }
  bool string(string_t&) override { return ValueDone(); }
  bool binary(binary_t&) override { return ValueDone(); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& name) override {
    Frame& top = frames_.back();
    if (!top.keys.insert(name).second) {
      error_ = At(PathOf(frames_.size() - 1), "duplicate field " + Quoted(name));
      return false;
    }
    top.key = name;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const Json::exception& ex) override {
    std::string what = ex.what();
    const std::size_t tag_end = what.find("] ");
    if (tag_end != std::string::npos) what.erase(0, tag_end + 2);
    error_ = "not valid JSON: " + what;
    return false;
  }

 private:
  struct Frame {
    bool is_object = false;
    std::set<std::string> keys;
    std::string key;
    std::size_t index = 0;
  };

  bool Open(bool is_object) {
    if (frames_.size() >= kMaxNesting) {
      error_ = At(PathOf(frames_.size()), "nested too deeply");
      return false;
    }
    frames_.push_back(Frame{is_object, {}, {}, 0});
    return true;
  }

  bool Close() {
    frames_.pop_back();
    return ValueDone();
  }

  bool ValueDone() {
    if (!frames_.empty() && !frames_.back().is_object) ++frames_.back().index;
    return true;
  }

  // The path of the value being read inside the first `depth` frames.
  std::string PathOf(std::size_t depth) const {
    std::string path;
    for (std::size_t i = 0; i < depth; ++i) {
      path = frames_[i].is_object ? Member(path, frames_[i].key) : Element(path, frames_[i].index);
    }
    return path;
  }

  std::vector<Frame> frames_;
  std::string error_;
};

}  // namespace

std::string Member(const std::string& path, std::string_view key) {
  std::string result = path;
  if (!result.empty()) result += '.';
  result += key;
  return result;
}

std::string Element(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::string At(const std::string& path, const std::string& message) {
  return path.empty() ? message : path + ": " + message;
}

// Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about a
// literal added to a temporary string.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

// The error is printed as one line: the names it quotes come from the file
// and may hold any character.
std::string OneLine(const std::string& error) {
  std::string line;
  for (const char c : error) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      constexpr char kHex[] = "0123456789abcdef";
      line += "\\u00";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    } else {
      line += c;
    }
  }
  return line;
}

std::string CheckJsonSyntax(std::string_view text) {
  SyntaxChecker checker;
  if (Json::sax_parse(text.begin(), text.end(), &checker)) return "";
  return checker.error().empty() ? "not valid JSON" : OneLine(checker.error());
}

}  // namespace sim
