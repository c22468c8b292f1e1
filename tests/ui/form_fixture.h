#pragma once

// A main window on the offscreen platform around the core's test fixtures (an in-memory settings file, a scripted
// upstream client, a loopback-only server on a free port) with the error boxes recorded instead of shown.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "shell/core_fixture.h"
#include "shell/error_box.h"
#include "support/qt_application.h"
#include "ui/form1.h"
#include "ui/qt_text.h"

namespace tessarine::ui::testing {

using shell::testing::FakeIniFile;
using shell::testing::FakeSettings;
using shell::testing::ScriptedUpstream;
using test_support::ProcessEventsUntil;

class FormTest : public shell::testing::CoreFixtureBase {
 protected:
  ~FormTest() override { form.reset(); }

  // Creates the window (running FormCreate) with the settings as they stand.
  TForm1& create(std::optional<uint16_t> port = 0) {
    TForm1Options options;
    fill(options, port);
    options.Terminate = [this] { ++terminations; };
    form = std::make_unique<TForm1>(std::move(options));
    return *form;
  }

  shell::TProxyCore& core() { return form->Core(); }
  // The window's action for a menu item of its core.
  QAction* action(const shell::TMenuItem* item) { return form->MenuAction(item); }

  static std::u16string text(const QAction* item) { return FromQString(item->text()); }

  int terminations = 0;
  std::unique_ptr<TForm1> form;
};

}  // namespace tessarine::ui::testing
