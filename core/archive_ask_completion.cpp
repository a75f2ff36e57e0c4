// The completion functions both archive services build from the handwriting
// engine's model server, and the constructors that use them.
#include <string>
#include <utility>

#include "core/archive_ask.h"
#include "core/handwriting_engine.h"
#include "core/translator.h"

namespace quorvel {

CompletionFunction makeEngineCompletion(HandwritingEngine& engine, StatusFunction status,
                                        std::int64_t maxTokens) {
  return [&engine, status = std::move(status), maxTokens](
             const std::string& system, const std::string& user, std::stop_token stop) {
    return engine.complete(system, user, maxTokens, status, stop);
  };
}

ArchiveAsk::ArchiveAsk(Catalog& catalog, HandwritingEngine& engine, StatusFunction status)
    : ArchiveAsk(catalog, makeEngineCompletion(engine, std::move(status), 320)) {}

Translator::Translator(Catalog& catalog, HandwritingEngine& engine, StatusFunction status)
    : Translator(catalog, makeEngineCompletion(engine, std::move(status), 900)) {}

}  // namespace quorvel
