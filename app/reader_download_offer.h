#pragma once
// The offer of the handwriting reader download, shown when a person asks for
// a handwriting reading before the reader is installed. Its owner keeps the
// ids to read afterwards (its `offerDownloadFor`) and calls present() while it
// holds them; whatever the answer, the owner's ids are nothing afterwards.
// GUI thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::app {

class AppModel;

namespace ReaderDownloadOffer {

// The download size of the built-in manifest, such as "3.1 GB"; the same
// text in the button and the message even when a newer manifest is fetched.
std::string sizeText();
// "Download the handwriting reader?"
std::string title();
// "Download (3.1 GB)"
std::string downloadLabel();
// "Not Now"
std::string notNowLabel();
// The message under the title, with the size. Without a server to get for
// this computer it first says so and how to get one.
std::string message(bool canGetServer);
// message() as things are: ModelDownloader::canGetServer().
std::string message();

// Asks through the model's panels; "Download" starts the download with the
// ids to read afterwards (none when `ids` is nothing). Clears `ids` in every
// case. True when the download was started.
bool present(AppModel& model, std::optional<std::vector<std::int64_t>>& ids);

}  // namespace ReaderDownloadOffer
}  // namespace quorvel::app
