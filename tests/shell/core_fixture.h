#pragma once

// The core with an in-memory settings file, a scripted upstream client, a loopback-only server on a free port, a
// shell that records what it is asked for, and the error boxes recorded instead of shown.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.h"
#include "net/exceptions.h"
#include "shell/error_box.h"
#include "shell/proxy_core.h"

namespace tessarine::shell::testing {

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

// Records what the core asks of the windows: "ShowMainForm", "Terminate", "tray googletr", "caption ...".
class FakeShell : public IDesktopShell {
 public:
  void ShowMainForm() override { Calls.push_back("ShowMainForm"); }
  void MinimizeToTray() override { Calls.push_back("MinimizeToTray"); }
  void PopupAtCursor() override { Calls.push_back("PopupAtCursor"); }
  void ShowAbout() override { Calls.push_back("ShowAbout"); }
  void ClearLog() override { Calls.push_back("ClearLog"); }
  void SetLogCaption(const std::u16string& caption) override { Calls.push_back("caption " + ToUtf8(caption)); }
  void SetTrayPicture(std::string_view picture) override { Calls.push_back("tray " + std::string(picture)); }
  void Terminate() override { Calls.push_back("Terminate"); }

  int Count(const std::string& call) const { return static_cast<int>(std::count(Calls.begin(), Calls.end(), call)); }

  std::vector<std::string> Calls;
};

// What the tests of the core and of each shell around it start from: the settings as they stand, the scripted
// upstream, the server on a free loopback port, the error boxes recorded instead of shown.
class CoreFixtureBase : public ::testing::Test {
 protected:
  CoreFixtureBase() {
    m_previousHandler = SetErrorBoxHandler([this](const std::u16string& text) { errors.push_back(text); });
  }
  // The derived fixture has ended its core by now, so no box can come from it any more.
  ~CoreFixtureBase() override { SetErrorBoxHandler(m_previousHandler); }

  // The core's options for these: the server on that loopback port (0: a free one; none: as the settings say).
  void fill(TProxyCoreOptions& options, std::optional<uint16_t> port = 0) {
    options.OpenSettings = [this] { return std::make_unique<FakeIniFile>(settings); };
    if (port) options.ListenForTesting = std::make_pair(std::u16string(u"127.0.0.1"), *port);
    options.UpstreamForTesting = &upstream;
    options.AbortUpstreamForTesting = [this] { upstream.Abort(); };
  }

  void set(const std::u16string& section, const std::u16string& key, const std::u16string& value) {
    settings->Values[{section, key}] = value;
  }

  std::shared_ptr<FakeSettings> settings = std::make_shared<FakeSettings>();
  ScriptedUpstream upstream;
  std::vector<std::u16string> errors;

 private:
  TErrorBoxHandler m_previousHandler;
};

class CoreTest : public CoreFixtureBase {
 protected:
  ~CoreTest() override { core.reset(); }

  TProxyCoreOptions options(std::optional<uint16_t> port = 0) {
    TProxyCoreOptions options;
    fill(options, port);
    return options;
  }

  // Creates the core and runs FormCreate, as a shell does once its windows exist.
  TProxyCore& create(TProxyCoreOptions options) {
    core.reset();
    core = std::make_unique<TProxyCore>(shell, std::move(options));
    core->Created();
    return *core;
  }
  TProxyCore& create(std::optional<uint16_t> port = 0) { return create(options(port)); }

  // Every log line so far, each followed by a line break.
  std::u16string logged() {
    for (std::u16string& line : core->LogLines().TakeAll()) m_logged += line + u"\n";
    return m_logged;
  }

  FakeShell shell;
  std::unique_ptr<TProxyCore> core;

 private:
  std::u16string m_logged;
};

}  // namespace tessarine::shell::testing
