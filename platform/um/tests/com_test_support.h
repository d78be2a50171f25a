// What the registry and component runtime tests share: a throw-away store
// location for each test, and owned registry handles.
#pragma once

#include <objbase.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace comtest {

// Points TAVRIN_COM_REGISTRY at a store in a new directory; restores the
// environment and removes the directory afterwards.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The store's file, and its text ("" when there is no file).
  std::string StoreFile() const { return (directory_ / "com-registry").string(); }
  std::string StoreText() const;
  void WriteStoreText(const std::string &text) const;
  std::filesystem::path Directory() const { return directory_; }

  // HKEY_CLASSES_ROOT\<path>: creates it and sets a value (default when
  // `name` is empty); fails the test on an error.
  void SetValue(const std::u16string &path, const std::u16string &name, const std::u16string &data);
  // The value, or the error it gives.
  std::optional<std::u16string> Value(const std::u16string &path, const std::u16string &name, LSTATUS *status = nullptr);

 private:
  std::filesystem::path directory_;
  std::optional<std::string> savedVariables_[3];
};

}  // namespace comtest
