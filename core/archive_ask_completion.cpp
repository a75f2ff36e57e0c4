// The completion functions both archive services build from the handwriting
// engine's model server, and the constructors that use them.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/archive_ask.h"
#include "core/failure.h"
#include "core/handwriting_engine.h"
#include "core/llama_server.h"
#include "core/translator.h"

namespace quorvel {

namespace {
// Room in a counted prompt for the chat template's turn markers around the texts.
constexpr std::int64_t kTemplateTokens = 32;
}  // namespace

CompletionFunction makeEngineCompletion(HandwritingEngine& engine, StatusFunction status,
                                        std::int64_t maxTokens) {
  return [&engine, status = std::move(status), maxTokens](
             const std::string& system, const std::string& user, std::stop_token stop) {
    const HandwritingSettings settings = engine.settings();
    if (!settings.isComplete())
      throw Failure("The reader that runs on this computer isn't installed yet.");
    LlamaServer& server = engine.server();
    if (!server.ensureStarted(settings, status, stop)) {
      // A start given up for a stop request is a cancellation, not a failure
      // (lastError() may still hold an older start's reason).
      if (stop.stop_requested()) throw Cancelled();
      throw Failure(server.lastError().value_or("The reader couldn't start."));
    }
    if (stop.stop_requested()) throw Cancelled();
    // A prompt that leaves the reply no room in the context is refused before
    // it is sent (the server would cut the reply short); a server that cannot
    // count refuses an overlong one itself.
    const std::int64_t limit = LlamaServer::contextTokens - maxTokens;
    if (std::optional<std::int64_t> tokens = server.countTokens(system + "\n\n" + user, stop);
        tokens && *tokens + kTemplateTokens > limit)
      throw PromptTooLong(*tokens + kTemplateTokens, limit);
    const double timeout = std::max<double>(static_cast<double>(settings.tileTimeoutSeconds), 120);
    return server.chat(system, user, maxTokens, 0 /*temperature*/, timeout, stop);
  };
}

ArchiveAsk::ArchiveAsk(Catalog& catalog, HandwritingEngine& engine, StatusFunction status)
    : ArchiveAsk(catalog, makeEngineCompletion(engine, std::move(status), 320)) {}

Translator::Translator(Catalog& catalog, HandwritingEngine& engine, StatusFunction status)
    : Translator(catalog, makeEngineCompletion(engine, std::move(status), 900)) {}

}  // namespace quorvel
