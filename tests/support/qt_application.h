#pragma once

// The QApplication fixture of the Qt test programs: one TApplication for the whole program, always on the
// offscreen platform, created before the first test and destroyed after the last.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "support/raw_socket.h"
#include "ui/application.h"

namespace tessarine::test_support {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    m_application = std::make_unique<ui::TApplication>(m_argc, m_argv);
  }
  void TearDown() override { m_application.reset(); }

 private:
  int m_argc = 1;
  char m_name[16] = "tessarine-tests";
  char* m_argv[2] = {m_name, nullptr};
  std::unique_ptr<ui::TApplication> m_application;
};

inline ::testing::Environment* const g_qtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// Runs the event loop until cond holds or the limit passes.
template <typename Condition>
bool ProcessEventsUntil(Condition cond, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

}  // namespace tessarine::test_support
