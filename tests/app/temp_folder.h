#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "support/test_certificates.h"

namespace tessarine::app::testing {

// A fresh folder under the system's temporary folder, removed with its content afterwards.
class TempFolder {
 public:
  TempFolder() : m_path(m_made.Path()) {}
  ~TempFolder() {
    // A test may have taken the write permission away; the folder is removed with m_made.
    std::error_code ignored;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  std::string File(const std::string& name) const { return (m_path / name).string(); }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(m_path / name); }
  // Every entry of the folder.
  int Count() const {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_path)) ++count;
    return count;
  }

 private:
  test_support::TempDir m_made;
  std::filesystem::path m_path;
};

}  // namespace tessarine::app::testing
