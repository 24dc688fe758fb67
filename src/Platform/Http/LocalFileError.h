#pragma once

#include <stdexcept>
#include <string>

namespace quillmere {

// Saving a transfer to disk failed. Carries the errno; the text never names the path.
class LocalFileError : public std::runtime_error
{
public:
    explicit LocalFileError(int errorNumber);

    int errorNumber() const noexcept { return m_errorNumber; }

protected:
    LocalFileError(int errorNumber, const std::string &text);

private:
    int m_errorNumber;
};

// A download's destination is no longer what the caller found there before the transfer (a
// file saved, made or removed meanwhile): the download was not put in place, the destination
// is as it is now and the temporary file is gone. errorNumber() is EEXIST.
class DestinationChangedError : public LocalFileError
{
public:
    DestinationChangedError();
};

} // namespace quillmere
