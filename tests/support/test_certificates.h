#pragma once

// Throw-away folders and TLS material for tests, made with the generator in tools/.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace tessarine::test_support {

inline std::filesystem::path SourceDir() { return TESSARINE_SOURCE_DIR; }

// A temporary folder removed with the object.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, created only when nothing has it yet.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() / ("tessarine-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) m_path = candidate;
    }
    if (m_path.empty()) throw std::runtime_error("no temporary folder");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "tessarine-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// ca.pem, server.pem/key (localhost, 127.0.0.1, ::1), other.pem/key, partial.pem/key (x*.example.test),
// untrusted.pem/key.
class TestCertificates {
 public:
  TestCertificates() {
    const std::string command =
        "bash '" + (SourceDir() / "tools" / "make_test_certs.sh").string() + "' '" + m_dir.Path().string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make_test_certs.sh failed");
  }
  const std::filesystem::path& Dir() const { return m_dir.Path(); }
  std::filesystem::path File(const std::string& name) const { return m_dir.Path() / name; }

 private:
  TempDir m_dir;
};

}  // namespace tessarine::test_support
