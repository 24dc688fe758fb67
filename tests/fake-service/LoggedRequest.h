#pragma once

#include "fake-service/FakeRequest.h"

namespace quillmere::test {

// A request with the status the fake answered: 0 when it closed the connection instead.
struct LoggedRequest : FakeRequest
{
    int status = 0;
};

} // namespace quillmere::test
