#pragma once

#include <stdexcept>

namespace quillmere {

// Reading a local file (its attributes or its bytes) failed. Carries the errno; the text
// never names the path.
class FileReadError : public std::runtime_error
{
public:
    explicit FileReadError(int errorNumber);

    int errorNumber() const noexcept { return m_errorNumber; }

private:
    int m_errorNumber;
};

} // namespace quillmere
