#pragma once

#include "Accounts/AuthResponse.h"

#include <QByteArray>

#include <optional>

namespace quillmere {

// Reads the service's sign-in reply ("user", "token", "expires_at", optional "is_new_user",
// "home_api_url" and "shard_id"). Absent when "user", "token" or a strict "expires_at" is
// missing; the home URL and shard are stored through APIConfig only after those checks pass.
// A body that is not JSON throws json::JsonError. Main thread.
std::optional<AuthResponse> readSignInReply(const QByteArray &body);

} // namespace quillmere
