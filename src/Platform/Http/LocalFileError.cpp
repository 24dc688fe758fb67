#include "Platform/Http/LocalFileError.h"

#include <string>
#include <system_error>

namespace quillmere {

LocalFileError::LocalFileError(int errorNumber)
    : std::runtime_error("The file could not be saved: " + std::generic_category().message(errorNumber) + ".")
    , m_errorNumber(errorNumber)
{
}

} // namespace quillmere
