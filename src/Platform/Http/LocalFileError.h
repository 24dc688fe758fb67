#pragma once

#include <stdexcept>

namespace quillmere {

// Saving a transfer to disk failed. Carries the errno; the text never names the path.
class LocalFileError : public std::runtime_error
{
public:
    explicit LocalFileError(int errorNumber);

    int errorNumber() const noexcept { return m_errorNumber; }

private:
    int m_errorNumber;
};

} // namespace quillmere
