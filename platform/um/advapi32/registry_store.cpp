#include "registry_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace advapi32 {

namespace {

constexpr char16_t kSeparator = u'\\';

std::string DirectoryOf(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p
bool MakeDirectories(const std::string &directory) {
  std::string partial;
  std::size_t start = 0;
  while (start <= directory.size()) {
    std::size_t slash = directory.find('/', start);
    if (slash == std::string::npos) slash = directory.size();
    partial = directory.substr(0, slash);
    if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  struct stat info;
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void AppendQuoted(std::string *out, std::u16string_view text) {
  out->push_back('"');
  for (char16_t c : text) {
    switch (c) {
      case u'\\': *out += "\\\\"; break;
      case u'"': *out += "\\\""; break;
      case u'\n': *out += "\\n"; break;
      case u'\r': *out += "\\r"; break;
      case u'\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          static constexpr char kHex[] = "0123456789ABCDEF";
          *out += "\\x";
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 0xF]);
        } else {
          *out += ToUtf8(std::u16string_view(&c, 1));
        }
    }
  }
  out->push_back('"');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a quoted text at line[*at]; leaves *at after the closing quote.
std::optional<std::u16string> ReadQuoted(const std::string &line, std::size_t *at) {
  if (*at >= line.size() || line[*at] != '"') return std::nullopt;
  std::string raw;
  std::size_t i = *at + 1;
  for (; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\') {
      raw.push_back(line[i]);
      continue;
    }
    if (++i >= line.size()) return std::nullopt;
    switch (line[i]) {
      case '\\': raw.push_back('\\'); break;
      case '"': raw.push_back('"'); break;
      case 'n': raw.push_back('\n'); break;
      case 'r': raw.push_back('\r'); break;
      case 't': raw.push_back('\t'); break;
      case 'x': {
        if (i + 2 >= line.size()) return std::nullopt;
        const int high = HexDigit(line[i + 1]);
        const int low = HexDigit(line[i + 2]);
        if (high < 0 || low < 0 || high * 16 + low >= 0x20) return std::nullopt;
        raw.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  if (i >= line.size()) return std::nullopt;
  *at = i + 1;
  return FromUtf8(raw);
}

}  // namespace

std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t &c : folded) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c = static_cast<char16_t>(c + 0x20);
  }
  return folded;
}

bool Store::Exists(const std::u16string &folded) const {
  if (folded.empty() || keys.count(folded) != 0) return true;
  const std::u16string below = folded + kSeparator;
  auto next = keys.lower_bound(below);
  return next != keys.end() && next->first.compare(0, below.size(), below) == 0;
}

bool Store::EraseTree(const std::u16string &folded) {
  bool erased = false;
  if (folded.empty()) {
    erased = !keys.empty();
    keys.clear();
    return erased;
  }
  erased = keys.erase(folded) != 0;
  const std::u16string below = folded + kSeparator;
  auto next = keys.lower_bound(below);
  while (next != keys.end() && next->first.compare(0, below.size(), below) == 0) {
    next = keys.erase(next);
    erased = true;
  }
  return erased;
}

std::string Store::Serialize() const {
  std::string out = "; Tavrin per-user component registrations (HKEY_CLASSES_ROOT)\n";
  for (const auto &[folded, key] : keys) {
    out += "[" + ToUtf8(key.path) + "]\n";
    for (const auto &[foldedName, value] : key.values) {
      if (value.name.empty()) {
        out += "@";
      } else {
        AppendQuoted(&out, value.name);
      }
      out += "=";
      AppendQuoted(&out, value.data);
      out += "\n";
    }
  }
  return out;
}

std::optional<Store> Store::Parse(const std::string &text) {
  Store store;
  StoredKey *current = nullptr;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const std::size_t close = line.rfind(']');
      if (close == std::string::npos || close != line.size() - 1 || close < 2) return std::nullopt;
      std::optional<std::u16string> path = FromUtf8(std::string_view(line).substr(1, close - 1));
      if (!path) return std::nullopt;
      StoredKey &key = store.keys[Fold(*path)];
      key.path = *path;
      current = &key;
      continue;
    }
    if (current == nullptr) return std::nullopt;
    std::size_t at = 0;
    std::u16string name;
    if (line[0] == '@') {
      at = 1;
    } else {
      std::optional<std::u16string> quoted = ReadQuoted(line, &at);
      if (!quoted || quoted->empty()) return std::nullopt;
      name = *quoted;
    }
    if (at >= line.size() || line[at] != '=') return std::nullopt;
    ++at;
    std::optional<std::u16string> data = ReadQuoted(line, &at);
    if (!data || at != line.size()) return std::nullopt;
    current->values[Fold(name)] = StoredValue{name, *data};
  }
  return store;
}

std::string StorePath() {
  if (const char *explicitPath = std::getenv("TAVRIN_COM_REGISTRY"); explicitPath != nullptr && *explicitPath)
    return explicitPath;
  std::string base;
  if (const char *config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char *home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd *entry = getpwuid(getuid());
      home = entry != nullptr ? entry->pw_dir : "/";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/tavrin/com-registry";
}

LONG Load(const std::string &path, Store *store) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return ERROR_CANTREAD;
    *store = Store{};
    return ERROR_SUCCESS;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return ERROR_CANTREAD;
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return ERROR_CANTREAD;
  std::optional<Store> parsed = Store::Parse(contents.str());
  if (!parsed) return ERROR_BADDB;
  *store = std::move(*parsed);
  return ERROR_SUCCESS;
}

LONG Save(const std::string &path, const Store &store) {
  if (store.keys.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT ? ERROR_SUCCESS : ERROR_CANTWRITE;
  if (!MakeDirectories(DirectoryOf(path))) return ERROR_CANTWRITE;
  const std::string temporary = path + ".new." + std::to_string(getpid());
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << store.Serialize();
    file.flush();
    if (!file) {
      unlink(temporary.c_str());
      return ERROR_CANTWRITE;
    }
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

WriteLock::WriteLock(const std::string &path) {
  const std::string directory = DirectoryOf(path);
  if (!MakeDirectories(directory)) return;
  fd_ = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
}

WriteLock::~WriteLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

}  // namespace advapi32
