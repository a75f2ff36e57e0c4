#include "app/reader_download_offer.h"

#include "app/app_model.h"
#include "core/model_delivery.h"

namespace quorvel::app::ReaderDownloadOffer {

std::string sizeText() { return ModelDownloader::gb(ManifestClient::builtIn().totalBytes()); }

std::string title() { return "Download the handwriting reader?"; }

std::string downloadLabel() { return "Download (" + sizeText() + ")"; }

std::string notNowLabel() { return "Not Now"; }

std::string message() { return message(ModelDownloader::canGetServer()); }

std::string message(bool canGetServer) {
  if (!canGetServer)
    return ModelDownloader::noServerSentence() +
           " Until then the download can't start; once it is there, the download fetches the " +
           sizeText() + " model that runs entirely on this computer.";
  return "Reading handwriting uses a model that runs entirely on this computer, so your letters "
         "never leave it. It's a one-time " +
         sizeText() +
         " download; you can keep working while it arrives, and this scan will be read as soon "
         "as it's ready.";
}

bool present(AppModel& model, std::optional<std::vector<std::int64_t>>& ids) {
  if (!ids) return false;
  bool agreed = model.panels().confirm(title(), message(), downloadLabel(), notNowLabel());
  // The ids as they are now: the owner may have let go of them meanwhile.
  std::vector<std::int64_t> thenRead = ids ? *ids : std::vector<std::int64_t>{};
  ids.reset();
  if (!agreed) return false;
  model.startDownload(thenRead);
  return true;
}

}  // namespace quorvel::app::ReaderDownloadOffer
