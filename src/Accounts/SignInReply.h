#pragma once

#include "Accounts/AuthResponse.h"

#include <QByteArray>

#include <optional>

namespace quillmere {

// Reads the service's sign-in reply ("user", "token", "expires_at", optional "is_new_user",
// "home_api_url" and "shard_id"). Absent when "user", "token" or a strict "expires_at" is
// missing. Stores nothing: the home URL and shard travel in the response to the step that
// saves its token. A body that is not JSON throws json::JsonError.
std::optional<AuthResponse> readSignInReply(const QByteArray &body);

} // namespace quillmere
