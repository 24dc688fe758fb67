#include "Platform/Files/FileReadError.h"

#include <string>
#include <system_error>

namespace quillmere {

FileReadError::FileReadError(int errorNumber)
    : std::runtime_error("The file could not be read: " + std::generic_category().message(errorNumber) + ".")
    , m_errorNumber(errorNumber)
{
}

} // namespace quillmere
