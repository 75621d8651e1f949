// A small JSON reader for the benchmark records the tests replay: objects, arrays, strings
// (with the escapes the records use), numbers, true, false and null.
#pragma once

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tw::json {

struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> fields;

  const Value& operator[](const std::string& key) const {
    const auto it = fields.find(key);
    if (kind != Kind::Object || it == fields.end()) throw std::runtime_error("no field " + key);
    return it->second;
  }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  Value document() {
    Value v = value();
    space();
    if (i_ != s_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON at byte " + std::to_string(i_) + ": " + what);
  }
  void space() {
    while (i_ < s_.size() && std::strchr(" \n\r\t", s_[i_]) != nullptr && s_[i_] != '\0') ++i_;
  }
  bool take(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }
  bool word(const char* w) {
    const std::string t(w);
    if (s_.compare(i_, t.size(), t) != 0) return false;
    i_ += t.size();
    return true;
  }

  std::string string() {
    expect('"');
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c == '\\') {
        if (i_ >= s_.size()) fail("unterminated escape");
        c = s_[i_++];
        switch (c) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case '"': case '\\': case '/': break;
          default: fail("unsupported escape");
        }
      }
      out += c;
    }
    if (i_ >= s_.size()) fail("unterminated string");
    ++i_;
    return out;
  }

  Value value() {
    space();
    if (i_ >= s_.size()) fail("unexpected end");
    Value v;
    const char c = s_[i_];
    if (c == '{') {
      ++i_;
      v.kind = Value::Kind::Object;
      if (take('}')) return v;
      do {
        space();
        std::string key = string();
        expect(':');
        v.fields[key] = value();
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      ++i_;
      v.kind = Value::Kind::Array;
      if (take(']')) return v;
      do v.items.push_back(value());
      while (take(','));
      expect(']');
    } else if (c == '"') {
      v.kind = Value::Kind::String;
      v.text = string();
    } else if (word("true") || word("false")) {
      v.kind = Value::Kind::Bool;
      v.boolean = s_[i_ - 1] == 'e' && s_[i_ - 2] == 'u';
    } else if (word("null")) {
    } else {
      const char* start = s_.c_str() + i_;
      char* end = nullptr;
      v.kind = Value::Kind::Number;
      v.number = std::strtod(start, &end);
      if (end == start) fail("not a value");
      i_ += static_cast<size_t>(end - start);
    }
    return v;
  }

  const std::string& s_;
  size_t i_ = 0;
};

inline Value parse(const std::string& text) { return Parser(text).document(); }

}  // namespace tw::json
