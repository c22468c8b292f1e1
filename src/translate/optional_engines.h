#pragma once

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

// An engine that exists only when the settings name where it is reached. The engine choice, the menu and its
// pictures, the saved check marks, the failover order and --check-engines all go through the table of these,
// so another such engine is one more entry there and a function pair for its request and reply.
struct TOptionalEngine {
  // Its engine index: after the six built-in engines, in table order.
  int Index;
  // Its caption and its name everywhere else: the [Engines] key of its host, the [General] key of its check
  // mark, its name in [Failover] Order and in the log.
  std::u16string_view Name;
  // The [Engines] key of its API key; empty when it takes none.
  std::u16string_view KeyName;
  // The port of a host given without one; 0 for the scheme's.
  uint16_t DefaultPort;
  // The picture of its menu item and of the tray icon while it is chosen, by name (an image of the user
  // interface's list).
  std::string_view Picture;

  // format: Tokens or Markup when the text carries protected pieces as tokens of the engine's form (Tokens below):
  // an engine whose form is markup switches its service to reading markup, a language model has its instructions
  // say to keep the tokens (KeepTokensInstruction).
  TEngineRequest (*BuildRequest)(const TEngineEndpoint& endpoint, const std::u16string& text,
                                 const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat format);
  // The translation in a reply; raises when there is none.
  std::u16string (*ReadReply)(std::u16string_view reply, TReplyText form);
  // The engine's own explanation in the body of a refused request, which then becomes the failure's message;
  // nullptr for an engine whose refusals keep the status line.
  std::optional<std::u16string> (*ReadRefusal)(std::u16string_view body, TReplyText form);
  // The path that lists the language pairs it offers, and its reader; empty and nullptr when it has none.
  std::u16string_view PairsPath;
  std::vector<std::u16string> (*ReadPairs)(std::u16string_view reply, TReplyText form);
  // It serves several calls at once, so its calls need not wait for each other: given a pool of upstream
  // clients, each takes one of its own. An online service's calls stay in line for the one client, which keeps
  // their cookies and spares the service a burst of parallel requests.
  bool ServesCallsAtOnce;
  // The form of protected pieces it keeps best (see protected_text.h).
  TTokenForm Tokens;
};

// Every optional engine in menu order.
std::span<const TOptionalEngine> OptionalEngines();
// The optional engine of that index, or nullptr (a built-in engine, an unknown index).
const TOptionalEngine* FindOptionalEngine(int index);
// The token form of any engine's protected pieces: the table's for an optional engine, else the built-in one's.
TTokenForm TokenFormOf(int engine);

}  // namespace tessarine::translate
