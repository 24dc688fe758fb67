#include "Model/Record.h"

#include "Model/ModelContext.h"

namespace quillmere {

Record::~Record()
{
    if (m_context)
        m_context->forget(this);
}

void Record::noteWrite(int field)
{
    if (m_context)
        m_context->recordDidChange(this, field);
}

} // namespace quillmere
