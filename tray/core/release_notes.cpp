#include "release_notes.h"

#include <json/json.h>

#include <memory>

#include "http_fetch.h"
#include "text_convert.h"
#include "web_config.h"

namespace tray {

std::optional<QString> ParseReleaseNotes(const std::string& document) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(document.data(), document.data() + document.size(), &root, &errors))
    return std::nullopt;
  if (!root.isObject() || !root["data"].isObject() || !root["data"]["text"].isString())
    return std::nullopt;
  std::optional<std::string> text = Utf8ToAnsi(root["data"]["text"].asString().c_str());
  if (!text) return std::nullopt;
  return QString::fromUtf8(text->data(), static_cast<qsizetype>(text->size()));
}

std::optional<QString> FetchReleaseNotes(int language, long timeoutMs) {
  WebConfig config = CurrentWebConfig();
  FetchOptions o;
  o.timeoutMs = timeoutMs;
  o.connectTimeoutMs = timeoutMs;
  o.httpsOnly = true;
  o.caFile = config.caFile.toStdString();
  const std::string url = ReleaseNotesUrl(config, language).toStdString();
  FetchResult r = HttpGet(url, o);
  if (!r.Good()) {
    qWarning("release notes %s: %s", url.c_str(),
             r.ok ? ("status " + std::to_string(r.status)).c_str() : r.error.c_str());
    return std::nullopt;
  }
  std::optional<QString> notes = ParseReleaseNotes(r.body);
  if (!notes) qWarning("release notes %s: no text in the answer", url.c_str());
  return notes;
}

}  // namespace tray
