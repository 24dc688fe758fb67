#pragma once

namespace quillmere {

// Created by the engine and handed to every lane, which keeps it; it holds no state and
// nothing calls it.
class ConflictResolver
{
};

} // namespace quillmere
