// The registry file in the Windows export format, and the registry accessor's
// state once a key is open; opening a key is each system's own.
#include "platform/Registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/Cp1252.h"
#include "platform/RegistryFile.h"

namespace ledra::platform {

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  }
  return out;
}

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

std::string_view Trim(std::string_view text) {
  text = TrimLeft(text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | (code >> 6));
    out += char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += char(0xE0 | (code >> 12));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | (code >> 18));
    out += char(0x80 | ((code >> 12) & 0x3F));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

// UTF-16LE bytes as UTF-8; nothing when they are not well formed.
std::optional<std::string> Utf16ToUtf8(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t unit = uint8_t(bytes[i]) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
    if (unit >= 0xD800 && unit < 0xDC00) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      uint32_t low = uint8_t(bytes[i + 2]) | (uint32_t(uint8_t(bytes[i + 3])) << 8);
      if (low < 0xDC00 || low >= 0xE000) return std::nullopt;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      return std::nullopt;
    }
    AppendUtf8(out, unit);
  }
  return out;
}

class TParser {
 public:
  TParser(std::string_view bytes, const std::string& fileName) : fileName_(fileName) {
    text_ = Decode(bytes);
  }

  TRegistry::TKeys Run() {
    std::vector<std::string> lines = SplitLines(text_);
    size_t i = 0;
    while (i < lines.size() && Trim(lines[i]).empty()) ++i;
    if (i == lines.size()) Fail(0, "is empty");
    std::string_view header = Trim(lines[i]);
    if (header == "Windows Registry Editor Version 5.00") {
      unicode_ = true;
    } else if (header == "REGEDIT4") {
      unicode_ = false;
    } else {
      Fail(i + 1, "does not start with \"Windows Registry Editor Version 5.00\"");
    }
    for (++i; i < lines.size(); ++i) {
      const size_t lineNo = i + 1;
      std::string line(TrimLeft(lines[i]));
      // Binary data continues over lines ending in a backslash.
      while (!line.empty() && Trim(line).back() == '\\' && IsHexValue(line) &&
             i + 1 < lines.size()) {
        line = std::string(Trim(line));
        line.pop_back();
        line += TrimLeft(lines[++i]);
      }
      std::string_view view = Trim(line);
      if (view.empty() || view.front() == ';') continue;
      if (view.front() == '[') {
        Section(view, lineNo);
      } else if (view.front() == '"' || view.front() == '@') {
        Value(view, lineNo);
      } else {
        Fail(lineNo, "holds a line that is neither a key nor a value");
      }
    }
    return std::move(keys_);
  }

 private:
  [[noreturn]] void Fail(size_t line, const std::string& what) const {
    std::string message = "The registry file '" + fileName_ + "' " + what;
    if (line != 0) message += " (line " + std::to_string(line) + ")";
    throw ERegistryError(message + ".");
  }

  // The file's text in code page 1252.
  std::string Decode(std::string_view bytes) {
    std::optional<std::string> utf8;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
      utf8 = Utf16ToUtf8(bytes.substr(2));
      if (!utf8) Fail(0, "is not well-formed UTF-16 text");
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
      utf8 = std::string(bytes.substr(3));
    } else {
      return std::string(bytes);
    }
    std::optional<std::string> text = Utf8ToCp1252(*utf8);
    if (!text) Fail(0, "holds characters that code page 1252 cannot represent");
    return *text;
  }

  static std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (c == '\r' || c == '\n') {
        lines.push_back(std::move(current));
        current.clear();
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      } else {
        current += c;
      }
    }
    if (!current.empty()) lines.push_back(std::move(current));
    return lines;
  }

  static bool IsHexValue(const std::string& line) {
    size_t eq = line.find("=hex");
    return eq != std::string::npos && line.front() != '[';
  }

  // "[KEY]" opens a key for the values below; "[-KEY]" deletes it and all
  // keys below it.
  void Section(std::string_view view, size_t lineNo) {
    sectionSeen_ = true;
    if (view.back() != ']' || view.size() < 3) Fail(lineNo, "holds a key without its closing ']'");
    std::string_view name = view.substr(1, view.size() - 2);
    bool remove = false;
    if (name.front() == '-') {
      remove = true;
      name.remove_prefix(1);
    }
    std::string key = Upper(name);
    while (!key.empty() && key.back() == '\\') key.pop_back();
    if (key.empty()) Fail(lineNo, "holds a key without a name");
    if (remove) {
      keys_.erase(key);
      for (auto it = keys_.lower_bound(key + "\\");
           it != keys_.end() && it->first.compare(0, key.size() + 1, key + "\\") == 0;) {
        it = keys_.erase(it);
      }
      current_ = nullptr;
    } else {
      current_ = &keys_[key];
    }
  }

  // A quoted string with \\ and \" as escapes; `view` starts at the opening
  // quote. Answers the text and moves `view` past the closing quote.
  std::string Quoted(std::string_view& view, size_t lineNo) {
    std::string out;
    size_t i = 1;
    for (; i < view.size(); ++i) {
      char c = view[i];
      if (c == '"') break;
      if (c == '\\' && i + 1 < view.size() && (view[i + 1] == '\\' || view[i + 1] == '"')) {
        out += view[++i];
      } else {
        out += c;
      }
    }
    if (i >= view.size()) Fail(lineNo, "holds a string without its closing quote");
    view.remove_prefix(i + 1);
    return out;
  }

  void Value(std::string_view view, size_t lineNo) {
    std::string name;
    if (view.front() == '@') {
      view.remove_prefix(1);
    } else {
      name = Quoted(view, lineNo);
    }
    view = TrimLeft(view);
    if (view.empty() || view.front() != '=') Fail(lineNo, "holds a value without '='");
    view = Trim(view.substr(1));
    if (current_ == nullptr) {
      if (!sectionSeen_) Fail(lineNo, "holds a value before any key");
      return;  // a value of a deleted key belongs to no key
    }
    const std::string valueName = Upper(name);
    if (view == "-") {
      current_->erase(valueName);
      return;
    }
    TRegistry::TValue value;
    if (!view.empty() && view.front() == '"') {
      value.Type = 1;
      value.Data = Quoted(view, lineNo);
      if (!Trim(view).empty()) Fail(lineNo, "holds text after a string value");
    } else if (view.substr(0, 6) == "dword:") {
      value.Type = 4;
      value.Data = HexNumber(view.substr(6), lineNo);
    } else if (view.substr(0, 3) == "hex") {
      view.remove_prefix(3);
      value.Type = 3;
      if (!view.empty() && view.front() == '(') {
        size_t close = view.find(')');
        if (close == std::string_view::npos) Fail(lineNo, "holds a value type without ')'");
        std::string type(view.substr(1, close - 1));
        char* end = nullptr;
        unsigned long number = std::strtoul(type.c_str(), &end, 16);
        if (type.empty() || *end != 0 || number > 0xFFFFFFFFul) {
          Fail(lineNo, "holds an unknown value type");
        }
        value.Type = uint32_t(number);
        view.remove_prefix(close + 1);
      }
      if (view.empty() || view.front() != ':') Fail(lineNo, "holds a value type without ':'");
      value.Data = HexBytes(view.substr(1), lineNo);
      if (value.Type == 1 || value.Type == 2) value.Data = StoredString(value.Data, lineNo);
    } else {
      Fail(lineNo, "holds a value of an unknown kind");
    }
    (*current_)[valueName] = std::move(value);
  }

  // "0000001f" as four little-endian bytes.
  std::string HexNumber(std::string_view digits, size_t lineNo) {
    std::string text(Trim(digits));
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || text.size() > 8 || *end != 0 || errno != 0) {
      Fail(lineNo, "holds a malformed number");
    }
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = char((number >> (8 * i)) & 0xFF);
    return out;
  }

  // "41,00,42,00" as bytes.
  std::string HexBytes(std::string_view list, size_t lineNo) {
    std::string out;
    list = Trim(list);
    while (!list.empty()) {
      size_t comma = list.find(',');
      std::string item(Trim(list.substr(0, comma)));
      char* end = nullptr;
      unsigned long byte = std::strtoul(item.c_str(), &end, 16);
      if (item.empty() || item.size() > 2 || *end != 0) Fail(lineNo, "holds a malformed byte");
      out += char(byte);
      if (comma == std::string_view::npos) break;
      list = Trim(list.substr(comma + 1));
      if (list.empty()) Fail(lineNo, "holds a malformed byte");
    }
    return out;
  }

  // A string stored as bytes: UTF-16LE in the current format, 8-bit text in
  // the old one; it ends at its first terminating zero.
  std::string StoredString(const std::string& bytes, size_t lineNo) {
    if (!unicode_) return bytes.substr(0, bytes.find('\0'));
    std::string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      if (bytes[i] == 0 && bytes[i + 1] == 0) break;
      units += bytes.substr(i, 2);
    }
    std::optional<std::string> utf8 = Utf16ToUtf8(units);
    std::optional<std::string> text = utf8 ? Utf8ToCp1252(*utf8) : std::nullopt;
    if (!text) Fail(lineNo, "holds a string that code page 1252 cannot represent");
    return *text;
  }

  const std::string& fileName_;
  std::string text_;
  bool unicode_ = true;
  bool sectionSeen_ = false;
  TRegistry::TKeys keys_;
  std::map<std::string, TRegistry::TValue>* current_ = nullptr;
};

const char* RootName(TRegistryRoot root) {
  switch (root) {
    case TRegistryRoot::ClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case TRegistryRoot::CurrentUser:
      return "HKEY_CURRENT_USER";
    case TRegistryRoot::LocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case TRegistryRoot::Users:
      return "HKEY_USERS";
    case TRegistryRoot::CurrentConfig:
      return "HKEY_CURRENT_CONFIG";
  }
  return "";
}

// The root's name as the file writes it, also in its short form.
std::string NormalRoot(const std::string& key) {
  static const std::pair<const char*, const char*> kShort[] = {{"HKCR", "HKEY_CLASSES_ROOT"},
                                                               {"HKCU", "HKEY_CURRENT_USER"},
                                                               {"HKLM", "HKEY_LOCAL_MACHINE"},
                                                               {"HKU", "HKEY_USERS"},
                                                               {"HKCC", "HKEY_CURRENT_CONFIG"}};
  size_t slash = key.find('\\');
  std::string root = key.substr(0, slash);
  for (const auto& [shortName, longName] : kShort) {
    if (root == shortName) {
      return longName + (slash == std::string::npos ? std::string() : key.substr(slash));
    }
  }
  return key;
}

}  // namespace

std::string RegistryKeyPath(TRegistryRoot root, std::string_view key) {
  std::string path = Upper(key);
  while (!path.empty() && path.front() == '\\') path.erase(0, 1);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  std::string full = RootName(root);
  if (!path.empty()) full += "\\" + path;
  return full;
}

bool ReadRegistryFileKey(const std::string& fileName, const std::string& fullKey,
                         std::map<std::string, TRegistry::TValue>* values) {
  errno = 0;
  std::ifstream file(fileName, std::ios::binary);
  if (!file) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw ERegistryError("The registry file '" + fileName +
                         "' cannot be read: " + std::strerror(errno) + ".");
  }
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) {
    throw ERegistryError("The registry file '" + fileName + "' cannot be read.");
  }
  TRegistry::TKeys keys = TRegistry::Parse(bytes.str(), fileName);

  auto found = keys.find(fullKey);
  if (found != keys.end()) {
    *values = std::move(found->second);
    return true;
  }
  // A key that only has keys below it exists as well, without values.
  auto below = keys.lower_bound(fullKey + "\\");
  if (below == keys.end() || below->first.compare(0, fullKey.size() + 1, fullKey + "\\") != 0) {
    return false;
  }
  values->clear();
  return true;
}

TRegistry::TRegistry(std::string fileName) : fileName_(std::move(fileName)) {}

TRegistry::TKeys TRegistry::Parse(std::string_view bytes, const std::string& fileName) {
  TKeys keys = TParser(bytes, fileName).Run();
  TKeys normal;
  for (auto& [key, values] : keys) {
    auto& target = normal[NormalRoot(key)];
    for (auto& [name, value] : values) target[name] = std::move(value);
  }
  return normal;
}

void TRegistry::CloseKey() {
  open_ = false;
  values_.clear();
}

bool TRegistry::ValueExists(std::string_view name) const {
  return open_ && values_.count(Upper(name)) != 0;
}

std::string TRegistry::ReadString(std::string_view name) const {
  if (!open_) return std::string();
  auto found = values_.find(Upper(name));
  if (found == values_.end()) return std::string();
  if (found->second.Type != 1 && found->second.Type != 2) {
    throw ERegistryError("Invalid data type for '" + std::string(name) + "'");
  }
  return found->second.Data;
}

}  // namespace ledra::platform
