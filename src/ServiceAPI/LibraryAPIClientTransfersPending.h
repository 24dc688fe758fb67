#pragma once

// Stand-in for the transfer operations until their own implementation is merged; this file
// and its source go away then.

#include "ServiceAPI/LibraryAPIClient.h"

#include <exception>

namespace quillmere {

// The file's bytes no longer match the checksum the service was given: a transient failure,
// the next attempt hashes the file again.
class LibraryAPIClient::ContentChangedError : public std::exception
{
public:
    const char *what() const noexcept override { return "The file changed while it was being read."; }
};

} // namespace quillmere
