#pragma once

// Just enough JSON for tests to read what the fake engine server reports: objects, arrays, strings (with
// escapes, surrogate pairs included), numbers, true, false, null. Malformed input throws std::runtime_error.

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessarine::test_support {

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;  // UTF-8
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](const std::string& name) const {
    const auto it = fields.find(name);
    if (kind != Kind::Object || it == fields.end()) throw std::runtime_error("JSON: no field " + name);
    return it->second;
  }
  const Json& operator[](size_t index) const {
    if (kind != Kind::Array || index >= items.size()) throw std::runtime_error("JSON: no item");
    return items[index];
  }
  size_t size() const { return kind == Kind::Array ? items.size() : fields.size(); }
  bool IsNull() const { return kind == Kind::Null; }

  static Json Parse(std::string_view input) {
    size_t pos = 0;
    Json value = parseValue(input, pos);
    skipBlanks(input, pos);
    if (pos != input.size()) throw std::runtime_error("JSON: trailing text");
    return value;
  }

 private:
  static void skipBlanks(std::string_view in, size_t& pos) {
    while (pos < in.size() && (in[pos] == ' ' || in[pos] == '\t' || in[pos] == '\n' || in[pos] == '\r')) ++pos;
  }
  static char next(std::string_view in, size_t& pos) {
    skipBlanks(in, pos);
    if (pos >= in.size()) throw std::runtime_error("JSON: unexpected end");
    return in[pos];
  }
  static void expect(std::string_view in, size_t& pos, std::string_view word) {
    if (in.substr(pos, word.size()) != word) throw std::runtime_error("JSON: unexpected text");
    pos += word.size();
  }
  static void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  static uint32_t hex4(std::string_view in, size_t pos) {
    if (pos + 4 > in.size()) throw std::runtime_error("JSON: short escape");
    return static_cast<uint32_t>(std::stoul(std::string(in.substr(pos, 4)), nullptr, 16));
  }
  static std::string parseString(std::string_view in, size_t& pos) {
    ++pos;  // opening quote
    std::string out;
    while (true) {
      if (pos >= in.size()) throw std::runtime_error("JSON: open string");
      const char c = in[pos++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos >= in.size()) throw std::runtime_error("JSON: open escape");
      const char e = in[pos++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          uint32_t cp = hex4(in, pos);
          pos += 4;
          if (cp >= 0xD800 && cp < 0xDC00 && in.substr(pos, 2) == "\\u") {
            const uint32_t low = hex4(in, pos + 2);
            if (low >= 0xDC00 && low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
              pos += 6;
            }
          }
          appendUtf8(out, cp);
          break;
        }
        default:
          out += e;
      }
    }
  }
  static Json parseValue(std::string_view in, size_t& pos) {
    Json value;
    const char c = next(in, pos);
    if (c == '{') {
      value.kind = Kind::Object;
      ++pos;
      if (next(in, pos) == '}') return ++pos, value;
      while (true) {
        if (next(in, pos) != '"') throw std::runtime_error("JSON: field name expected");
        std::string name = parseString(in, pos);
        if (next(in, pos) != ':') throw std::runtime_error("JSON: colon expected");
        ++pos;
        value.fields[name] = parseValue(in, pos);
        const char sep = next(in, pos);
        ++pos;
        if (sep == '}') return value;
        if (sep != ',') throw std::runtime_error("JSON: comma expected");
      }
    }
    if (c == '[') {
      value.kind = Kind::Array;
      ++pos;
      if (next(in, pos) == ']') return ++pos, value;
      while (true) {
        value.items.push_back(parseValue(in, pos));
        const char sep = next(in, pos);
        ++pos;
        if (sep == ']') return value;
        if (sep != ',') throw std::runtime_error("JSON: comma expected");
      }
    }
    if (c == '"') {
      value.kind = Kind::String;
      value.text = parseString(in, pos);
      return value;
    }
    if (c == 't') return expect(in, pos, "true"), value.kind = Kind::Bool, value.boolean = true, value;
    if (c == 'f') return expect(in, pos, "false"), value.kind = Kind::Bool, value;
    if (c == 'n') return expect(in, pos, "null"), value;
    size_t used = 0;
    value.kind = Kind::Number;
    value.number = std::stod(std::string(in.substr(pos, 32)), &used);
    pos += used;
    return value;
  }
};

}  // namespace tessarine::test_support
