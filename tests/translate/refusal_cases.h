#pragma once

// A keyed engine's refusals, case by case: the status and body an engine answers with, the kind of refusal it is
// and the words it gives.

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>

#include "common/text.h"
#include "translate/json_reply.h"
#include "translate/service_interfaces.h"

namespace tessarine::translate::fakes {

struct TRefusalCase {
  int status;
  const char16_t* body;
  TRefusalKind kind;
  const char16_t* message;  // nullptr: no refusal of the engine's own, the status line stays
};

template <typename Refusal>
void ExpectRefusals(Refusal refusal, std::initializer_list<TRefusalCase> cases) {
  for (const TRefusalCase& c : cases) {
    SCOPED_TRACE(c.status);
    const std::optional<TRefusal> refused = refusal(c.status, c.body, TReplyText::Characters);
    if (!c.message) {
      EXPECT_FALSE(refused) << ToUtf8(refused->Message);
      continue;
    }
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->Message, c.message);
    EXPECT_EQ(refused->Kind, c.kind);
  }
}

}  // namespace tessarine::translate::fakes
