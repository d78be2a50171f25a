// The per-user store behind HKEY_CLASSES_ROOT: the keys that were created,
// each with its text values, and the text file that keeps them.
//
// The file is UTF-8, one item a line, in the manner of a registry export:
//   ; comment
//   [CLSID\{57CE8415-609B-4AB7-99FF-A35A7AFEAE3E}\InprocServer32]
//   @="/usr/lib/libserver.so"
//   "ThreadingModel"="Apartment"
// "@" is a key's default value. Inside quotes a backslash escapes a quote,
// a backslash, n, r, t, or xHH (any other character below 0x20). Keys are
// written in order of their names; a store with no key is no file at all.
#pragma once

#include <windows.h>

#include <um_text.h>

#include <map>
#include <optional>
#include <string>

namespace advapi32 {

// A name folded for comparison: letters of ASCII and Latin-1 in lower case.
std::u16string Fold(std::u16string_view name);

struct StoredValue {
  std::u16string name;  // as first written; empty for the default value
  std::u16string data;
};

struct StoredKey {
  std::u16string path;  // as first created, components joined by '\'
  std::map<std::u16string, StoredValue> values;  // by folded name
};

class Store {
 public:
  // The created keys, by folded path. A key also exists, without values,
  // while a created key lies below it.
  std::map<std::u16string, StoredKey> keys;

  bool Exists(const std::u16string &folded) const;
  // Removes the key and every key below it; false when none was there.
  bool EraseTree(const std::u16string &folded);

  // The text of the file; Parse is its inverse. Parse fails (nullopt) on a
  // line it does not understand.
  std::string Serialize() const;
  static std::optional<Store> Parse(const std::string &text);
};

// Where the store lives now (environment variables are read on each call):
// $TAVRIN_COM_REGISTRY, else $XDG_CONFIG_HOME/tavrin/com-registry, else
// $HOME/.config/tavrin/com-registry.
std::string StorePath();

// Reads the store; a missing file is an empty store. Returns ERROR_SUCCESS,
// ERROR_CANTREAD or ERROR_BADDB.
LONG Load(const std::string &path, Store *store);
// Replaces the file atomically, creating its directory; removes the file
// when the store is empty. Returns ERROR_SUCCESS or ERROR_CANTWRITE.
LONG Save(const std::string &path, const Store &store);

// Holds the store's directory locked against other writers, in this process
// and in others, for a read-modify-write.
class WriteLock {
 public:
  explicit WriteLock(const std::string &path);
  ~WriteLock();
  WriteLock(const WriteLock &) = delete;
  WriteLock &operator=(const WriteLock &) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

using um_text::FromUtf8;
using um_text::ToUtf8;

}  // namespace advapi32
