// The gate in front of the upstream client: switching off ends a call an engine holds, and the client
// works again once the gate reopens.

#include "ui/upstream_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "common/text.h"
#include "net/client/http_client.h"
#include "net/exceptions.h"
#include "support/scripted_server.h"

namespace tessarine::ui {
namespace {

using test_support::ScriptedServer;

std::u16string UrlOf(const ScriptedServer& server) {
  return FromUtf8("http://127.0.0.1:" + std::to_string(server.Port()) + "/t");
}

const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";

TEST(UpstreamGateTest, SwitchingOffEndsAStalledCallAndTheClientWorksAfterwards) {
  client::TIdHTTP http;
  TUpstreamGate gate(http, [&] { http.Abort(); }, [&] { http.ResumeCalls(); });
  ScriptedServer silent;
  silent.Push(ScriptedServer::Reply{.Bytes = {}, .Close = false, .Stall = true, .StallAfter = false});

  std::atomic<bool> started = false;
  auto call = std::async(std::launch::async, [&] {
    started = true;
    return gate.Get(UrlOf(silent));
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach the engine

  const auto begin = std::chrono::steady_clock::now();
  gate.RunClosed([&] {
    EXPECT_TRUE(gate.Closed());
    EXPECT_THROW(gate.Get(UrlOf(silent)), net::EIdClosedSocket) << "no call starts while closed";
    EXPECT_ANY_THROW(call.get()) << "the stalled call is ended";
  });
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_FALSE(gate.Closed());

  ScriptedServer answering;
  answering.Push(std::string(kReply));
  EXPECT_EQ(gate.Get(UrlOf(answering)), u"ok") << "the client was resumed when the gate reopened";
}

TEST(UpstreamGateTest, ReopensWhenTheStopFails) {
  client::TIdHTTP http;
  TUpstreamGate gate(http, [&] { http.Abort(); }, [&] { http.ResumeCalls(); });
  EXPECT_THROW(gate.RunClosed([] { throw std::runtime_error("stop failed"); }), std::runtime_error);
  EXPECT_FALSE(gate.Closed());
  ScriptedServer answering;
  answering.Push(std::string(kReply));
  EXPECT_EQ(gate.Get(UrlOf(answering)), u"ok");
}

}  // namespace
}  // namespace tessarine::ui
