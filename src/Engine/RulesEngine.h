#pragma once

namespace quillmere {

// Decides a folder's sync priority from its rules and the running applications. One instance
// is shared by the engine and every lane; it holds no state of its own yet.
class RulesEngine
{
};

} // namespace quillmere
