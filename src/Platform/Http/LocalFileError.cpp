#include "Platform/Http/LocalFileError.h"

#include <cerrno>
#include <system_error>

namespace quillmere {

LocalFileError::LocalFileError(int errorNumber)
    : std::runtime_error("The file could not be saved: " + std::generic_category().message(errorNumber) + ".")
    , m_errorNumber(errorNumber)
{
}

LocalFileError::LocalFileError(int errorNumber, const std::string &text)
    : std::runtime_error(text), m_errorNumber(errorNumber)
{
}

DestinationChangedError::DestinationChangedError()
    : LocalFileError(EEXIST, "The file changed while it was being downloaded; it was kept as it is.")
{
}

} // namespace quillmere
