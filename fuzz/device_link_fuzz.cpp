// The device-code reply: the codes and a page address, or unexpectedResponse / an
// unreadable-body error; the page is handed to the browser only when it is https, or http to
// loopback, without user info.
#include "ReplyChecks.h"

#include "Accounts/DeviceAuthClient.h"
#include "Platform/Browser/ExternalURLOpener.h"
#include "Platform/Http/UrlBuilding.h"

using namespace quillmere;
using namespace quillmere::fuzz;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = bytesOf(data, size);
    DeviceAuthClient::DeviceCodeResponse code;
    try {
        code = DeviceAuthClient::readDeviceCodeReply(body);
    } catch (const DeviceAuthClient::DeviceAuthError &error) {
        check(isJson(body) && error.code() == DeviceAuthClient::DeviceAuthError::Code::unexpectedResponse,
              "a readable reply without the codes is unexpectedResponse");
        return 0;
    } catch (const json::JsonError &) {
        check(!isJson(body), "JSON that Qt reads is never refused as unreadable");
        return 0;
    } catch (...) {
        unexpected(std::current_exception());
    }

    std::optional<QUrl> opened;
    const ExternalURLOpener opener([&opened](const QUrl &url) {
        opened = url;
        return true;
    });
    try {
        opener.open(code.verificationUrl);
    } catch (const ExternalURLOpener::RefusedURLError &) {
    } catch (...) {
        unexpected(std::current_exception());
    }
    if (opened) {
        const QString scheme = opened->scheme().toLower();
        check(opened->isValid() && !opened->host().isEmpty() && opened->userInfo().isEmpty(),
              "an opened page has a host and no user info", opened->toString());
        check(scheme == QLatin1String("https") || (scheme == QLatin1String("http") && isLoopbackHost(opened->host())),
              "an opened page is https, or http to loopback", opened->toString());
    }
    return 0;
}
