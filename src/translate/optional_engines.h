#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "translate/engine_endpoint.h"
#include "translate/engine_request.h"
#include "translate/json_reply.h"
#include "translate/service_interfaces.h"

namespace tessarine::translate {

// A further [Engines] setting of an engine (a region, a folder, a model).
struct TEngineSetting {
  std::u16string_view Name{};
  // Without it the engine does not exist.
  bool Required = false;
};

// How many texts of one language pair may go out together in one call. A text that alone exceeds MaxCost goes
// in a call of its own.
struct TBatchLimits {
  size_t MaxTexts = 1;
  // The most the texts of one call may cost together, as Cost counts; 0 for no limit but MaxTexts.
  size_t MaxCost = 0;
  // What one text adds to a call (its bytes in the request body, its characters); nullptr counts nothing.
  size_t (*Cost)(std::u16string_view text) = nullptr;
};

// An engine that exists only when configured. The engine choice, the menu and its pictures, the saved check marks,
// the failover order and --check-engines all go through the table of these, so another such engine is one more
// entry there and the functions of its own file: its request, its reply, its refusals.
struct TOptionalEngine {
  // Its engine index: after the six built-in engines (see service_interfaces.h), in table order.
  int Index = 0;
  // Its caption and its name everywhere else: the [Engines] key of its host, the [General] key of its check
  // mark, its name in [Failover] Order and in the log.
  std::u16string_view Name{};

  // Its settings, all in [Engines].
  // The key of its API key; empty when it takes none. A key written "env:NAME" is read from that variable.
  std::u16string_view KeyName{};
  // It exists only when its key is set (an online service that takes no request without one); otherwise only
  // when its host is set.
  bool NeedsKey = false;
  std::span<const TEngineSetting> Settings{};
  // Its host when [Engines] names none, which may depend on the key; nullptr when the host must be named.
  std::u16string (*DefaultHost)(std::u16string_view key) = nullptr;
  // The port of a host given without one; 0 for the scheme's.
  uint16_t DefaultPort = 0;
  TEndpointForm Form{};
  // The picture of its menu item and of the tray icon while it is chosen, by name (an image of the user
  // interface's list).
  std::string_view Picture{};

  // Its calls. One call translates texts of one language pair (as many as Batch allows, one unless it says more);
  // the reply reader gives one translation per text, in order, and raises when it cannot.
  // format: Tokens or Markup when the texts carry protected pieces as tokens of the engine's form (Tokens below):
  // an engine whose form is markup switches its service to reading markup, a language model has its instructions
  // say to keep the tokens (KeepTokensInstruction).
  TEngineRequest (*BuildRequest)(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                                 const std::u16string& langs_out, const std::u16string& langs_in,
                                 TTextFormat format) = nullptr;
  std::vector<std::u16string> (*ReadReply)(std::u16string_view reply, TReplyText form, size_t texts) = nullptr;
  // The engine's own explanation of a refused request (the reply's status and body), which then becomes the
  // failure's message, and its kind; nothing when the body explains nothing and the status says nothing the
  // status line does not. nullptr for an engine whose refusals keep the status line.
  std::optional<TRefusal> (*ReadRefusal)(int status, std::u16string_view body, TReplyText form) = nullptr;
  // The path that lists the language pairs it offers, and its reader; empty and nullptr when it has none.
  std::u16string_view PairsPath{};
  std::vector<std::u16string> (*ReadPairs)(std::u16string_view reply, TReplyText form) = nullptr;
  // How many of its calls may run side by side, each through a client of the pool of its own. 1: its calls stay in
  // line for the one client with the built-in engines', which keeps their cookies and spares a service that takes
  // no parallel calls.
  size_t CallsAtOnce = 1;
  TBatchLimits Batch{};
  // Milliseconds one call may take when the client's own limits are too short for it; 0 keeps them.
  int CallTimeLimitMs = 0;
  // The form of protected pieces it keeps best (see protected_text.h).
  TTokenForm Tokens = TTokenForm::Bracketed;
};

// Every optional engine in menu order.
std::span<const TOptionalEngine> OptionalEngines();
// The optional engine of that index, or nullptr (a built-in engine, an unknown index).
const TOptionalEngine* FindOptionalEngine(int index);
// The token form of any engine's protected pieces: the table's for an optional engine, else the built-in one's.
TTokenForm TokenFormOf(int engine);

}  // namespace tessarine::translate
