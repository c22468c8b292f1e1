#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "translate/engine_endpoint.h"
#include "translate/engine_request.h"
#include "translate/json_reply.h"
#include "translate/service_interfaces.h"

// A large language model behind the OpenAI-compatible chat completions API (OpenAI, Azure OpenAI's v1 API, Ollama,
// llama.cpp's server, LM Studio), reached with [Engines] LLM= (its base URL) and LLMModel=, optionally LLMKey=.
namespace tessarine::translate {

// A local model on an ordinary machine may take minutes for a long text.
inline constexpr int kLLMCallTimeLimitMs = 300'000;

// The language of a suite's code in English words ("Russian", "Brazilian Portuguese", "Traditional Chinese"); the
// code itself for a language not listed. Models follow a language named in words better than a bare code.
std::u16string LLMLanguageName(std::u16string_view code);

// The model's instructions: translate from the source to the target (each named in words and by its code; the
// source left to the model for an empty code or "auto"), answer with the translation alone; with format Tokens
// also KeepTokensInstruction of the bracketed tokens.
std::u16string LLMInstructions(const std::u16string& langs_out, const std::u16string& langs_in, TTextFormat format);

// POST {base}/chat/completions (the base as given when it ends so already; a host alone gets /v1 first) with
// "Authorization: Bearer KEY" when a key is set, and {"model":..., "messages":[system, user], "stream":false}: no
// temperature or token limit, which newer models refuse. One text a call.
TEngineRequest BuildLLMRequest(const TEngineEndpoint& endpoint, std::span<const std::u16string> texts,
                               const std::u16string& langs_out, const std::u16string& langs_in,
                               TTextFormat format = TTextFormat::Plain);

// choices[0].message.content, any <think>...</think> taken out, blanks around it trimmed. Raises
// tessarine::Exception "LLM: ..." for a reply that is not JSON, holds no answer, or was cut short (finish_reason
// "length", or "content_filter"), and for texts other than 1.
std::vector<std::u16string> ExtractLLMTranslations(std::u16string_view reply, TReplyText form, size_t texts);

// A refused request: the reply's error.message (or an error string, as Ollama writes it) in the server's words, or
// for an empty or unreadable body a message from the status; a 429 with insufficient_quota (or one of the spent
// budgets' codes) is the quota, other 429s too many requests, 401 and 403 the key, 400 and 413 this request alone.
// Nothing for another status without a message.
std::optional<TRefusal> LLMRefusal(int status, std::u16string_view body, TReplyText form);

}  // namespace tessarine::translate
