#pragma once

class QNetworkAccessManager;

namespace quillmere {

// The one network access manager of the process, made on first use on the main thread and
// kept until exit (deleting it would abort every transfer in flight). No cache, no automatic
// redirects: HttpClient follows redirects itself so it can strip credentials.
QNetworkAccessManager &networkManager();

} // namespace quillmere
