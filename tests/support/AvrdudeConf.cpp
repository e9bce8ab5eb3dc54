#include "support/AvrdudeConf.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace quillet::test {

namespace {

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<long> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  try {
    size_t used = 0;
    long v = std::stol(text, &used, 0);
    if (used != text.size()) return std::nullopt;
    return v;
  } catch (...) {
    return std::nullopt;
  }
}

// avrdude.conf tokens: quoted strings (kept with their quotes), '=', ';', ',' and words.
std::vector<std::string> Tokenize(const std::string& text) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '"') {
      size_t end = text.find('"', i + 1);
      if (end == std::string::npos) end = text.size() - 1;
      tokens.push_back(text.substr(i, end - i + 1));
      i = end + 1;
    } else if (c == '=' || c == ';' || c == ',') {
      tokens.emplace_back(1, c);
      ++i;
    } else {
      size_t start = i;
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) &&
             text[i] != '=' && text[i] != ';' && text[i] != ',' && text[i] != '"' && text[i] != '#')
        ++i;
      tokens.push_back(text.substr(start, i - start));
    }
  }
  return tokens;
}

std::string Unquote(const std::string& s) {
  return s.size() >= 2 && s.front() == '"' ? s.substr(1, s.size() - 2) : s;
}

bool IsInstructionKey(const std::string& key) {
  static const std::set<std::string> kKeys = {"read",        "write",       "read_lo",   "read_hi",
                                               "write_lo",    "write_hi",    "loadpage_lo",
                                               "loadpage_hi", "writepage",   "load_ext_addr",
                                               "pgm_enable",  "chip_erase"};
  return kKeys.count(key) > 0;
}

class Parser {
 public:
  explicit Parser(std::vector<std::string> tokens) : t_(std::move(tokens)) {}

  bool Run(std::vector<AvrdudePart>* parts, std::string* error) {
    while (pos_ < t_.size()) {
      const std::string word = t_[pos_++];
      if (word == "part" || word == "programmer") {
        AvrdudePart part;
        if (Peek() == "parent") {
          ++pos_;
          const std::string parent = Unquote(Next());
          if (word == "part") {
            const AvrdudePart* p = Find(*parts, parent);
            if (!p) return Fail(error, "unknown parent \"" + parent + "\"");
            part = *p;  // a child overrides values and extends memories of its parent
          }
          part.parent = parent;
        }
        if (!Block(&part, error)) return false;
        if (word == "part") {
          part.id = Unquote(part.values["id"]);
          part.desc = Unquote(part.values["desc"]);
          parts->push_back(std::move(part));
        }
      } else {
        Values();  // default_programmer = ...; and the like
      }
    }
    return true;
  }

 private:
  static const AvrdudePart* Find(const std::vector<AvrdudePart>& parts, const std::string& id) {
    for (const AvrdudePart& p : parts)
      if (p.id == id) return &p;
    return nullptr;
  }
  const std::string& Peek() const {
    static const std::string kEnd;
    return pos_ < t_.size() ? t_[pos_] : kEnd;
  }
  const std::string& Next() { return pos_ < t_.size() ? t_[pos_++] : Peek(); }
  bool Fail(std::string* error, const std::string& what) {
    *error = what + " near token " + std::to_string(pos_);
    return false;
  }
  // Tokens up to the next ';' (consumed).
  std::vector<std::string> Values() {
    std::vector<std::string> v;
    while (pos_ < t_.size() && t_[pos_] != ";") v.push_back(t_[pos_++]);
    ++pos_;
    return v;
  }
  static std::string Join(const std::vector<std::string>& v, bool strings) {
    std::string out;
    for (const std::string& s : v) {
      if (s == ",") continue;
      if (strings) {
        out += (out.empty() ? "" : " ") + Unquote(s);
      } else {
        out += (out.empty() ? "" : " ") + s;
      }
    }
    return out;
  }

  bool Block(AvrdudePart* part, std::string* error) {
    while (pos_ < t_.size() && Peek() != ";") {
      const std::string key = Next();
      if (key == "memory") {
        const std::string name = Unquote(Next());
        if (Peek() == "=") {  // memory "efuse" = NULL;
          Values();
          part->memories.erase(name);
          continue;
        }
        AvrdudeMemory& m = part->memories[name];
        while (pos_ < t_.size() && Peek() != ";") {
          const std::string mkey = Next();
          if (mkey == "alias") {
            m.values["alias"] = Unquote(Next());
            if (Peek() == ";") ++pos_;
            continue;
          }
          if (Next() != "=") return Fail(error, "'=' expected after " + mkey);
          std::vector<std::string> v = Values();
          if (IsInstructionKey(mkey)) {
            if (v.size() == 1 && v[0] == "NULL")
              m.instructions.erase(mkey);
            else
              m.instructions[mkey] = SplitInstruction(Join(v, true));
          } else {
            m.values[mkey] = Join(v, false);
          }
        }
        ++pos_;
        continue;
      }
      if (Next() != "=") return Fail(error, "'=' expected after " + key);
      std::vector<std::string> v = Values();
      if (key == "signature") {
        part->signature.clear();
        for (const std::string& s : v)
          if (auto n = ParseNumber(s)) part->signature.push_back(static_cast<uint8_t>(*n));
      }
      part->values[key] = Join(v, false);
    }
    ++pos_;
    return true;
  }

  std::vector<std::string> t_;
  size_t pos_ = 0;
};

// ---- avr-libc io headers ----

struct Define {
  std::string name, value;
};

class Preprocessor {
 public:
  Preprocessor(std::string includeDir, const std::string& device) : dir_(std::move(includeDir)) {
    macros_["__AVR_" + device + "__"] = "1";
  }
  bool Run() { return File(dir_ + "/avr/io.h", 0); }
  const std::map<std::string, std::string>& Macros() const { return macros_; }
  const std::vector<Define>& Ordered() const { return ordered_; }

 private:
  bool File(const std::string& path, int depth) {
    bool ok = false;
    std::string text = ReadFile(path, &ok);
    if (!ok || depth > 8) return false;
    text = StripComments(text);
    std::vector<std::pair<bool, bool>> stack;  // (active, some branch taken)
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      size_t p = line.find_first_not_of(" \t");
      if (p == std::string::npos || line[p] != '#') continue;
      std::istringstream ls(line.substr(p + 1));
      std::string word, rest;
      ls >> word;
      std::getline(ls, rest);
      rest = Trim(rest);
      bool active = true;
      for (auto& s : stack) active = active && s.first;
      if (word == "if" || word == "ifdef" || word == "ifndef") {
        bool c = false;
        if (active) {
          std::string name = rest.substr(0, rest.find_first_of(" \t"));
          c = word == "ifdef" ? macros_.count(name) > 0
              : word == "ifndef" ? macros_.count(name) == 0
                                 : Condition(rest);
        }
        stack.push_back({active && c, !active || c});
      } else if (word == "elif" && !stack.empty()) {
        bool taken = stack.back().second;
        stack.pop_back();
        bool outer = true;
        for (auto& s : stack) outer = outer && s.first;
        bool c = outer && !taken && Condition(rest);
        stack.push_back({c, taken || c});
      } else if (word == "else" && !stack.empty()) {
        bool taken = stack.back().second;
        bool outer = true;
        for (size_t i = 0; i + 1 < stack.size(); ++i) outer = outer && stack[i].first;
        stack.back() = {outer && !taken, true};
      } else if (word == "endif" && !stack.empty()) {
        stack.pop_back();
      } else if (!active) {
        continue;
      } else if (word == "define") {
        size_t end = 0;
        while (end < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[end])) || rest[end] == '_'))
          ++end;
        if (end < rest.size() && rest[end] == '(') continue;  // function-like: not needed
        std::string name = rest.substr(0, end), value = Trim(rest.substr(end));
        macros_[name] = value;
        ordered_.push_back({name, value});
      } else if (word == "undef") {
        macros_.erase(rest.substr(0, rest.find_first_of(" \t")));
      } else if (word == "include") {
        if (rest.rfind("<avr/io", 0) == 0) {
          File(dir_ + "/" + rest.substr(1, rest.find('>') - 1), depth + 1);
        } else if (rest.rfind("\"io", 0) == 0) {
          std::string dir = path.substr(0, path.rfind('/'));
          File(dir + "/" + rest.substr(1, rest.find('"', 1) - 1), depth + 1);
        }
      }
    }
    return true;
  }

  static std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
  }
  static std::string StripComments(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
      if (in.compare(i, 2, "/*") == 0) {
        size_t end = in.find("*/", i + 2);
        end = end == std::string::npos ? in.size() : end;
        for (size_t k = i; k < end; ++k)
          if (in[k] == '\n') out += '\n';
        i = end + 1;
      } else if (in.compare(i, 2, "//") == 0) {
        while (i < in.size() && in[i] != '\n') ++i;
        out += '\n';
      } else if (in[i] == '\\' && i + 1 < in.size() && in[i + 1] == '\n') {
        ++i;
      } else {
        out += in[i];
      }
    }
    return out;
  }

  // #if expressions of the io headers: defined(X), defined X, !, &&, ||, parentheses.
  bool Condition(const std::string& expr) {
    size_t p = 0;
    return Or(expr, p);
  }
  static void Skip(const std::string& e, size_t& p) {
    while (p < e.size() && std::isspace(static_cast<unsigned char>(e[p]))) ++p;
  }
  bool Or(const std::string& e, size_t& p) {
    bool v = And(e, p);
    for (Skip(e, p); e.compare(p, 2, "||") == 0; Skip(e, p)) {
      p += 2;
      v = And(e, p) || v;
    }
    return v;
  }
  bool And(const std::string& e, size_t& p) {
    bool v = Unary(e, p);
    for (Skip(e, p); e.compare(p, 2, "&&") == 0; Skip(e, p)) {
      p += 2;
      v = Unary(e, p) && v;
    }
    return v;
  }
  bool Unary(const std::string& e, size_t& p) {
    Skip(e, p);
    if (p < e.size() && e[p] == '!') return !Unary(e, ++p);
    if (p < e.size() && e[p] == '(') {
      bool v = Or(e, ++p);
      Skip(e, p);
      if (p < e.size() && e[p] == ')') ++p;
      return v;
    }
    std::string word = Word(e, p);
    if (word == "defined") {
      Skip(e, p);
      bool paren = p < e.size() && e[p] == '(';
      if (paren) ++p;
      Skip(e, p);
      std::string name = Word(e, p);
      Skip(e, p);
      if (paren && p < e.size() && e[p] == ')') ++p;
      return macros_.count(name) > 0;
    }
    auto it = macros_.find(word);
    auto n = it == macros_.end() ? ParseNumber(word) : ParseNumber(it->second);
    return n.value_or(0) != 0;
  }
  static std::string Word(const std::string& e, size_t& p) {
    size_t start = p;
    while (p < e.size() && (std::isalnum(static_cast<unsigned char>(e[p])) || e[p] == '_')) ++p;
    return e.substr(start, p - start);
  }

  std::string dir_;
  std::map<std::string, std::string> macros_;
  std::vector<Define> ordered_;
};

// Values such as 0x7FFF, (unsigned char)~_BV(3), (FUSE_A & FUSE_B), (0xFF).
class Evaluator {
 public:
  explicit Evaluator(const std::map<std::string, std::string>& macros) : macros_(macros) {}
  std::optional<long> Eval(const std::string& e, int depth = 0) {
    if (depth > 16) return std::nullopt;
    size_t p = 0;
    depth_ = depth;
    auto v = BitOr(e, p);
    Skip(e, p);
    return p == e.size() ? v : std::nullopt;
  }

 private:
  static void Skip(const std::string& e, size_t& p) {
    while (p < e.size() && std::isspace(static_cast<unsigned char>(e[p]))) ++p;
  }
  std::optional<long> BitOr(const std::string& e, size_t& p) {
    auto v = BitAnd(e, p);
    for (Skip(e, p); v && p < e.size() && e[p] == '|'; Skip(e, p)) {
      auto r = BitAnd(e, ++p);
      v = r ? std::optional<long>(*v | *r) : std::nullopt;
    }
    return v;
  }
  std::optional<long> BitAnd(const std::string& e, size_t& p) {
    auto v = Unary(e, p);
    for (Skip(e, p); v && p < e.size() && e[p] == '&'; Skip(e, p)) {
      auto r = Unary(e, ++p);
      v = r ? std::optional<long>(*v & *r) : std::nullopt;
    }
    return v;
  }
  std::optional<long> Unary(const std::string& e, size_t& p) {
    Skip(e, p);
    if (p >= e.size()) return std::nullopt;
    if (e[p] == '~') {
      auto v = Unary(e, ++p);
      return v ? std::optional<long>(~*v) : std::nullopt;
    }
    if (e.compare(p, 15, "(unsigned char)") == 0) {
      p += 15;
      auto v = Unary(e, p);
      return v ? std::optional<long>(*v & 0xFF) : std::nullopt;
    }
    if (e[p] == '(') {
      auto v = BitOr(e, ++p);
      Skip(e, p);
      if (p >= e.size() || e[p] != ')') return std::nullopt;
      ++p;
      return v;
    }
    size_t start = p;
    while (p < e.size() && (std::isalnum(static_cast<unsigned char>(e[p])) || e[p] == '_')) ++p;
    std::string word = e.substr(start, p - start);
    if (word == "_BV") {
      Skip(e, p);
      if (p >= e.size() || e[p] != '(') return std::nullopt;
      auto v = BitOr(e, ++p);
      Skip(e, p);
      if (!v || p >= e.size() || e[p] != ')' || *v < 0 || *v > 31) return std::nullopt;
      ++p;
      return 1L << *v;
    }
    if (word.empty()) return std::nullopt;
    if (std::isdigit(static_cast<unsigned char>(word[0]))) {
      while (!word.empty() && std::strchr("uUlL", word.back())) word.pop_back();
      return ParseNumber(word);
    }
    auto it = macros_.find(word);
    if (it == macros_.end()) return std::nullopt;
    return Evaluator(macros_).Eval(it->second, depth_ + 1);
  }

  const std::map<std::string, std::string>& macros_;
  int depth_ = 0;
};

}  // namespace

std::optional<long> AvrdudeMemory::Number(const std::string& key) const {
  auto it = values.find(key);
  return it == values.end() ? std::nullopt : ParseNumber(it->second);
}

const AvrdudeMemory* AvrdudePart::Memory(const std::string& name) const {
  auto it = memories.find(name);
  return it == memories.end() ? nullptr : &it->second;
}

bool AvrdudeConf::Load(const std::string& path, std::string* error) {
  bool ok = false;
  std::string text = ReadFile(path, &ok);
  if (!ok) {
    *error = "cannot read " + path;
    return false;
  }
  parts_.clear();
  return Parser(Tokenize(text)).Run(&parts_, error);
}

const AvrdudePart* AvrdudeConf::FindByDesc(const std::string& desc) const {
  for (const AvrdudePart& p : parts_)
    if (p.desc == desc) return &p;
  return nullptr;
}

const AvrdudePart* AvrdudeConf::FindById(const std::string& id) const {
  for (const AvrdudePart& p : parts_)
    if (p.id == id) return &p;
  return nullptr;
}

std::vector<std::string> SplitInstruction(const std::string& text) {
  std::vector<std::string> bits;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (word.size() > 7) {  // compact form: one character per bit, . - _ / as separators
      for (char c : word)
        if (std::strchr("01xaio", c)) bits.emplace_back(1, c);
    } else {
      bits.push_back(word);
    }
  }
  if (bits.size() != 32) bits.clear();
  return bits;
}

std::optional<AvrIoPart> ReadAvrIoHeader(const std::string& includeDir, const std::string& device) {
  Preprocessor pre(includeDir, device);
  if (!pre.Run()) return std::nullopt;
  const auto& m = pre.Macros();
  Evaluator eval(m);
  auto get = [&](const char* name) -> long {
    auto it = m.find(name);
    return it == m.end() ? -1 : eval.Eval(it->second).value_or(-1);
  };
  AvrIoPart part;
  part.flashEnd = get("FLASHEND");
  if (part.flashEnd < 0) return std::nullopt;
  part.e2End = get("E2END");
  part.spmPageSize = get("SPM_PAGESIZE");
  part.e2PageSize = get("E2PAGESIZE");
  part.fuseMemorySize = std::max(0L, get("FUSE_MEMORY_SIZE"));
  if (m.count("SIGNATURE_0"))
    part.signature = std::vector<uint8_t>{static_cast<uint8_t>(get("SIGNATURE_0")),
                                          static_cast<uint8_t>(get("SIGNATURE_1")),
                                          static_cast<uint8_t>(get("SIGNATURE_2"))};
  part.lockBits = m.count("__LOCK_BITS_EXIST") > 0;
  part.bootLockBits0 = m.count("__BOOT_LOCK_BITS_0_EXIST") > 0;
  part.bootLockBits1 = m.count("__BOOT_LOCK_BITS_1_EXIST") > 0;

  // Fuse bits come byte after byte, each byte closed by its *FUSE_DEFAULT; headers without
  // those defaults start a new byte where the bit numbers start again.
  auto isDefault = [](const std::string& n) {
    return n == "LFUSE_DEFAULT" || n == "HFUSE_DEFAULT" || n == "EFUSE_DEFAULT" || n == "FUSE_DEFAULT";
  };
  bool byDefault = false;
  for (const Define& d : pre.Ordered()) byDefault = byDefault || isDefault(d.name);
  AvrIoFuseByte current;
  bool any = false;
  int last = -1;
  for (const Define& d : pre.Ordered()) {
    if (isDefault(d.name)) {
      current.factory = static_cast<uint8_t>(eval.Eval(d.value).value_or(0xFF));
      part.fuses.push_back(current);
      current = {};
      any = false;
      last = -1;
    } else if (d.name.rfind("FUSE_", 0) == 0 && d.name != "FUSE_MEMORY_SIZE") {
      size_t bv = d.value.find("_BV(");
      if (bv == std::string::npos || bv + 4 >= d.value.size()) continue;
      int bit = d.value[bv + 4] - '0';
      if (bit < 0 || bit > 7) continue;
      if (bit <= last && !byDefault) {
        part.fuses.push_back(current);
        current = {};
      }
      current.bits[bit] = d.name.substr(5);
      any = true;
      last = bit;
    }
  }
  if (any) part.fuses.push_back(current);
  return part;
}

std::map<std::string, AtdfDevice> ReadAtdfFacts(const std::string& path, std::string* error) {
  std::map<std::string, AtdfDevice> devices;
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return devices;
  }
  auto hex = [](const std::string& s) { return static_cast<uint8_t>(std::stoul(s, nullptr, 16)); };
  auto fields = [&](std::istringstream& words) {
    std::vector<AtdfField> out;
    std::string w;
    while (words >> w) out.push_back({w.substr(0, w.find('=')), hex(w.substr(w.find('=') + 1))});
    return out;
  };
  auto pairs = [](std::istringstream& words) {
    std::map<std::string, std::string> out;
    std::string w;
    while (words >> w) out[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    return out;
  };
  AtdfDevice* d = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    if (!(words >> key) || key[0] == '#') continue;
    if (key == "device") {
      std::string name;
      words >> name;
      d = &devices[name];
      continue;
    }
    if (!d) continue;
    if (key == "signature") {
      std::string b;
      while (words >> b) d->signature.push_back(hex(b));
    } else if (key == "flash") {
      words >> d->flash >> d->flashPage;
    } else if (key == "eeprom") {
      words >> d->eeprom >> d->eepromPage;
    } else if (key == "calibration") {
      int n = 0;
      words >> n;
      d->calibration = n;
    } else if (key == "fuse") {
      AtdfRegister r;
      int offset = 0;
      std::string factory;
      words >> r.name >> offset >> factory;
      r.factory = hex(factory);
      r.fields = fields(words);
      d->fuses.push_back(r);
    } else if (key == "lock") {
      std::string factory;
      words >> factory;
      d->lock = {"LOCKBIT", hex(factory), fields(words)};
    } else if (key == "spi") {
      d->spi = pairs(words);
    } else if (key == "reset") {
      words >> d->reset;
    } else if (key == "supply") {
      double low = 0, high = 0;
      words >> low >> high;
      d->supplyMaxMv = static_cast<int>(high * 1000 + 0.5);
    } else if (key == "package") {
      std::string package, pinout;
      words >> package >> pinout;
      d->packages[package] = pinout;
    } else if (key == "pinout") {
      std::string name, w;
      words >> name;
      auto& pins = d->pinouts[name];
      while (words >> w)
        if (std::isdigit(static_cast<unsigned char>(w[0])))
          pins[std::stoi(w.substr(0, w.find('=')))] = w.substr(w.find('=') + 1);
    }
  }
  return devices;
}

}  // namespace quillet::test
