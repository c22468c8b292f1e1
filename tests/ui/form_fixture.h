#pragma once

// A main window on the offscreen platform with an in-memory settings file, a scripted upstream client, a
// loopback-only server on a free port and the error boxes recorded instead of shown.

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "net/exceptions.h"
#include "support/qt_application.h"
#include "ui/error_box.h"
#include "ui/form1.h"
#include "ui/qt_text.h"

namespace tessarine::ui::testing {

using test_support::ProcessEventsUntil;

// The settings as a map; "1" and "0" are the only readable booleans here (the file's own rules are the
// program's tests' business).
struct FakeSettings {
  std::map<std::pair<std::u16string, std::u16string>, std::u16string> Values;
  std::vector<std::u16string> Writes;  // "section/key=value" in order
};

class FakeIniFile : public TCustomIniFile {
 public:
  explicit FakeIniFile(std::shared_ptr<FakeSettings> settings) : m_settings(std::move(settings)) {}

  bool ReadBool(const std::u16string& section, const std::u16string& key, bool defaultValue) const override {
    const auto it = m_settings->Values.find({section, key});
    if (it == m_settings->Values.end() || (it->second != u"0" && it->second != u"1")) return defaultValue;
    return it->second == u"1";
  }
  std::u16string ReadString(const std::u16string& section, const std::u16string& key,
                            const std::u16string& defaultValue) const override {
    const auto it = m_settings->Values.find({section, key});
    return it == m_settings->Values.end() ? defaultValue : it->second;
  }
  void WriteBool(const std::u16string& section, const std::u16string& key, bool value) override {
    WriteString(section, key, value ? u"1" : u"0");
  }
  void WriteString(const std::u16string& section, const std::u16string& key, const std::u16string& value) override {
    m_settings->Values[{section, key}] = value;
    m_settings->Writes.push_back(section + u"/" + key + u"=" + value);
  }

 private:
  std::shared_ptr<FakeSettings> m_settings;
};

// Answers every engine call with Google's reply format; when Hold is set, a call waits until Abort.
class ScriptedUpstream : public translate::IUpstreamClient {
 public:
  void CustomHeadersAddValue(const std::u16string&, const std::u16string&) override {}
  void CustomHeadersClear() override {}
  void SetCarriesCredentials(bool) override {}
  std::u16string Get(const std::u16string& url) override { return call(url); }
  std::u16string Post(const std::u16string& url, TStream&) override { return call(url); }

  void Abort() {
    std::lock_guard lock(m_mutex);
    ++m_aborts;
    m_aborted = true;
    m_changed.notify_all();
  }

  bool Hold = false;
  int Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  int Aborts() const {
    std::lock_guard lock(m_mutex);
    return m_aborts;
  }
  std::vector<std::u16string> Urls() const {
    std::lock_guard lock(m_mutex);
    return m_urls;
  }

 private:
  std::u16string call(const std::u16string& url) {
    std::unique_lock lock(m_mutex);
    ++m_calls;
    m_urls.push_back(url);
    if (Hold) {
      m_aborted = false;
      m_changed.wait(lock, [this] { return m_aborted; });
      throw net::EIdClosedSocket();
    }
    return u"[{\"trans\":\"Hallo\"}]";
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_calls = 0;
  int m_aborts = 0;
  bool m_aborted = false;
  std::vector<std::u16string> m_urls;
};

class FormTest : public ::testing::Test {
 protected:
  FormTest() {
    m_previousHandler = SetErrorBoxHandler([this](const std::u16string& text) { errors.push_back(text); });
  }
  ~FormTest() override {
    form.reset();
    SetErrorBoxHandler(m_previousHandler);
  }

  // Creates the window (running FormCreate) with the settings as they stand.
  TForm1& create(std::optional<uint16_t> port = 0) {
    TForm1Options options;
    options.OpenSettings = [this] { return std::make_unique<FakeIniFile>(settings); };
    options.Terminate = [this] { ++terminations; };
    if (port) options.ListenForTesting = std::make_pair(std::u16string(u"127.0.0.1"), *port);
    options.UpstreamForTesting = &upstream;
    options.AbortUpstreamForTesting = [this] { upstream.Abort(); };
    form = std::make_unique<TForm1>(std::move(options));
    return *form;
  }

  void set(const std::u16string& section, const std::u16string& key, const std::u16string& value) {
    settings->Values[{section, key}] = value;
  }

  static std::u16string text(const QAction* item) { return FromQString(item->text()); }

  std::shared_ptr<FakeSettings> settings = std::make_shared<FakeSettings>();
  ScriptedUpstream upstream;
  std::vector<std::u16string> errors;
  int terminations = 0;
  std::unique_ptr<TForm1> form;

 private:
  TErrorBoxHandler m_previousHandler;
};

}  // namespace tessarine::ui::testing
