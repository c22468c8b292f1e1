// ReadLn and Capture of a typical request header block over a loopback connection. Each iteration
// sends the block from the far end and reads it back through the I/O handler, so the figures
// include one send and one receive system call besides the line scanning and decoding.

#include <benchmark/benchmark.h>

#include <memory>
#include <string_view>

#include "common/string_list.h"
#include "net/io_handler_stack.h"
#include "net/socket_handle.h"

namespace {

using namespace tessarine;
using namespace tessarine::net;

constexpr std::string_view kHeaderBlock =
    "GET /linxp_translate_t?text=Hello%2C%20world&langpair=en%7Cru HTTP/1.1\r\n"
    "Host: 127.0.0.1:8888\r\n"
    "User-Agent: Mozilla/4.0 (compatible; Tessarine)\r\n"
    "Accept: text/html, */*\r\n"
    "Accept-Encoding: identity\r\n"
    "Accept-Language: en-US,en;q=0.9\r\n"
    "Connection: Keep-Alive\r\n"
    "Cache-Control: no-cache\r\n"
    "Pragma: no-cache\r\n"
    "Referer: http://127.0.0.1:8888/\r\n"
    "\r\n";

// A client handler connected to an accepted socket on 127.0.0.1.
struct LoopbackConnection {
  TIdSocketHandle listener;
  TIdSocketHandle peer;
  TIdIOHandlerStack client;

  LoopbackConnection() {
    listener.SetIP(u"127.0.0.1");
    listener.AllocateSocket();
    listener.Bind();
    listener.Listen(1);
    client.SetHost(u"127.0.0.1");
    client.SetPort(listener.Port());
    client.Open();
    peer.Accept(listener);
  }

  void SendBlock() {
    const auto* data = reinterpret_cast<const uint8_t*>(kHeaderBlock.data());
    size_t sent = 0;
    while (sent < kHeaderBlock.size()) sent += peer.Send(data + sent, kHeaderBlock.size() - sent);
  }
};

void BM_ReadLnHeaderBlock(benchmark::State& state) {
  LoopbackConnection connection;
  size_t lines = 0;
  for (auto _ : state) {
    connection.SendBlock();
    while (!connection.client.ReadLn().empty()) ++lines;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHeaderBlock.size()));
  state.counters["lines"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadLnHeaderBlock);

void BM_CaptureHeaderBlock(benchmark::State& state) {
  LoopbackConnection connection;
  connection.client.SetMaxCapturedLines(1024);
  TStringList lines;
  for (auto _ : state) {
    connection.SendBlock();
    lines.Clear();
    connection.client.Capture(lines);
    benchmark::DoNotOptimize(lines.Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHeaderBlock.size()));
}
BENCHMARK(BM_CaptureHeaderBlock);

// The same block already buffered: line scanning and decoding without the system calls.
void BM_CaptureBufferedHeaderBlock(benchmark::State& state) {
  LoopbackConnection connection;
  TStringList lines;
  for (auto _ : state) {
    connection.client.InputBuffer().Write(kHeaderBlock);
    lines.Clear();
    connection.client.Capture(lines);
    benchmark::DoNotOptimize(lines.Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHeaderBlock.size()));
}
BENCHMARK(BM_CaptureBufferedHeaderBlock);

}  // namespace
